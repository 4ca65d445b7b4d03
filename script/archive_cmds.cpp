// calc compsave, decompload, comptest and scramble.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <zlib.h>

#include "core/conio.h"
#include "core/runtime.h"
#include "platform/files.h"
#include "script/archive.h"
#include "script/calc.h"
#include "core/prng.h"

namespace krel {

namespace {

// Failure exits: the message goes to the error information, the result stays
// empty, and with Krel_Debug set to 1 the trace is printed on the console.
int fail(Tcl_Interp *interp, const char *label, const char *message)
{
    Tcl_ResetResult(interp);
    if (message) Tcl_AddErrorInfo(interp, message);
    const char *debug = Tcl_GetVar(interp, "Krel_Debug", TCL_GLOBAL_ONLY);
    if (label && debug && strcmp(debug, "1") == 0) {
        if (const char *info = Tcl_GetVar(interp, "errorInfo", TCL_GLOBAL_ONLY))
            conEprintf("%s\n %s\n", label, info);
    }
    return TCL_ERROR;
}

// The translation's own report does not survive the reset of the failure
// exit: callers pass its text to fail() again.
constexpr char kNoTranslation[] = "Fail to translate file name.";

bool translate(Tcl_Interp *interp, const char *name, std::string *out)
{
    char buffer[4096];
    if (!translateFileName(interp, buffer, sizeof buffer, name)) return false;
    *out = buffer;
    return true;
}

}  // namespace

int calcCompSave(Tcl_Interp *interp, int argc, const char **argv)
{
    static const char kLabel[] = "CompSave";
    if (argc != 4) {
        conPrintf("Usage: %s %s fileName string.\n", argv[0], argv[1]);
        Tcl_ResetResult(interp);
        return TCL_ERROR;
    }
    std::vector<unsigned char> file;
    try {
        file = archive::build(argv[3]);
    } catch (const std::bad_alloc &) {
        return fail(interp, kLabel, "Error in malloc.\n");
    }
    if (file.empty()) return fail(interp, kLabel, "Error in compress");
    archive::Header h = archive::parseHeader(file.data());
    float ratio = static_cast<float>(h.compressed) / static_cast<float>(h.textLength);

    std::string path;
    if (!translate(interp, argv[2], &path)) return fail(interp, kLabel, kNoTranslation);
    platform::FileDesc fd = platform::openFile(path.c_str(), platform::OpenMode::CreateTruncate);
    if (!fd) return fail(interp, kLabel, "Error in open.\n");
    for (size_t done = 0; done < file.size();) {
        // The header goes first, then the body in pieces.
        size_t piece = done == 0 ? archive::kHeaderSize : std::min(archive::kPiece, file.size() - done);
        ssize_t n = platform::writeAll(fd.get(), file.data() + done, piece);
        if (n != static_cast<ssize_t>(piece)) return fail(interp, kLabel, "Error in writing.\n");
        done += piece;
    }
    // A file that cannot be completed on disk is not a saved archive.
    if (fd.close() != 0) return fail(interp, kLabel, "Error in writing.\n");
    Tcl_SetObjResult(interp, Tcl_ObjPrintf("%.3f", static_cast<double>(ratio)));
    return TCL_OK;
}

int calcDecompLoad(Tcl_Interp *interp, int argc, const char **argv)
{
    static const char kLabel[] = "deCompLoad";
    const bool source = argc == 4 && strcmp(argv[3], "source") == 0;
    if (argc < 3 || argc > 4 || (argc == 4 && !source)) {
        conPrintf("Usage: %s %s fileName\n", argv[0], argv[1]);
        return fail(interp, kLabel, nullptr);
    }
    std::string path;
    if (!translate(interp, argv[2], &path)) return fail(interp, kLabel, kNoTranslation);
    // A device or a FIFO never ends (or never starts): it is refused before
    // it is opened or read.
    if (platform::isSpecialFile(path.c_str())) return fail(interp, kLabel, "Not a regular file.\n");
    platform::FileDesc fd = platform::openFile(path.c_str(), platform::OpenMode::Read);
    if (!fd) return fail(interp, kLabel, "Error in open.\n");

    unsigned char header[archive::kHeaderSize] = {};
    ssize_t got = platform::readAll(fd.get(), header, sizeof header);
    if (got < 0 || !archive::isArchive(header, static_cast<size_t>(got))) {
        fd.reset();
        if (!source) return Tcl_EvalFile(interp, path.c_str());
        Tcl_Channel chan = Tcl_OpenFileChannel(interp, path.c_str(), "r", 0);
        if (!chan) return fail(interp, kLabel, "Error in open.\n");
        Tcl_Obj *text = Tcl_NewObj();
        Tcl_IncrRefCount(text);
        int n = Tcl_ReadChars(chan, text, -1, 0);
        Tcl_Close(nullptr, chan);
        if (n < 0) {
            Tcl_DecrRefCount(text);
            return fail(interp, kLabel, "Error in reading.\n");
        }
        Tcl_SetObjResult(interp, text);
        Tcl_DecrRefCount(text);
        return TCL_OK;
    }

    archive::Header h = archive::parseHeader(header);
    // Nothing in the header is trusted: the body is what the file holds, at
    // most Z bytes, and decoding caps the room for the text.
    int64_t size = platform::fileSize(fd.get());
    long long available = size > static_cast<int64_t>(archive::kHeaderSize) ? size - archive::kHeaderSize : 0;
    long long z = h.compressed < 0 ? 0 : std::min(h.compressed, available);
    std::vector<unsigned char> body;
    try {
        body.resize(static_cast<size_t>(z));
    } catch (const std::bad_alloc &) {
        return fail(interp, kLabel, "Error in malloc.\n");
    }
    for (size_t done = 0; done < body.size();) {
        size_t piece = std::min(archive::kPiece, body.size() - done);
        ssize_t n = platform::readAll(fd.get(), body.data() + done, piece);
        if (n <= 0) {
            body.resize(done);
            break;
        }
        done += static_cast<size_t>(n);
    }
    fd.reset();

    std::string text;
    int zstatus = Z_OK;
    archive::DecodeStatus status;
    try {
        status = archive::decode(h, body, &text, &zstatus);
    } catch (const std::bad_alloc &) {
        status = archive::DecodeStatus::NoMemory;
    }
    if (status == archive::DecodeStatus::NoMemory) return fail(interp, kLabel, "Error in malloc.\n");
    if (status == archive::DecodeStatus::Corrupt) {
        conEprintf("Error in uncompress: %d\n", zstatus);
        return fail(interp, kLabel, "Error in uncompress");
    }
    if (source) {
        Tcl_SetObjResult(interp, Tcl_NewStringObj(text.data(), static_cast<int>(text.size())));
        return TCL_OK;
    }
    return Tcl_EvalEx(interp, text.data(), static_cast<int>(text.size()), 0);
}

int calcCompTest(Tcl_Interp *interp, int argc, const char **argv)
{
    static const char kLabel[] = "CompressTest";
    if (argc != 3) {
        conPrintf("Usage: %s %s string.\n", argv[0], argv[1]);
        return TCL_ERROR;
    }
    const char *value = Tcl_GetVar(interp, argv[2], 0);
    if (!value) {
        conPrintf("can't find variable named %s\n", argv[2]);
        Tcl_ResetResult(interp);
        return TCL_ERROR;
    }
    uLong length = static_cast<uLong>(strlen(value)) + 1;
    uLongf room = static_cast<uLongf>(length * 1.1 + 1024);
    if (room < compressBound(length)) room = compressBound(length);
    std::vector<unsigned char> packed, restored;
    try {
        packed.resize(room);
        restored.resize(length);
    } catch (const std::bad_alloc &) {
        conPrintf("Error in malloc.\n");
        return fail(interp, kLabel, nullptr);
    }
    int z = compress(packed.data(), &room, reinterpret_cast<const Bytef *>(value), length);
    if (z != Z_OK) {
        conEprintf("Error in compress: %d\n", z);
        return fail(interp, kLabel, nullptr);
    }
    uLongf restoredLength = length;
    z = uncompress(restored.data(), &restoredLength, packed.data(), room);
    if (z != Z_OK) {
        conEprintf("Error in uncompress: %d\n", z);
        return fail(interp, kLabel, nullptr);
    }
    if (restoredLength != length || memcmp(restored.data(), value, length) != 0) {
        conEprintf("Error in compressing\n");
        return fail(interp, kLabel, nullptr);
    }
    conPrintf("len: %d compLen: %d compressing ratio: %.6f\n", static_cast<int>(length), static_cast<int>(room),
              static_cast<double>(room) / length);
    Tcl_ResetResult(interp);
    return TCL_OK;
}

int calcScramble(Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc != 3) {
        conPrintf("Usage %s %s n|list\n", argv[0], argv[1]);
        Tcl_ResetResult(interp);
        return TCL_ERROR;
    }
    Tcl_Obj *list = Tcl_NewStringObj(argv[2], -1);
    Tcl_IncrRefCount(list);
    int count = 0;
    Tcl_Obj **elements = nullptr;
    // A malformed list is treated as having no elements.
    if (Tcl_ListObjGetElements(nullptr, list, &count, &elements) != TCL_OK) count = 0;
    const bool indexMode = count == 1;
    long n = indexMode ? static_cast<long>(archive::readLength(
                             reinterpret_cast<const unsigned char *>(Tcl_GetString(elements[0])),
                             strlen(Tcl_GetString(elements[0]))))
                       : count;
    if (n <= 0 || n > (1L << 26)) {
        Tcl_DecrRefCount(list);
        Tcl_SetResult(interp, const_cast<char *>("Invalid scramble param.\n"), TCL_STATIC);
        return TCL_ERROR;
    }
    std::vector<long> order;
    try {
        order.resize(static_cast<size_t>(n));
    } catch (const std::bad_alloc &) {
        Tcl_DecrRefCount(list);
        Tcl_SetResult(interp, const_cast<char *>("Error in malloc.\n"), TCL_STATIC);
        return TCL_ERROR;
    }
    for (long i = 0; i < n; ++i) order[i] = i;
    // The partner index covers the whole range 0..n-1, also for n > 256.
    const float step = static_cast<float>(32767.0 / (n - 1.0));
    for (long i = 0; i < n; ++i) {
        int r = sharedPrng().next();
        long j = static_cast<long>(std::floor(r / static_cast<double>(step) + 0.5));
        if (j >= n) j = n - 1;
        std::swap(order[i], order[j]);
    }
    Tcl_Obj *result = Tcl_NewObj();
    for (long i = 0; i < n; ++i) {
        if (i) Tcl_AppendToObj(result, " ", 1);
        if (indexMode)
            Tcl_AppendPrintfToObj(result, "%ld", order[i]);
        else
            Tcl_AppendObjToObj(result, elements[order[i]]);
    }
    Tcl_DecrRefCount(list);
    Tcl_SetObjResult(interp, result);
    return TCL_OK;
}

}  // namespace krel
