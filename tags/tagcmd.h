// What the tiff and dicom commands share: error answers, the range of
// `index ?first? ?last?`, and the opening of a file named by a script.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <tcl.h>

#include "core/subcmd.h"
#include "core/texts.h"
#include "core/tclutil.h"
#include "platform/files.h"

namespace krel {

// Sets the text as the result and answers TCL_ERROR.
int tagFail(Tcl_Interp *interp, const std::string &text);

// "Usage: COMMAND OPTION imgid ?option?", an error.
int tagDataUsage(Tcl_Interp *interp, const char **argv);

// Entries [first, last) of n for `index ?first? ?last?`: every entry, entry
// i, or entries i..j, clipped. False on a word that is not an integer.
bool tagIndexRange(int argc, const char **argv, size_t n, size_t *first, size_t *last);

Tcl_Obj *tagStringObj(const std::string &s);
// Bytes of a file's text (ISO 8859-1, as DICOM's default character set and
// most TIFF writers have it) as a string object.
Tcl_Obj *tagTextObj(const std::string &bytes);

// Opens a regular file read-only, refusing devices and FIFOs (which would
// block or never end) without waiting on them. False when it cannot be
// opened.
bool openTagFile(const char *name, platform::FileDesc *fd);

struct RamImage;
// The RAM image an imgid names (a tag, then a file name), or null.
RamImage *findTagImage(const char *id);

using TagHandler = int (*)(Tcl_Interp *, int, const char **);

// Runs the subcommand the second word names; none: "Usage: COMMAND option".
template <size_t N>
int runTagCommand(const SubCommand<TagHandler> (&table)[N], Tcl_Interp *interp, int argc, const char **argv)
{
    return guarded(interp, [&] {
        const auto *entry = argc < 2 ? nullptr : findSubCommand(table, argv[1]);
        if (entry == nullptr) return tagFail(interp, std::string("Usage: ") + argv[0] + " option");
        return entry->handler(interp, argc, argv);
    });
}

// The dictionary subcommands of both commands. `entryObj(key, value)` makes
// the list element of an entry.

// add: `parse(words, count, &key, &value)` reads one argument; a malformed
// one fails the call (no message) and nothing is added. Answers the size.
template <class Value, class Parse>
int dictionaryAdd(Tcl_Interp *interp, int argc, const char **argv, std::mutex &lock, std::map<uint32_t, Value> &dict,
                  Parse parse)
{
    std::vector<std::pair<uint32_t, Value>> adds;
    for (int i = 2; i < argc; ++i) {
        int n;
        const char **words;
        if (Tcl_SplitList(nullptr, argv[i], &n, &words) != TCL_OK) return TCL_ERROR;
        uint32_t key;
        Value value;
        const bool ok = parse(words, n, &key, &value);
        if (ok) adds.emplace_back(key, std::move(value));
        Tcl_Free(reinterpret_cast<char *>(words));
        if (!ok) return TCL_ERROR;
    }
    std::lock_guard<std::mutex> hold(lock);
    for (auto &a : adds) dict[a.first] = std::move(a.second);
    Tcl_SetObjResult(interp, Tcl_NewWideIntObj(static_cast<Tcl_WideInt>(dict.size())));
    return TCL_OK;
}

template <class Value, class EntryObj>
int dictionaryGet(Tcl_Interp *interp, uint32_t key, std::mutex &lock, const std::map<uint32_t, Value> &dict,
                  EntryObj entryObj)
{
    std::lock_guard<std::mutex> hold(lock);
    auto it = dict.find(key);
    if (it != dict.end()) Tcl_SetObjResult(interp, entryObj(it->first, it->second));
    return TCL_OK;
}

template <class Value, class EntryObj>
int dictionaryIndex(Tcl_Interp *interp, int argc, const char **argv, std::mutex &lock,
                    const std::map<uint32_t, Value> &dict, EntryObj entryObj)
{
    std::lock_guard<std::mutex> hold(lock);
    size_t first, last;
    if (!tagIndexRange(argc, argv, dict.size(), &first, &last)) return tagFail(interp, texts::kSyntaxError);
    Tcl_Obj *list = Tcl_NewListObj(0, nullptr);
    size_t i = 0;
    for (auto it = dict.begin(); it != dict.end() && i < last; ++it, ++i)
        if (i >= first) Tcl_ListObjAppendElement(nullptr, list, entryObj(it->first, it->second));
    Tcl_SetObjResult(interp, list);
    return TCL_OK;
}

template <class Value>
int dictionaryCount(Tcl_Interp *interp, std::mutex &lock, const std::map<uint32_t, Value> &dict)
{
    std::lock_guard<std::mutex> hold(lock);
    Tcl_SetObjResult(interp, Tcl_NewWideIntObj(static_cast<Tcl_WideInt>(dict.size())));
    return TCL_OK;
}

}  // namespace krel
