// The current interpreter: per thread, and never restored once it is gone.
#include <gtest/gtest.h>

#include <thread>

#include "core/runtime.h"
#include "core/tclutil.h"

namespace krel {
namespace {

Tcl_Interp *fake(int n) { return reinterpret_cast<Tcl_Interp *>(static_cast<intptr_t>(0x1000 * n)); }

TEST(CurrentInterp, GuardsRestoreThePreviousOne)
{
    Tcl_Interp *saved = setCurrentInterp(fake(1));
    {
        CurrentInterp outer(fake(2));
        EXPECT_EQ(currentInterp(), fake(2));
        {
            CurrentInterp inner(fake(3));
            EXPECT_EQ(currentInterp(), fake(3));
        }
        EXPECT_EQ(currentInterp(), fake(2));
    }
    EXPECT_EQ(currentInterp(), fake(1));
    setCurrentInterp(saved);
}

TEST(CurrentInterp, AForgottenInterpreterIsNotRestored)
{
    Tcl_Interp *saved = setCurrentInterp(fake(1));
    {
        CurrentInterp outer(fake(2));
        {
            CurrentInterp inner(fake(3));
            // Interpreters 1 and 2 are deleted while 3 evaluates.
            CurrentInterp::forget(fake(2));
            CurrentInterp::forget(fake(1));
            EXPECT_EQ(currentInterp(), fake(3));
        }
        EXPECT_EQ(currentInterp(), nullptr);
    }
    EXPECT_EQ(currentInterp(), nullptr);
    {
        CurrentInterp guard(fake(4));
        CurrentInterp::forget(fake(4));
        EXPECT_EQ(currentInterp(), nullptr);
    }
    setCurrentInterp(saved);
}

TEST(CurrentInterp, EachThreadHasItsOwn)
{
    Tcl_Interp *saved = setCurrentInterp(fake(5));
    Tcl_Interp *seen = fake(9);
    std::thread other([&] {
        seen = currentInterp();
        setCurrentInterp(fake(6));
    });
    other.join();
    EXPECT_EQ(seen, nullptr);
    EXPECT_EQ(currentInterp(), fake(5));
    setCurrentInterp(saved);
}

}  // namespace
}  // namespace krel
