// Listings of feature files (`statinfo`): every kind printed on the console's
// standard output in the fixed layouts that scripts and users read.
#pragma once

#include "analysis/feature.h"

namespace krel {

enum StatInfoFlags { INFO_MEAN = 1, INFO_STD = 2, INFO_COV = 4, INFO_COR = 8, INFO_ALL = 15 };

// Reads the -info words (MEAN STD COV COR ALL DEF separated by any of "|,;:",
// ignoring case) into flags; false after "Unknown option for -info\n".
bool parseInfoFlags(const char *info, int *flags);

void printBandList(const FeatureBlock *block);
// One stat item with the tables selected by `flags`.
void printStatItem(const FeatureBlock *block, int i, int flags);
// The table of cluster means (1), mean changes (2) or sums (3).
void isoPrint(const FeatureBlock *block, int which);

// Option values of `statinfo` as given (null when absent).
struct StatInfoOptions {
    const char *in = nullptr, *stat = nullptr, *inv = nullptr, *info = nullptr;
};
void statinfoUsage(const char *program);
// Runs `statinfo` once the options are parsed: 1 done, 0 failed.
int statinfoRun(const StatInfoOptions &options);

}  // namespace krel
