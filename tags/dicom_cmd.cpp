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
#include "core/texts.h"
#include "core/tclutil.h"
#include "image/formats/dicom.h"
#include "image/registry.h"
#include "tags/dicom_list.h"
#include "tags/tagcmd.h"
#include "tags/tagdict.h"
#include "tags/tags.h"

namespace krel {

namespace {

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
    TagState &s = tagState();
    return dictionaryAdd(interp, argc, argv, s.lock, s.dicom, [](const char **w, int n, uint32_t *key, DicomName *d) {
        if (n != 6 || !parseKey(w[0], w[1], key) || Tcl_GetInt(nullptr, w[3], &d->int1) != TCL_OK ||
            Tcl_GetInt(nullptr, w[4], &d->int2) != TCL_OK)
            return false;
        d->vr = dicomVRIndex(w[2], strlen(w[2]));
        d->name = w[5];
        return true;
    });
}

int dicomGet(Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc != 4) return tagFail(interp, "Usage: dicom get group element");
    uint32_t key;
    if (!parseKey(argv[2], argv[3], &key)) return tagFail(interp, texts::kSyntaxError);
    TagState &s = tagState();
    return dictionaryGet(interp, key, s.lock, s.dicom, entryObj);
}

int dicomIndex(Tcl_Interp *interp, int argc, const char **argv)
{
    TagState &s = tagState();
    return dictionaryIndex(interp, argc, argv, s.lock, s.dicom, entryObj);
}

int dicomCount(Tcl_Interp *interp, int, const char **)
{
    TagState &s = tagState();
    return dictionaryCount(interp, s.lock, s.dicom);
}

int dicomData(Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc < 3) return tagDataUsage(interp, argv);
    if (argc > 5) return tagFail(interp, texts::kSyntaxError);
    uint32_t group = 0, key = 0;
    if (argc == 4 && !parseTagNumber(argv[3], 16, 0xFFFF, &group)) return tagFail(interp, texts::kSyntaxError);
    if (argc == 5 && !parseKey(argv[3], argv[4], &key)) return tagFail(interp, texts::kSyntaxError);

    const char *id = argv[2];
    const DicomTable *table;
    int fd;
    platform::FileDesc own;  // a file the command opened and its table,
    DicomTablePtr ownTable;  // released on every path
    ImageHold held;
    if (RamImage *img = findTagImage(id)) {
        retainImage(img);
        held.reset(img);
        table = static_cast<const DicomTable *>(img->formatData);
        if (img->def.mapid != MAP_DICOM || table == nullptr || memcmp(table->magic, "DICOMTB", 8) != 0)
            return tagFail(interp, texts::kNotDicomImage);
        fd = img->fileHandle;
    } else {
        const int rc = openDicomFile(id, &own, &ownTable);
        if (rc == -1) return tagFail(interp, std::string(texts::kErrorInOpen) + id);
        if (rc < 0) return tagFail(interp, texts::kNotDicomImage);
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

const SubCommand<TagHandler> kDicomCommands[] = {
    {"add", 1, dicomAdd}, {"count", 1, dicomCount}, {"data", 1, dicomData}, {"get", 1, dicomGet}, {"index", 1, dicomIndex},
};

int dicomCommand(ClientData, Tcl_Interp *interp, int argc, const char **argv)
{
    return runTagCommand(kDicomCommands, interp, argc, argv);
}

}  // namespace

}  // namespace krel

int Dicom_Init(Tcl_Interp *interp)
{
    if (krel::initStubs(interp) != TCL_OK) return TCL_ERROR;
    return Tcl_CreateCommand(interp, "dicom", krel::dicomCommand, nullptr, nullptr) ? TCL_OK : TCL_ERROR;
}
