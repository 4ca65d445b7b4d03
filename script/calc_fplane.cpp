// The camera-geometry subcommands of calc: the rotation-matrix and camera
// calculator `fplane`, `xyzRotate` and `refImgCoord`.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>

#include "core/conio.h"
#include "core/subcmd.h"
#include "script/calc.h"
#include "script/calc_state.h"
#include "script/rotation.h"

namespace krel {

void rtnMatrix(double az, double ay, double ax, double m[9])
{
    double cz = cos(az), sz = sin(az), cy = cos(ay), sy = sin(ay), cx = cos(ax), sx = sin(ax);
    const double r[9] = {cy * cz, sx * sy * cz - cx * sz, cx * sy * cz + sx * sz,
                         cy * sz, sx * sy * sz + cx * cz, cx * sy * sz - sx * cz,
                         -sy,     sx * cy,                cx * cy};
    memcpy(m, r, sizeof r);
}

void ntrMatrix(double az, double ay, double ax, double m[9])
{
    double r[9];
    rtnMatrix(az, ay, ax, r);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) m[i * 3 + j] = r[j * 3 + i];
}

void axisFactor(char axis, double angle, double m[9])
{
    double c = cos(angle), s = sin(angle);
    const double z[9] = {c, s, 0, -s, c, 0, 0, 0, 1};
    const double y[9] = {c, 0, -s, 0, 1, 0, s, 0, c};
    const double x[9] = {1, 0, 0, 0, c, s, 0, -s, c};
    memcpy(m, axis == 'z' ? z : axis == 'y' ? y : x, sizeof z);
}

void multiply3(const double a[9], const double b[9], double out[9])
{
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            out[i * 3 + j] = a[i * 3] * b[j] + a[i * 3 + 1] * b[3 + j] + a[i * 3 + 2] * b[6 + j];
}

Vec3 apply3(const double m[9], Vec3 p)
{
    return {m[0] * p.x + m[1] * p.y + m[2] * p.z, m[3] * p.x + m[4] * p.y + m[5] * p.z,
            m[6] * p.x + m[7] * p.y + m[8] * p.z};
}

CameraPoint refImageCoord(double az, double ay, double ax, double f, double px, double py, double colc,
                          double rowc, double col, double row, double scale)
{
    double m[9];
    rtnMatrix(az, ay, ax, m);
    Vec3 p = apply3(m, {(col - colc) * px, -(row - rowc) * py, -f});
    double u = -scale * f * p.x / p.z / px;
    double v = -scale * f * p.y / p.z / py;
    return {u + colc, rowc - v};
}

namespace {

// fplane reports its failures through the error information; with the
// global Krel_Debug at "1" the trace goes to the console as well.
int fplaneFail(Tcl_Interp *interp, const char *message)
{
    Tcl_ResetResult(interp);
    Tcl_AddErrorInfo(interp, message);
    const char *debug = Tcl_GetVar(interp, "Krel_Debug", TCL_GLOBAL_ONLY);
    if (debug != nullptr && strcmp(debug, "1") == 0) {
        const char *info = Tcl_GetVar(interp, "errorInfo", TCL_GLOBAL_ONLY);
        conEprintf("%s\n", info != nullptr ? info : message);
    }
    return TCL_ERROR;
}

void setNumbers(Tcl_Interp *interp, const double *v, int n, const char *format)
{
    Tcl_Obj *result = Tcl_NewObj();
    for (int i = 0; i < n; ++i) {
        if (i) Tcl_AppendToObj(result, " ", 1);
        Tcl_AppendPrintfToObj(result, format, v[i]);
    }
    Tcl_SetObjResult(interp, result);
}

int fplaneKernel(Tcl_Interp *interp, int argc, const char **argv)
{
    double *m = calcState().matrix;
    if (argc == 3) {
        setNumbers(interp, m, 9, "%.8f");
        return TCL_OK;
    }
    if (argc > 4) return fplaneFail(interp, "Invalid kernel matrix.");
    if (strcmp(argv[3], "init") == 0) {
        const double identity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
        memcpy(m, identity, sizeof identity);
    } else if (strcmp(argv[3], "inv") == 0) {
        for (int i = 0; i < 3; ++i)
            for (int j = i + 1; j < 3; ++j) std::swap(m[i * 3 + j], m[j * 3 + i]);
    } else {
        double v[9];
        if (sscanf(argv[3], "%lf %lf %lf %lf %lf %lf %lf %lf %lf", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5],
                   &v[6], &v[7], &v[8]) != 9)
            return fplaneFail(interp, "Error in parsing kernel matrix.");
        memcpy(m, v, sizeof v);
    }
    return TCL_OK;
}

int fplaneAxis(Tcl_Interp *interp, int argc, const char **argv, char axis)
{
    if (argc < 4) {
        char message[64];
        snprintf(message, sizeof message, "Error in parsing %c angle!\n", axis);
        conEprintf("%s", message);
        return fplaneFail(interp, message);
    }
    double f[9], product[9];
    axisFactor(axis, leadingDouble(argv[3]), f);
    multiply3(f, calcState().matrix, product);
    memcpy(calcState().matrix, product, sizeof product);
    return TCL_OK;
}

int fplaneRz(Tcl_Interp *interp, int argc, const char **argv) { return fplaneAxis(interp, argc, argv, 'z'); }
int fplaneRy(Tcl_Interp *interp, int argc, const char **argv) { return fplaneAxis(interp, argc, argv, 'y'); }
int fplaneRx(Tcl_Interp *interp, int argc, const char **argv) { return fplaneAxis(interp, argc, argv, 'x'); }

int fplanePoint(Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc != 6) {
        static const char kMessage[] = "wrong specification of {x y z}.\n";
        conPrintf("%s", kMessage);
        return fplaneFail(interp, kMessage);
    }
    Vec3 p = apply3(calcState().matrix, {leadingDouble(argv[3]), leadingDouble(argv[4]), leadingDouble(argv[5])});
    Tcl_SetObjResult(interp, Tcl_ObjPrintf("%.6f %.6f %.6f", p.x, p.y, p.z));
    return TCL_OK;
}

int fplanePixel(Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc != 4) return fplaneFail(interp, "Missing or invalid pixel.\n");
    double col = 0, row = 0, z = 0;
    if (sscanf(argv[3], "%lf %lf %lf", &col, &row, &z) < 2) return fplaneFail(interp, "Error in parsing pixel.\n");
    const CalcState &st = calcState();
    const double *c = st.camera;
    Vec3 p = apply3(st.matrix, {(col - c[CAM_COLC]) * c[CAM_PX], (c[CAM_ROWC] - row) * c[CAM_PY], z - c[CAM_F]});
    double colOut = -c[CAM_S] * c[CAM_F] * p.x / p.z / c[CAM_PX] + c[CAM_COLC];
    double rowOut = c[CAM_S] * c[CAM_F] * p.y / p.z / c[CAM_PY] + c[CAM_ROWC];
    Tcl_SetObjResult(interp, Tcl_ObjPrintf("%.8f %.8f", colOut, rowOut));
    return TCL_OK;
}

int fplaneArray(Tcl_Interp *interp, int argc, const char **argv)
{
    double *c = calcState().camera;
    if (argc == 3) {
        setNumbers(interp, c, CAM_COUNT, "%.8f");
        return TCL_OK;
    }
    if (argc != 4) return fplaneFail(interp, "Invalid array options.\n");
    double v[CAM_COUNT];
    if (sscanf(argv[3], "%lf %lf %lf %lf %lf %lf", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]) != CAM_COUNT)
        return fplaneFail(interp, "Error in parsing array params.\n");
    memcpy(c, v, sizeof v);
    return TCL_OK;
}

const SubCommand<CalcHandler> kFplaneOptions[] = {
    {"Rk", 2, fplaneKernel},   {"Rz", 2, fplaneRz},       {"Ry", 2, fplaneRy}, {"Rx", 2, fplaneRx},
    {"point", 3, fplanePoint}, {"pixel", 3, fplanePixel}, {"array", 3, fplaneArray},
};

double signOf(double angle, double magnitude) { return angle < 0 ? -magnitude : magnitude; }

void setTriple(Tcl_Interp *interp, double a, double b, double c)
{
    Tcl_SetObjResult(interp, Tcl_ObjPrintf("%.6f %.6f %.6f\n", a, b, c));
}

// The rotation angles that give the three angles between the axes.
void rotateZyx(Tcl_Interp *interp, double a0, double a1, double a2)
{
    double c0 = cos(a0), c1 = cos(a1), c2 = cos(a2);
    double b = c1 * c1 - c2 * c2 - c0 * c0 - 1;
    double q = c2 * c2 + c0 * c0 + c2 * c2 * c0 * c0 - 2 * c0 * c1 * c2;
    if (4 * q > b * b) return;
    double d = sqrt(b * b - 4 * q);
    double roots[2] = {(-b + d) / 2, (-b - d) / 2};
    conEprintf("x1: %.6f x2: %.6f\n", roots[0], roots[1]);
    double out[3] = {0, 0, 0};
    for (double x : roots) {
        double r = sqrt(x);
        out[0] = signOf(a2, acos(c2 / r));
        out[1] = signOf(a0, acos(r));
        out[2] = signOf(a0, acos(c0 / r));
        conEprintf("Az: %.6f Ay: %.6f Ax: %.6f\n", out[0], out[1], out[2]);
    }
    setTriple(interp, out[0], out[1], out[2]);
}

}  // namespace

int calcFplane(Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc < 3) {
        conPrintf("Usage: %s %s ?options?. [Rk Rz Ry Rx array point pixel]\n", argv[0], argv[1]);
        return TCL_OK;
    }
    const auto *option = findSubCommand(kFplaneOptions, argv[2]);
    if (option == nullptr) return fplaneFail(interp, "Unknown options.\n");
    return option->handler(interp, argc, argv);
}

int calcXyzRotate(Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc != 6 && argc != 9) {
        Tcl_SetResult(interp, const_cast<char *>("Usage: calc xyzRotate op Az Ay Ax x y z\n"), TCL_STATIC);
        return TCL_OK;
    }
    const char *op = argv[2];
    double a0 = leadingDouble(argv[3]), a1 = leadingDouble(argv[4]), a2 = leadingDouble(argv[5]);
    if (strcmp(op, "NTR") == 0 || strcmp(op, "RTN") == 0) {
        Vec3 p{0, 0, 0};
        if (argc == 9) p = {leadingDouble(argv[6]), leadingDouble(argv[7]), leadingDouble(argv[8])};
        double m[9];
        (op[0] == 'N' ? ntrMatrix : rtnMatrix)(a0, a1, a2, m);
        p = apply3(m, p);
        setTriple(interp, p.x, p.y, p.z);
    } else if (strcmp(op, "ZYX") == 0) {
        rotateZyx(interp, a0, a1, a2);
    } else if (strcmp(op, "GPT") == 0) {
        setTriple(interp, signOf(a1, acos(cos(a1) * cos(a2))),
                  signOf(a0, acos(sin(a0) * sin(a1) * sin(a2) + cos(a2) * cos(a0))),
                  signOf(a1, acos(cos(a1) * cos(a0))));
    } else {
        Tcl_SetResult(interp, const_cast<char *>("op must be NTR or RTN or ZYX or GPT.\n"), TCL_STATIC);
        return TCL_ERROR;
    }
    return TCL_OK;
}

int calcRefImgCoord(Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc != 12 && argc != 13) {
        Tcl_SetResult(interp,
                      const_cast<char *>("Usage: calc refImgCoord Az Ay Ax f px py colc rowc col row [scale]\n"),
                      TCL_STATIC);
        return TCL_OK;
    }
    double v[11];
    for (int i = 0; i < 10; ++i) v[i] = leadingDouble(argv[2 + i]);
    v[10] = argc == 13 ? leadingDouble(argv[12]) : 1.0;
    CameraPoint p = refImageCoord(v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9], v[10]);
    Tcl_SetObjResult(interp, Tcl_ObjPrintf("%.3f %.3f", p.col, p.row));
    return TCL_OK;
}

}  // namespace krel
