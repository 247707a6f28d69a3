// Entry point of one edition: the build compiles this file once per edition, naming the
// edition's profile in SOUNDEXT_EDITION_PROFILE.
#include "extraction_run.h"
#include "profiles.h"

int main(int argc, char** argv) {
    return run_extraction(SOUNDEXT_EDITION_PROFILE, argc, argv);
}
