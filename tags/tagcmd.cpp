#include "tags/tagcmd.h"

#include <sys/stat.h>

#include <algorithm>

#include "image/registry.h"

namespace krel {

int tagFail(Tcl_Interp *interp, const std::string &text)
{
    Tcl_SetObjResult(interp, tagStringObj(text));
    return TCL_ERROR;
}

int tagDataUsage(Tcl_Interp *interp, const char **argv)
{
    return tagFail(interp, std::string("Usage: ") + argv[0] + " " + argv[1] + " imgid ?option?");
}

bool tagIndexRange(int argc, const char **argv, size_t n, size_t *first, size_t *last)
{
    *first = 0;
    *last = n;
    if (argc > 4) return false;
    int a = 0, b = 0;
    if (argc >= 3 && Tcl_GetInt(nullptr, argv[2], &a) != TCL_OK) return false;
    if (argc == 4 && Tcl_GetInt(nullptr, argv[3], &b) != TCL_OK) return false;
    if (argc == 3) b = a;
    if (argc >= 3) {
        a = std::max(a, 0);
        *first = std::min<size_t>(static_cast<size_t>(a), n);
        *last = b < a ? *first : std::min<size_t>(static_cast<size_t>(b) + 1, n);
    }
    return true;
}

Tcl_Obj *tagStringObj(const std::string &s) { return Tcl_NewStringObj(s.data(), static_cast<int>(s.size())); }

Tcl_Obj *tagTextObj(const std::string &bytes)
{
    std::string utf;
    utf.reserve(bytes.size());
    for (unsigned char c : bytes) {
        if (c < 0x80 && c != 0) {
            utf += static_cast<char>(c);
        } else {  // two bytes, as Tcl holds NUL too
            utf += static_cast<char>(0xC0 | (c >> 6));
            utf += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return tagStringObj(utf);
}

RamImage *findTagImage(const char *id)
{
    RamImage *img = findByTag(id);
    return img ? img : findByFile(id);
}

bool openTagFile(const char *name, platform::FileDesc *fd)
{
    *fd = platform::openFile(name, platform::OpenMode::ReadNoBlock);
    struct stat st;
    return *fd && fstat(fd->get(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace krel
