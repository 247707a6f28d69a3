// The whole extraction run: command line, fixed sequence of extractions, MUS directory,
// output files, console messages and exit status.
#ifndef SOUNDEXT_EXTRACTION_RUN_H
#define SOUNDEXT_EXTRACTION_RUN_H

// Where an edition keeps its blocks and its MUS directory.
struct LayoutProfile {
    int pmd_track;        // track index of the PMD block's first sector
    int adpcm_length;     // length in bytes of the ADPCM block
    int directory_track;  // track index of the MUS directory sector
    int first_entry;      // index of the first directory entry looked at, 0 or 1
};

enum class ExtractResult {
    written,       // the file holds the block
    not_read,      // the block's first sector could not be read: no file was touched
    write_failed,  // the output file could not be written: any old file of that name is intact
};

// Reads `skip + length` bytes of consecutive sectors from (track, c, h, r, n) of the open
// disk into the work buffer and writes `length` bytes from offset `skip` to the file `name`.
ExtractResult extract_to_file(const char* name, int track, int c, int h, int r, int n,
                              int skip, int length);

// Runs the extraction for the edition's profile; returns the process exit status.
int run_extraction(const LayoutProfile& profile, int argc, char** argv);

#endif
