// libFuzzer target: PTABLE pixel-table files as getPTable loads them. An
// accepted table must look every one of its tuples up at its own index and
// write back the very bytes it was read from, but for the two address fields
// (bytes 2068..2075), which are ignored when read and written as zeros.
//
// With KREL_FUZZ_SEEDS=DIR in the environment the binary writes a one-band and
// a three-band table into DIR and stops: no other program writes these files.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "analysis/ptable.h"
#include "platform/files.h"
#include "reader.h"

namespace {

using namespace krel;

void writeSeed(const std::string &path, int nbands, int count)
{
    PTable t;
    t.nbands = nbands;
    t.capacity = ptableCapacity(nbands);
    for (int b = 0; b < nbands; ++b) t.bands.push_back(nbands - 1 - b);
    for (int i = 0; i < count; ++i) {
        for (int b = 0; b < nbands; ++b) t.tuples.push_back(static_cast<uint8_t>(b == 0 ? i * 7 / count * 36 : i * 13 + b));
        t.counts.push_back(static_cast<uint32_t>(1 + i * 5));
    }
    t.count = count;
    t.rebuildIndex();
    if (t.orderFault() < 0) savePTable(path.c_str(), t);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (const char *dir = getenv("KREL_FUZZ_SEEDS")) {
        writeSeed(std::string(dir) + "/one.lku", 1, 1);
        writeSeed(std::string(dir) + "/three.lku", 3, 12);
        exit(0);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const krel::fuzz::TempFile file("lku");
    {
        platform::FileDesc fd = platform::openFile(file.path.c_str(), platform::OpenMode::CreateTruncate);
        if (!fd || platform::writeAt(fd.get(), data, size, 0) != static_cast<ssize_t>(size)) return 0;
    }
    PTablePtr t = getPTable(file.path.c_str());
    if (!t) return 0;
    for (int i = 0; i < t->count; ++i)
        if (t->lookup(t->tuple(i)) != i) abort();
    std::vector<uint8_t> again = ptableFileBytes(*t);
    if (again.size() != size) abort();
    memcpy(again.data() + 2068, data + 2068, 8);
    if (memcmp(again.data(), data, size) != 0) abort();
    return 0;
}
