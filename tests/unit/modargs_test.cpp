#include <gtest/gtest.h>

#include "image/modargs.h"

using namespace krel;

namespace {

TEST(ModuleArgs, PairsFillTheFirstUnsetEntryAndCountUnknowns)
{
    ModuleOption table[] = {{"-in", nullptr}, {"-out", nullptr}, {"-u", nullptr}, {nullptr, nullptr}};
    const char *args[] = {"-in", "a", "-out", "b", "-in", "c"};
    EXPECT_EQ(parseModuleArgs(table, 6, args), 1) << "a repeated option is unknown";
    EXPECT_STREQ(moduleOption(table, "-in"), "a");
    EXPECT_STREQ(moduleOption(table, "-out"), "b");
    EXPECT_EQ(moduleOption(table, "-u"), nullptr);

    const char *trailing[] = {"-in", "a", "-u"};
    EXPECT_EQ(parseModuleArgs(table, 3, trailing), 1) << "a final name without value";
    EXPECT_EQ(moduleOption(table, "-u"), nullptr);
    const char *caseDiffers[] = {"-IN", "a"};
    EXPECT_EQ(parseModuleArgs(table, 2, caseDiffers), 1);
    EXPECT_EQ(moduleOption(table, "-in"), nullptr) << "values are cleared on every parse";

    ModuleOption twice[] = {{"-ic", nullptr}, {"-ic", nullptr}, {nullptr, nullptr}};
    const char *both[] = {"-ic", "1", "-ic", "2"};
    EXPECT_EQ(parseModuleArgs(twice, 4, both), 0) << "a name listed twice takes two values";
    EXPECT_STREQ(twice[1].value, "2");
}

TEST(ModuleArgs, NumbersReadLikeTheCLibrary)
{
    EXPECT_EQ(optionInt("12abc", 5), 12);
    EXPECT_EQ(optionInt("abc", 5), 0);
    EXPECT_EQ(optionInt(nullptr, 5), 5);
    EXPECT_DOUBLE_EQ(optionDouble("2.5e1x", 1), 25.0);
}

TEST(BandList, ItemsWithOptionalOutputBands)
{
    std::vector<BandPair> pairs;
    ASSERT_TRUE(parseBandList("3:1;2, 1:3  4", &pairs));
    ASSERT_EQ(pairs.size(), 4u);
    EXPECT_EQ(pairs[0].in, 3);
    EXPECT_EQ(pairs[0].out, 1);
    EXPECT_EQ(pairs[1].in, 2);
    EXPECT_EQ(pairs[1].out, 2);
    EXPECT_EQ(pairs[3].out, 4);
    for (const char *bad : {"", "0", "1:", "a", "1;x", "1:2:3", "-1", "2.5"})
        EXPECT_FALSE(parseBandList(bad, &pairs)) << bad;
    std::string many;
    for (int i = 0; i < kMaxBandItems; ++i) many += "1;";
    EXPECT_TRUE(parseBandList(many.c_str(), &pairs));
    many += "1";
    EXPECT_FALSE(parseBandList(many.c_str(), &pairs));
    // Palette indices (band 0) only when asked for.
    ASSERT_TRUE(parseBandList("0:1;2:0", &pairs, true));
    EXPECT_EQ(pairs[0].in, 0);
    EXPECT_EQ(pairs[1].out, 0);
    EXPECT_FALSE(parseBandList("0:1", &pairs));
    EXPECT_FALSE(parseBandList("-1:0", &pairs, true));
}

}  // namespace
