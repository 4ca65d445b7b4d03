// Small RAII helpers around Tcl references and the one place where a C++
// error becomes a Tcl result.
#pragma once

#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include <tcl.h>

namespace krel {

// Owns one reference to a Tcl_Obj.
class ObjRef {
public:
    ObjRef() = default;
    explicit ObjRef(Tcl_Obj *obj) : obj_(obj) { if (obj_) Tcl_IncrRefCount(obj_); }
    ObjRef(const ObjRef &o) : ObjRef(o.obj_) {}
    ObjRef &operator=(const ObjRef &o)
    {
        ObjRef tmp(o);
        std::swap(obj_, tmp.obj_);
        return *this;
    }
    ~ObjRef() { if (obj_) Tcl_DecrRefCount(obj_); }
    Tcl_Obj *get() const { return obj_; }
    operator Tcl_Obj *() const { return obj_; }

private:
    Tcl_Obj *obj_ = nullptr;
};

// Keeps an interpreter from being freed for a scope (Tcl_Preserve/Tcl_Release).
class Preserved {
public:
    explicit Preserved(Tcl_Interp *interp) : interp_(interp) { if (interp_) Tcl_Preserve(interp_); }
    Preserved(const Preserved &) = delete;
    Preserved &operator=(const Preserved &) = delete;
    ~Preserved() { if (interp_) Tcl_Release(interp_); }

private:
    Tcl_Interp *interp_;
};

// Makes an interpreter current for a scope and restores the previous one.
class CurrentInterp {
public:
    explicit CurrentInterp(Tcl_Interp *interp);
    CurrentInterp(const CurrentInterp &) = delete;
    CurrentInterp &operator=(const CurrentInterp &) = delete;
    ~CurrentInterp();

    // An interpreter that goes away is forgotten by every guard of this
    // thread, so that none restores it afterwards.
    static void forget(Tcl_Interp *interp);

private:
    Tcl_Interp *previous_;
    CurrentInterp *outer_;  // the enclosing guard of this thread
};

// An error whose text becomes the interpreter result.
struct TclError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Runs a command body; no C++ exception ever crosses into Tcl.
template <class F>
int guarded(Tcl_Interp *interp, F &&body) noexcept
{
    try {
        return body();
    } catch (const std::bad_alloc &) {
        Tcl_SetObjResult(interp, Tcl_NewStringObj("Error in malloc.\n", -1));
    } catch (const std::exception &e) {
        Tcl_SetObjResult(interp, Tcl_NewStringObj(e.what(), -1));
    } catch (...) {
        Tcl_SetObjResult(interp, Tcl_NewStringObj("internal error", -1));
    }
    return TCL_ERROR;
}

inline void setResult(Tcl_Interp *interp, const std::string &text)
{
    Tcl_SetObjResult(interp, Tcl_NewStringObj(text.data(), static_cast<int>(text.size())));
}

inline void appendResult(Tcl_Interp *interp, const char *text) { Tcl_AppendResult(interp, text, nullptr); }

}  // namespace krel
