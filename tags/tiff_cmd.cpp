// The tiff command: a dictionary of tag names and the directory entries of
// the pages of TIFF files or open TIFF images.
//
//   tiff add {number name} ...        tiff get number      tiff count
//   tiff index ?first? ?last?         tiff data imgid ?-volume ?n?? ?tag?
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "core/package.h"
#include "core/subcmd.h"
#include "core/texts.h"
#include "core/tclutil.h"
#include "image/formats/tiff.h"
#include "image/registry.h"
#include "tags/tagcmd.h"
#include "tags/tagdict.h"
#include "tags/tags.h"
#include "tags/tiff_list.h"

namespace krel {

namespace {

// {number name}, the name braced by the list when it has a blank.
Tcl_Obj *entryObj(uint32_t tag, const std::string &name)
{
    Tcl_Obj *e[2] = {Tcl_NewWideIntObj(tag), Tcl_NewStringObj(name.data(), static_cast<int>(name.size()))};
    return Tcl_NewListObj(2, e);
}

int tiffAdd(Tcl_Interp *interp, int argc, const char **argv)
{
    TagState &s = tagState();
    return dictionaryAdd(interp, argc, argv, s.lock, s.tiff, [](const char **w, int n, uint32_t *tag, std::string *name) {
        if (n != 2 || !parseTagNumber(w[0], 10, 65535, tag)) return false;
        *name = w[1];
        return true;
    });
}

int tiffGet(Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc != 3) return tagFail(interp, "Usage: tiff get number");
    uint32_t tag;
    if (!parseTagNumber(argv[2], 10, 65535, &tag)) return tagFail(interp, texts::kSyntaxError);
    TagState &s = tagState();
    return dictionaryGet(interp, tag, s.lock, s.tiff, entryObj);
}

int tiffIndex(Tcl_Interp *interp, int argc, const char **argv)
{
    TagState &s = tagState();
    return dictionaryIndex(interp, argc, argv, s.lock, s.tiff, entryObj);
}

int tiffCount(Tcl_Interp *interp, int, const char **)
{
    TagState &s = tagState();
    return dictionaryCount(interp, s.lock, s.tiff);
}

std::string tagName(const TagState &s, unsigned tag)
{
    auto it = s.tiff.find(tag);
    return it == s.tiff.end() ? std::string("??") : it->second;
}

int tiffData(Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc < 3) return tagDataUsage(interp, argv);
    // The words after imgid: nothing, tag, -volume, -volume n, -volume n tag.
    const bool volume = argc >= 4 && strcmp(argv[3], "-volume") == 0;
    if (argc > 6 || (argc >= 5 && !volume)) return tagFail(interp, texts::kSyntaxError);
    const char *tagWord = volume ? (argc == 6 ? argv[5] : nullptr) : (argc == 4 ? argv[3] : nullptr);
    uint32_t tag = 0;
    if (tagWord && !parseTagNumber(tagWord, 10, 65535, &tag)) return tagFail(interp, texts::kSyntaxError);

    const char *id = argv[2];
    TiffFile file;
    platform::FileDesc own;  // a file the command opened, closed on every path
    ImageHold held;
    if (RamImage *img = findTagImage(id)) {
        retainImage(img);
        held.reset(img);
        TiffDirectory *dir = img->def.imgid == IMG_TIFF ? directoryOf(img) : nullptr;
        if (dir == nullptr || img->fileHandle < 0) return tagFail(interp, texts::kNotTiffImage);
        tiffFileFrom(img->fileHandle, *dir, &file);
    } else {
        const int rc = openTiffFile(id, tagWord != nullptr, &own, &file);
        if (rc == -1) return tagFail(interp, std::string(texts::kErrorInOpen) + id);
        if (rc < 0) return tagFail(interp, texts::kErrorInOpenTiff);
    }
    const int pages = file.pageCount();
    if (volume && argc == 4) {
        Tcl_SetObjResult(interp, Tcl_NewIntObj(pages));
        return TCL_OK;
    }
    int page = 1;
    if (volume && (Tcl_GetInt(nullptr, argv[4], &page) != TCL_OK || page < 1 || page > pages))
        return tagFail(interp, texts::kInvalidTiffVolume);

    TagState &s = tagState();
    if (tagWord) {
        std::vector<std::string> values;
        std::string error;
        const int rc = tiffTagValues(file, page - 1, tag, &values, &error);
        if (rc < 0) return tagFail(interp, error);
        if (rc == 0) return TCL_OK;
        Tcl_Obj *list = Tcl_NewListObj(0, nullptr);
        {
            std::lock_guard<std::mutex> hold(s.lock);
            Tcl_ListObjAppendElement(nullptr, list, tagStringObj(tagName(s, tag)));
        }
        for (const std::string &v : values) Tcl_ListObjAppendElement(nullptr, list, tagTextObj(v));
        Tcl_SetObjResult(interp, list);
        return TCL_OK;
    }
    const std::vector<TiffListed> entries = listTiffPage(file, page - 1);
    // Built as one string: a page of a long file is listed thousands of times.
    Tcl_DString out;
    Tcl_DStringInit(&out);
    {
        std::lock_guard<std::mutex> hold(s.lock);
        char b[64];
        for (const TiffListed &e : entries) {
            Tcl_DStringStartSublist(&out);
            snprintf(b, sizeof b, "%u %u %u", e.tag, e.type, e.count);
            Tcl_DStringAppend(&out, b, -1);
            Tcl_DStringAppendElement(&out, e.value.c_str());
            auto it = s.tiff.find(e.tag);
            Tcl_DStringAppendElement(&out, it == s.tiff.end() ? "??" : it->second.c_str());
            Tcl_DStringEndSublist(&out);
        }
    }
    Tcl_DStringResult(interp, &out);
    return TCL_OK;
}

const SubCommand<TagHandler> kTiffCommands[] = {
    {"add", 1, tiffAdd}, {"count", 1, tiffCount}, {"data", 1, tiffData}, {"get", 1, tiffGet}, {"index", 1, tiffIndex},
};

int tiffCommand(ClientData, Tcl_Interp *interp, int argc, const char **argv)
{
    return runTagCommand(kTiffCommands, interp, argc, argv);
}

}  // namespace

}  // namespace krel

int Tiff_Init(Tcl_Interp *interp)
{
    if (krel::initStubs(interp) != TCL_OK) return TCL_ERROR;
    return Tcl_CreateCommand(interp, "tiff", krel::tiffCommand, nullptr, nullptr) ? TCL_OK : TCL_ERROR;
}
