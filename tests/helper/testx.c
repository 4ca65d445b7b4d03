/* Test helper: reads the raw pixel values of a window back from the X
 * server (XGetImage), describes the window's visual and looks colours up in
 * its colormap, so that tests can compare what was drawn with values they
 * compute themselves.
 *   testx::visual WIN            -> {class depth bitsPerPixel redMask greenMask blueMask}
 *   testx::pixels WIN X Y W H    -> raw pixel values, row by row
 *   testx::rgb WIN PIXEL ...     -> {r g b} (8-bit) per pixel value
 *   testx::sync                  -> waits for the server
 */
#include <stdlib.h>
#include <tcl.h>
#include <tk.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

static Tk_Window windowOf(Tcl_Interp *interp, Tcl_Obj *path)
{
    Tk_Window main = Tk_MainWindow(interp);
    Tk_Window w = main ? Tk_NameToWindow(interp, Tcl_GetString(path), main) : NULL;
    if (w) Tk_MakeWindowExist(w);
    return w;
}

static int visualCmd(ClientData cd, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    (void)cd;
    if (objc != 2) { Tcl_WrongNumArgs(interp, 1, objv, "window"); return TCL_ERROR; }
    Tk_Window w = windowOf(interp, objv[1]);
    if (!w) return TCL_ERROR;
    Visual *v = Tk_Visual(w);
    XImage *xi = XGetImage(Tk_Display(w), Tk_WindowId(w), 0, 0, 1, 1, AllPlanes, ZPixmap);
    int bpp = xi ? xi->bits_per_pixel : 0;
    if (xi) XDestroyImage(xi);
    Tcl_Obj *r = Tcl_NewListObj(0, NULL);
    Tcl_ListObjAppendElement(NULL, r, Tcl_NewIntObj(v->class));
    Tcl_ListObjAppendElement(NULL, r, Tcl_NewIntObj(Tk_Depth(w)));
    Tcl_ListObjAppendElement(NULL, r, Tcl_NewIntObj(bpp));
    Tcl_ListObjAppendElement(NULL, r, Tcl_NewWideIntObj((Tcl_WideInt)v->red_mask));
    Tcl_ListObjAppendElement(NULL, r, Tcl_NewWideIntObj((Tcl_WideInt)v->green_mask));
    Tcl_ListObjAppendElement(NULL, r, Tcl_NewWideIntObj((Tcl_WideInt)v->blue_mask));
    Tcl_SetObjResult(interp, r);
    return TCL_OK;
}

static int pixelsCmd(ClientData cd, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    (void)cd;
    int x, y, wd, ht;
    if (objc != 6) { Tcl_WrongNumArgs(interp, 1, objv, "window x y width height"); return TCL_ERROR; }
    Tk_Window w = windowOf(interp, objv[1]);
    if (!w) return TCL_ERROR;
    if (Tcl_GetIntFromObj(interp, objv[2], &x) || Tcl_GetIntFromObj(interp, objv[3], &y) ||
        Tcl_GetIntFromObj(interp, objv[4], &wd) || Tcl_GetIntFromObj(interp, objv[5], &ht))
        return TCL_ERROR;
    XSync(Tk_Display(w), False);
    XImage *xi = XGetImage(Tk_Display(w), Tk_WindowId(w), x, y, (unsigned)wd, (unsigned)ht, AllPlanes, ZPixmap);
    if (!xi) { Tcl_SetResult(interp, "XGetImage failed", TCL_STATIC); return TCL_ERROR; }
    Tcl_Obj *r = Tcl_NewListObj(0, NULL);
    for (int j = 0; j < ht; ++j)
        for (int i = 0; i < wd; ++i)
            Tcl_ListObjAppendElement(NULL, r, Tcl_NewWideIntObj((Tcl_WideInt)XGetPixel(xi, i, j)));
    XDestroyImage(xi);
    Tcl_SetObjResult(interp, r);
    return TCL_OK;
}

/* Waits until the server has handled every request, so that the events it
 * sent back (Expose in particular) are queued for the next update. */
static int syncCmd(ClientData cd, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    (void)cd;
    (void)objc;
    (void)objv;
    Tk_Window main = Tk_MainWindow(interp);
    if (main) XSync(Tk_Display(main), False);
    return TCL_OK;
}

static int rgbCmd(ClientData cd, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    (void)cd;
    if (objc < 2) { Tcl_WrongNumArgs(interp, 1, objv, "window ?pixel ...?"); return TCL_ERROR; }
    Tk_Window w = windowOf(interp, objv[1]);
    if (!w) return TCL_ERROR;
    Tcl_Obj *r = Tcl_NewListObj(0, NULL);
    for (int i = 2; i < objc; ++i) {
        Tcl_WideInt p;
        if (Tcl_GetWideIntFromObj(interp, objv[i], &p)) return TCL_ERROR;
        XColor c;
        c.pixel = (unsigned long)p;
        XQueryColor(Tk_Display(w), Tk_Colormap(w), &c);
        Tcl_Obj *e = Tcl_NewListObj(0, NULL);
        Tcl_ListObjAppendElement(NULL, e, Tcl_NewIntObj(c.red >> 8));
        Tcl_ListObjAppendElement(NULL, e, Tcl_NewIntObj(c.green >> 8));
        Tcl_ListObjAppendElement(NULL, e, Tcl_NewIntObj(c.blue >> 8));
        Tcl_ListObjAppendElement(NULL, r, e);
    }
    Tcl_SetObjResult(interp, r);
    return TCL_OK;
}

__attribute__((visibility("default"))) int Krel_testx_Init(Tcl_Interp *interp)
{
    if (!Tcl_InitStubs(interp, "8.6", 0) || !Tk_InitStubs(interp, "8.6", 0)) return TCL_ERROR;
    Tcl_CreateObjCommand(interp, "testx::visual", visualCmd, NULL, NULL);
    Tcl_CreateObjCommand(interp, "testx::pixels", pixelsCmd, NULL, NULL);
    Tcl_CreateObjCommand(interp, "testx::rgb", rgbCmd, NULL, NULL);
    Tcl_CreateObjCommand(interp, "testx::sync", syncCmd, NULL, NULL);
    return Tcl_PkgProvide(interp, "krel_testx", "1.0");
}
