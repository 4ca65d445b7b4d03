// The dicom command: a dictionary of element names and the elements of
// DICOM files or open DICOM images.
//
//   dicom add {group element VR int1 int2 name} ...   dicom get group element
//   dicom index ?first? ?last?   dicom count   dicom data imgid ?group ?element??
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "core/package.h"
#include "core/subcmd.h"
#include "core/tclutil.h"
#include "image/formats/dicom.h"
#include "image/registry.h"
#include "tags/dicom_list.h"
#include "tags/tagcmd.h"
#include "tags/tagdict.h"
#include "tags/tags.h"

namespace krel {

namespace {

using Handler = int (*)(Tcl_Interp *, int, const char **);

Tcl_Obj *hexObj(uint32_t v)
{
    char b[8];
    snprintf(b, sizeof b, "%04x", static_cast<unsigned>(v & 0xFFFF));
    return Tcl_NewStringObj(b, -1);
}

// {group element VR int1 int2 name}, the name braced when it has a blank.
Tcl_Obj *entryObj(uint32_t key, const DicomName &n)
{
    Tcl_Obj *w[6] = {hexObj(key >> 16), hexObj(key), Tcl_NewStringObj(dicomVRName(n.vr), -1),
                     Tcl_NewIntObj(n.int1), Tcl_NewIntObj(n.int2), tagStringObj(n.name)};
    return Tcl_NewListObj(6, w);
}

bool parseKey(const char *group, const char *element, uint32_t *key)
{
    uint32_t g, e;
    if (!parseTagNumber(group, 16, 0xFFFF, &g) || !parseTagNumber(element, 16, 0xFFFF, &e)) return false;
    *key = (g << 16) | e;
    return true;
}

int dicomAdd(Tcl_Interp *interp, int argc, const char **argv)
{
    std::vector<std::pair<uint32_t, DicomName>> adds;
    for (int i = 2; i < argc; ++i) {
        int n;
        const char **w;
        if (Tcl_SplitList(nullptr, argv[i], &n, &w) != TCL_OK) return TCL_ERROR;
        uint32_t key;
        DicomName d;
        bool ok = n == 6 && parseKey(w[0], w[1], &key) && Tcl_GetInt(nullptr, w[3], &d.int1) == TCL_OK &&
                  Tcl_GetInt(nullptr, w[4], &d.int2) == TCL_OK;
        if (ok) {
            d.vr = dicomVRIndex(w[2], strlen(w[2]));
            d.name = w[5];
            adds.emplace_back(key, std::move(d));
        }
        Tcl_Free(reinterpret_cast<char *>(w));
        if (!ok) return TCL_ERROR;  // a malformed entry adds nothing at all
    }
    TagState &s = tagState();
    std::lock_guard<std::mutex> hold(s.lock);
    for (auto &a : adds) s.dicom[a.first] = std::move(a.second);
    Tcl_SetObjResult(interp, Tcl_NewWideIntObj(static_cast<Tcl_WideInt>(s.dicom.size())));
    return TCL_OK;
}

int dicomGet(Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc != 4) return tagFail(interp, "Usage: dicom get group element");
    uint32_t key;
    if (!parseKey(argv[2], argv[3], &key)) return tagFail(interp, "Syntax error");
    TagState &s = tagState();
    std::lock_guard<std::mutex> hold(s.lock);
    auto it = s.dicom.find(key);
    if (it != s.dicom.end()) Tcl_SetObjResult(interp, entryObj(it->first, it->second));
    return TCL_OK;
}

int dicomIndex(Tcl_Interp *interp, int argc, const char **argv)
{
    TagState &s = tagState();
    std::lock_guard<std::mutex> hold(s.lock);
    size_t first, last;
    if (!tagIndexRange(argc, argv, s.dicom.size(), &first, &last)) return tagFail(interp, "Syntax error");
    Tcl_Obj *list = Tcl_NewListObj(0, nullptr);
    size_t i = 0;
    for (auto it = s.dicom.begin(); it != s.dicom.end() && i < last; ++it, ++i)
        if (i >= first) Tcl_ListObjAppendElement(nullptr, list, entryObj(it->first, it->second));
    Tcl_SetObjResult(interp, list);
    return TCL_OK;
}

int dicomCount(Tcl_Interp *interp, int, const char **)
{
    TagState &s = tagState();
    std::lock_guard<std::mutex> hold(s.lock);
    Tcl_SetObjResult(interp, Tcl_NewWideIntObj(static_cast<Tcl_WideInt>(s.dicom.size())));
    return TCL_OK;
}

int dicomData(Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc < 3) return tagDataUsage(interp, argv);
    if (argc > 5) return tagFail(interp, "Syntax error");
    uint32_t group = 0, key = 0;
    if (argc == 4 && !parseTagNumber(argv[3], 16, 0xFFFF, &group)) return tagFail(interp, "Syntax error");
    if (argc == 5 && !parseKey(argv[3], argv[4], &key)) return tagFail(interp, "Syntax error");

    const char *id = argv[2];
    const DicomTable *table;
    int fd;
    platform::FileDesc own;  // a file the command opened and its table,
    DicomTablePtr ownTable;  // released on every path
    ImageHold held;
    RamImage *img = findByTag(id);
    if (img == nullptr) img = findByFile(id);
    if (img) {
        retainImage(img);
        held.reset(img);
        table = static_cast<const DicomTable *>(img->formatData);
        if (img->def.mapid != MAP_DICOM || table == nullptr || memcmp(table->magic, "DICOMTB", 8) != 0)
            return tagFail(interp, "Not a DICOM image");
        fd = img->fileHandle;
    } else {
        const int rc = openDicomFile(id, &own, &ownTable);
        if (rc == -1) return tagFail(interp, std::string("Error in open:") + id);
        if (rc < 0) return tagFail(interp, "Not a DICOM image");
        table = ownTable.get();
        fd = own.get();
    }

    if (argc < 5) {
        Tcl_Obj *list = Tcl_NewListObj(0, nullptr);
        for (uint32_t k : dicomKeys(table)) {
            if (argc == 3) {
                Tcl_Obj *w[2] = {hexObj(k >> 16), hexObj(k)};
                Tcl_ListObjAppendElement(nullptr, list, Tcl_NewListObj(2, w));
            } else if ((k >> 16) == group) {
                Tcl_ListObjAppendElement(nullptr, list, hexObj(k));
            }
        }
        Tcl_SetObjResult(interp, list);
        return TCL_OK;
    }
    TagState &s = tagState();
    std::lock_guard<std::mutex> hold(s.lock);
    const auto lines = dicomLines(fd, table, key, [&s](uint32_t k) {
        auto it = s.dicom.find(k);
        return it == s.dicom.end() ? -1 : it->second.vr;
    });
    // One line a data element: {group element VR name value}, joined by
    // line feeds.
    Tcl_Obj *text = Tcl_NewObj();
    for (size_t i = 0; i < lines.size(); ++i) {
        const DicomLine &l = lines[i];
        auto it = s.dicom.find(l.key);
        Tcl_Obj *w[5] = {hexObj(l.key >> 16), hexObj(l.key), Tcl_NewStringObj(dicomVRName(l.vr), -1),
                         tagStringObj(it == s.dicom.end() ? std::string("??") : it->second.name), tagTextObj(l.value)};
        Tcl_Obj *line = Tcl_NewListObj(5, w);
        Tcl_IncrRefCount(line);
        if (i) Tcl_AppendToObj(text, "\n", 1);
        Tcl_AppendObjToObj(text, line);
        Tcl_DecrRefCount(line);
    }
    Tcl_SetObjResult(interp, text);
    return TCL_OK;
}

const SubCommand<Handler> kDicomCommands[] = {
    {"add", 1, dicomAdd}, {"count", 1, dicomCount}, {"data", 1, dicomData}, {"get", 1, dicomGet}, {"index", 1, dicomIndex},
};

int dicomCommand(ClientData, Tcl_Interp *interp, int argc, const char **argv)
{
    return guarded(interp, [&] {
        const auto *entry = argc < 2 ? nullptr : findSubCommand(kDicomCommands, argv[1]);
        if (entry == nullptr) return tagFail(interp, std::string("Usage: ") + argv[0] + " option");
        return entry->handler(interp, argc, argv);
    });
}

}  // namespace

}  // namespace krel

int Dicom_Init(Tcl_Interp *interp)
{
    if (krel::initStubs(interp) != TCL_OK) return TCL_ERROR;
    return Tcl_CreateCommand(interp, "dicom", krel::dicomCommand, nullptr, nullptr) ? TCL_OK : TCL_ERROR;
}
