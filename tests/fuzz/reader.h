// The one body of every reader fuzz target: the bytes become a file that is
// opened through the image store like any file a user brings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace krel::fuzz {

// The input file of this process (under $TMPDIR), removed when the fuzzer ends.
struct TempFile {
    std::string path;
    explicit TempFile(const char *suffix);
    ~TempFile();
};

// Makes the bytes the whole content of the file; false when that failed.
bool putInput(const TempFile &file, const uint8_t *data, size_t size);

// For targets that write their own seeds (no other program writes their
// files): with KREL_FUZZ_SEEDS=DIR in the environment, `write` puts them
// into DIR and the process ends. Called from LLVMFuzzerInitialize.
void writeOwnSeeds(void (*write)(const std::string &dir));

// Writes the bytes to a temporary file with the given suffix, opens it with
// getImage (the whole detection chain), reads every line of every band of
// every volume (sampled past a fixed budget), writes one line back, and
// releases the image. Always 0, as libFuzzer wants.
int readImage(const uint8_t *data, size_t size, const char *suffix);

}  // namespace krel::fuzz
