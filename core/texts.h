// Texts that must stay byte-exact.
//
// Scripts compare these messages and keywords, users' logs and habits know
// them, and files carry some of them. Their odd spellings are part of the
// interface: do not correct them, and take new odd ones from here so that a
// well-meant spelling fix in one place cannot quietly change an answer.
#pragma once

namespace krel::texts {

// rimage
inline constexpr char kCantFoundRamimg[] = "Can't found RAMIMG: ";
inline constexpr char kCantConfigLocked[] = "Can't config a locked RAMIMG.\n";

// Image files
inline constexpr char kTiffCompression[] = "Can't read Tiff with compression code:%d\n";
inline constexpr char kGeorefMagic[] = "GOERECHD";  // georeferencing coefficient files

// Analysis modules
inline constexpr char kIlligalClass[] = "Illigal class definition.\n";
inline constexpr char kInputStartColum[] = "input start colum out of range.\n";
inline constexpr char kMaskRowsColumns[] = "Error: inconsistent row or/and columns between mask and data.\n";
inline constexpr char kInconsistantFeatures[] = "Inconsistant features with bands.\n";
inline constexpr char kDevInconsistantBands[] = "DEV: Inconsistant output and input bands.";
inline constexpr char kStretchInconsistantBands[] = "stretch: Inconsistant output and input bands.";

// tiff and dicom
inline constexpr char kInvalidTiffVolume[] = "Invalid TIFF volume";
inline constexpr char kSyntaxError[] = "Syntax error";
inline constexpr char kNotTiffImage[] = "Not a TIFF image";
inline constexpr char kNotDicomImage[] = "Not a DICOM image";
inline constexpr char kErrorInOpen[] = "Error in open:";  // followed by the file name
inline constexpr char kErrorInOpenTiff[] = "Error in open TIFF image";
// Fourier transforms
inline constexpr char kMakefftBanner[] = "MAKEFFT: Fast Fourier Transfermation of an image file.\n\n";
inline constexpr char kAllocateMemmory[] = "Error in AllocateMemmory!\n";
inline constexpr char kGfftransOpsUsage[] = "      OP    option: XRI, YRI, XYRI, XPP, YPP, XYPP, RI, PP, XY, XX, XY, FLTR\n";
inline constexpr char kFFTRquest[] = "Rquest: %.0f  Available: %.0f\n";

// etran
inline constexpr char kEtranUnknownCommand[] = "Unkndow command of etran\n";

}  // namespace krel::texts
