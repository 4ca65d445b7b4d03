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

// Writes the bytes to a temporary file with the given suffix, opens it with
// getImage (the whole detection chain), reads every line of every band of
// every volume (sampled past a fixed budget), writes one line back, and
// releases the image. Always 0, as libFuzzer wants.
int readImage(const uint8_t *data, size_t size, const char *suffix);

// Replaces the file's contents by the bytes; false when that failed.
bool writeInput(const TempFile &file, const uint8_t *data, size_t size);

// With KREL_FUZZ_SEEDS=DIR in the environment, writes the target's own seed
// files into DIR and ends the process (the seed step of seeds.sh).
void seedsOnRequest(void (*write)(const std::string &dir));

}  // namespace krel::fuzz
