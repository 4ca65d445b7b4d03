// Rotation matrices of three angles and the camera mappings built on them.
// Plain arithmetic, shared by `calc fplane`, `calc xyzRotate` and
// `calc refImgCoord`.
#pragma once

namespace krel {

struct Vec3 {
    double x, y, z;
};

// Rz·Ry·Rx of the angles (radians), row-major.
void rtnMatrix(double az, double ay, double ax, double m[9]);
// The transpose of rtnMatrix.
void ntrMatrix(double az, double ay, double ax, double m[9]);
// The factor of one rotation about z, y or x ('z', 'y', 'x'), row-major.
void axisFactor(char axis, double angle, double m[9]);
// a·b for 3×3 row-major matrices; out may alias neither.
void multiply3(const double a[9], const double b[9], double out[9]);
Vec3 apply3(const double m[9], Vec3 p);

// A pixel of the reference image mapped through the camera rotated by
// (az, ay, ax); returns the column and row.
struct CameraPoint {
    double col, row;
};
CameraPoint refImageCoord(double az, double ay, double ax, double f, double px, double py, double colc,
                          double rowc, double col, double row, double scale);

}  // namespace krel
