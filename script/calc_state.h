// The process-wide state of `calc`: the rotation matrix and camera of the
// camera-geometry calculator, the block `galloc` holds and the integer whose
// address `memid` reports. The shared generator lives in core/prng.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace krel {

struct FreeDeleter {
    void operator()(void *p) const { free(p); }
};

// Camera parameters in their fixed order.
enum CameraParam { CAM_F, CAM_S, CAM_PX, CAM_PY, CAM_COLC, CAM_ROWC, CAM_COUNT };

struct CalcState {
    double matrix[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};  // row-major
    double camera[CAM_COUNT] = {8.0, 1000.0, 0.01, 0.01, 640.0, 512.0};
    std::unique_ptr<void, FreeDeleter> globalBlock;
    int64_t memoryId = 0;
};
CalcState &calcState();

}  // namespace krel
