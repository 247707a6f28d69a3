#!/usr/bin/env bash
# Builds the fuzz targets (clang++, own build directory), writes the seed corpus and fuzzes each
# target for SECONDS seconds, one after the other:
#
#   fuzz/run.sh SECONDS [reader] [run]
#
# Exits non-zero on any finding: a crash, a sanitizer report, a difference from the reference
# model, a single input that takes more than a second, or memory past the limit. A finding is
# kept under build-fuzz/fuzz-findings/; reproduce it with
#   build-fuzz/fuzz/soundext-fuzz-TARGET FILE
# The corpus grows in build-fuzz/fuzz-corpus/ from one run to the next.
set -euo pipefail

if [[ $# -lt 1 || ! $1 =~ ^[0-9]+$ ]]; then
    echo "usage: $0 SECONDS [reader] [run]" >&2
    exit 2
fi
seconds=$1
shift
targets=("$@")
[[ ${#targets[@]} -gt 0 ]] || targets=(reader run)

root=$(cd "$(dirname "$0")/.." && pwd)
build=${SOUNDEXT_FUZZ_BUILD_DIR:-$root/build-fuzz}
# Inputs larger than this are not tried: every crafted case of interest fits, and bigger
# inputs only slow each run down.
max_len=65536
# Peak resident size allowed to a fuzzing process, sanitizer bookkeeping included.
rss_limit_mb=1024

cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER="${FUZZ_CXX:-clang++}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DSOUNDEXT_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target soundext-fuzz-reader soundext-fuzz-run soundext-fuzz-seeds \
    -j "$(nproc 2>/dev/null || echo 2)" >/dev/null

seeds=$build/fuzz-seeds
rm -rf "$seeds"
mkdir -p "$seeds"
"$build/fuzz/soundext-fuzz-seeds" "$seeds"

stamp=$(date +%Y%m%d-%H%M%S)
status=0
for target in "${targets[@]}"; do
    case $target in
        reader | run) ;;
        *) echo "unknown fuzz target: $target (reader or run)" >&2; exit 2 ;;
    esac
    corpus=$build/fuzz-corpus/$target
    findings=$build/fuzz-findings/$target-$stamp
    scratch=$build/fuzz-tmp/$target
    log=$build/fuzz-$target.log
    rm -rf "$scratch"
    mkdir -p "$corpus" "$findings" "$scratch"
    echo "fuzz: $target for $seconds s (log: $log)"
    set +e
    TMPDIR=$scratch "$build/fuzz/soundext-fuzz-$target" \
        -max_total_time="$seconds" -timeout=1 -rss_limit_mb="$rss_limit_mb" -max_len="$max_len" \
        -print_final_stats=1 -artifact_prefix="$findings/" "$corpus" "$seeds" >"$log" 2>&1
    rc=$?
    set -e
    grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb|stat::new_units_added)' "$log" | sed 's/^/fuzz:   /' || true
    grep -E '^#[0-9]+.*(DONE|pulse|NEW)' "$log" | tail -n 1 | sed 's/^/fuzz:   /' || true
    if [[ $rc -ne 0 ]] || [[ -n $(ls -A "$findings") ]]; then
        echo "fuzz: FINDING in $target (exit status $rc); the log ends:" >&2
        grep -vE '^#[0-9]+' "$log" | tail -n 40 >&2
        ls -l "$findings" >&2
        status=1
    else
        rmdir "$findings"
        echo "fuzz: $target: no finding"
    fi
    rm -rf "$scratch"
done
exit $status
