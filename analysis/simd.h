// The analysis kernels' vector clones come from the core, which the scripting
// utilities share.
#pragma once

#include "core/simd.h"
