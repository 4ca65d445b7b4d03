// calc correl: the lag at which a short number list best matches a longer one.
#include <cstdlib>
#include <new>
#include <vector>

#include "script/calc.h"
#include "script/correl.h"

namespace krel {

namespace {

struct SplitList {
    int count = 0;
    const char **items = nullptr;
    ~SplitList() { Tcl_Free(reinterpret_cast<char *>(items)); }
};

// The elements from `start` on, read by their leading numbers.
std::vector<double> numbersFrom(const SplitList &list, long start)
{
    std::vector<double> v;
    if (start < list.count) {
        v.resize(static_cast<size_t>(list.count - start));
        for (size_t i = 0; i < v.size(); ++i) v[i] = strtod(list.items[start + static_cast<long>(i)], nullptr);
    }
    return v;
}

int correlate(Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc < 4 || argc > 6) {
        Tcl_AppendResult(interp, "Usage: ", argv[0], " ", argv[1], " list1 list2 start n", nullptr);
        return TCL_ERROR;
    }
    long start = argc > 4 ? leadingLong(argv[4]) : 0;
    long n = argc > 5 ? leadingLong(argv[5]) : 4096;
    if (start < 0) start = 0;
    SplitList first, second;
    if (Tcl_SplitList(interp, argv[2], &first.count, &first.items) != TCL_OK ||
        Tcl_SplitList(interp, argv[3], &second.count, &second.items) != TCL_OK)
        return TCL_ERROR;
    std::vector<double> a = numbersFrom(first, start), b = numbersFrom(second, start);
    if (n > static_cast<long>(a.size())) n = static_cast<long>(a.size());
    if (n > static_cast<long>(b.size())) n = static_cast<long>(b.size());
    if (n <= 0) {
        Tcl_SetResult(interp, const_cast<char *>("Empty input lists."), TCL_STATIC);
        return TCL_OK;
    }
    const std::vector<double> &s = a.size() <= b.size() ? a : b;
    const std::vector<double> &l = a.size() <= b.size() ? b : a;
    LagCorrelation best = bestLagCorrelation(s.data(), s.size(), l.data(), l.size(), static_cast<size_t>(n));
    if (best.found) Tcl_SetObjResult(interp, Tcl_ObjPrintf("%.8f %ld", best.r2, static_cast<long>(best.lag)));
    return TCL_OK;
}

}  // namespace

int calcCorrel(Tcl_Interp *interp, int argc, const char **argv)
{
    try {
        return correlate(interp, argc, argv);
    } catch (const std::bad_alloc &) {
        Tcl_SetResult(interp, const_cast<char *>("Error in malloc."), TCL_STATIC);
        return TCL_ERROR;
    }
}

}  // namespace krel
