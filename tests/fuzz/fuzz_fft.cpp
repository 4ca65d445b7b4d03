// libFuzzer target: FFT files as the Fourier modules read them. Each input
// becomes an FFT file that gfftrans transforms back, converts to power and
// phase, and filters with a notch; a header whose sizes the file does not
// hold must be refused before anything is allocated from it.
//
// With KREL_FUZZ_SEEDS=DIR in the environment the binary writes FFT files of
// several kinds into DIR with the modules themselves and stops.
#include <cstdio>
#include <string>
#include <vector>

#include "analysis/modules.h"
#include "image/modules.h"
#include "platform/files.h"
#include "reader.h"

namespace {

using namespace krel;

int run(ModuleEntry entry, const std::vector<std::string> &words)
{
    std::vector<const char *> argv;
    for (const std::string &w : words) argv.push_back(w.c_str());
    return entry("rimage gfftrans", static_cast<int>(argv.size()), argv.data());
}

void writeSeeds(const std::string &dir)
{
    // A 5 x 7 BYTE band as an ERDAS 7.4 file, then its transforms.
    unsigned char head[128] = {'H', 'E', 'A', 'D', '7', '4', 0, 0, 1, 0};
    head[16] = 7;
    head[20] = 5;
    const std::string band = dir + "/band.lan";
    {
        platform::FileDesc fd = platform::openFile(band.c_str(), platform::OpenMode::CreateTruncate);
        unsigned char pixels[35];
        for (int k = 0; k < 35; ++k) pixels[k] = static_cast<unsigned char>(k * 37 % 251);
        if (!fd || platform::writeAt(fd.get(), head, 128, 0) != 128 || platform::writeAt(fd.get(), pixels, 35, 128) != 35)
            return;
    }
    run(makefftModule, {"in=" + band, "out=" + dir + "/sfri.fft"});
    run(makefftModule, {"in=" + band, "out=" + dir + "/sfrix.fft", "op=X"});
    run(gfftransModule, {"-in", band, "-out", dir + "/sfpp.fft", "-op", "XYPP"});
    run(gfftransModule, {"-in", dir + "/sfri.fft", "-out", dir + "/fsri.fft"});
    remove(band.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    krel::fuzz::writeOwnSeeds(writeSeeds);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const krel::fuzz::TempFile file("fft");
    static const krel::fuzz::TempFile out("out.fft");
    if (!krel::fuzz::putInput(file, data, size)) return 0;
    // The default (back to the spatial domain), power/phase, and a notch.
    for (const std::vector<std::string> &op :
         {std::vector<std::string>{}, {"-op", "PP"}, {"-op", "FLTR", "-fp", "notch,2,1,1,3,3", "-fa", "30"}}) {
        remove(out.path.c_str());
        std::vector<std::string> words = {"-in", file.path, "-out", out.path};
        words.insert(words.end(), op.begin(), op.end());
        run(gfftransModule, words);
    }
    return 0;
}
