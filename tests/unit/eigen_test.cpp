#include "analysis/eigen.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "analysis/statinfo.h"
#include "support.h"

using namespace krel;

namespace {

// A symmetric matrix Q diag(values) Q^T with a random orthogonal Q, packed.
std::vector<double> withEigen(const std::vector<double> &values, std::vector<std::vector<double>> *vectors,
                              unsigned seed)
{
    int n = static_cast<int>(values.size());
    std::mt19937 rng(seed);
    std::normal_distribution<double> g;
    std::vector<std::vector<double>> q(n, std::vector<double>(n));
    for (int k = 0; k < n; ++k) {  // Gram-Schmidt
        for (double &v : q[k]) v = g(rng);
        for (int p = 0; p < k; ++p) {
            double d = 0;
            for (int i = 0; i < n; ++i) d += q[k][i] * q[p][i];
            for (int i = 0; i < n; ++i) q[k][i] -= d * q[p][i];
        }
        double norm = 0;
        for (double v : q[k]) norm += v * v;
        for (double &v : q[k]) v /= std::sqrt(norm);
    }
    std::vector<double> tri(triSize(n), 0.0);
    for (int j = 0; j < n; ++j)
        for (int i = 0; i <= j; ++i)
            for (int k = 0; k < n; ++k) tri[triIndex(i, j)] += values[k] * q[k][i] * q[k][j];
    *vectors = q;
    return tri;
}

double absDot(const double *a, const std::vector<double> &b)
{
    double d = 0;
    for (size_t i = 0; i < b.size(); ++i) d += a[i] * b[i];
    return std::fabs(d);
}

}  // namespace

TEST(CalcEV, FindsKnownEigenPairsInOrderAndDeflates)
{
    std::vector<double> values = {9.0, 4.0, 1.5, 0.25};
    std::vector<std::vector<double>> q;
    std::vector<double> tri = withEigen(values, &q, 11);
    std::vector<double> x(4);
    for (int k = 0; k < 4; ++k) {
        double lambda;
        ASSERT_EQ(calcEV(tri.data(), x.data(), 4, 1e-12, 5000, &lambda), 1);
        EXPECT_NEAR(lambda, values[k], 1e-8);
        EXPECT_NEAR(absDot(x.data(), q[k]), 1.0, 1e-8);
    }
    for (double v : tri) EXPECT_NEAR(v, 0.0, 1e-7);  // fully deflated

    // 2 x 2: [[2,1],[1,2]] has 3 along (1,1) and 1 along (1,-1).
    double t2[3] = {2, 1, 2};
    double x2[2], lambda;
    ASSERT_EQ(calcEV(t2, x2, 2, 1e-12, 512, &lambda), 1);
    EXPECT_NEAR(lambda, 3.0, 1e-9);
    EXPECT_NEAR(x2[0], std::sqrt(0.5), 1e-9);
    EXPECT_NEAR(x2[1], std::sqrt(0.5), 1e-9);
    ASSERT_EQ(calcEV(t2, x2, 2, 1e-12, 512, &lambda), 1);
    EXPECT_NEAR(lambda, 1.0, 1e-9);
    EXPECT_NEAR(std::fabs(x2[0]), std::sqrt(0.5), 1e-9);
    EXPECT_NEAR(x2[0], -x2[1], 1e-9);
}

TEST(CalcEV, NeverDividesByZero)
{
    // The first unit vector lies in the null space: the iteration starts from
    // the next one instead of producing NaN.
    double t[3] = {0, 0, 5};  // diag(0, 5)
    double x[2], lambda;
    ASSERT_EQ(calcEV(t, x, 2, 1e-10, 512, &lambda), 1);
    EXPECT_DOUBLE_EQ(lambda, 5.0);
    EXPECT_DOUBLE_EQ(std::fabs(x[1]), 1.0);
    // What is left is zero: eigenvalue 0, a unit vector, no NaN.
    ASSERT_EQ(calcEV(t, x, 2, 1e-10, 512, &lambda), 1);
    EXPECT_EQ(lambda, 0.0);
    EXPECT_DOUBLE_EQ(x[0] * x[0] + x[1] * x[1], 1.0);
}

class EgvRun : public ::testing::Test {
protected:
    test::TempDir dir;
    std::string statFile = dir.file("train.ftr"), egvFile = dir.file("pc.ftr");
    std::vector<double> values = {50.0, 20.0, 5.0};
    std::vector<std::vector<double>> q;

    void SetUp() override
    {
        std::vector<double> tri = withEigen(values, &q, 3);
        int32_t bands[3] = {0, 1, 3};
        FeaturePtr fb(newFeature(kStatFeatureId, bands, 3, statItemSize(3), 2, nullptr, kStatPrivateSize));
        for (int i = 0; i < 2; ++i) {
            StatItem it = statItem(fb.get(), i);
            it.setName(i ? "soil" : "water");
            it.setPixels(1000);
            for (int b = 0; b < 3; ++b) it.mean()[b] = 10.0f * (b + 1);
            for (int t = 0; t < 6; ++t) it.cov()[t] = static_cast<float>(tri[t] * (i + 1));
        }
        ASSERT_EQ(saveFeature(statFile.c_str(), fb.get()), 1);
    }
};

TEST_F(EgvRun, WritesAnEigenFileOfTheNamedStat)
{
    EgvOptions o;
    o.in = statFile.c_str();
    o.out = egvFile.c_str();
    o.stat = "SOIL";
    o.negvs = "7";  // cut to the band count
    test::ConsoleCapture cap;
    ASSERT_EQ(egvRun(o), 1) << cap.err;
    FeaturePtr eg(getFeature(egvFile.c_str(), kEigenFeatureId));
    ASSERT_TRUE(eg);
    ASSERT_EQ(getFeatureInfo(eg.get(), FINFO_COUNT), 3);
    EXPECT_EQ(getFeatureParam(eg.get(), 2), 3);
    // Soil's covariance is twice the matrix of eigenvalues 50, 20, 5 (sum 75).
    const float wantLambda[3] = {100, 40, 10}, wantPct[3] = {66.66667f, 26.66667f, 6.666667f};
    float pctSum = 0;
    for (int k = 0; k < 3; ++k) {
        const auto *rec = static_cast<const unsigned char *>(getFeatureItem(eg.get(), k));
        int32_t id;
        float lambda, pct, v[3];
        memcpy(&id, rec, 4);
        memcpy(&lambda, rec + 4, 4);
        memcpy(&pct, rec + 8, 4);
        memcpy(v, rec + 12, 12);
        EXPECT_EQ(id, k);
        EXPECT_NEAR(lambda, wantLambda[k], wantLambda[k] * 1e-5);
        EXPECT_NEAR(pct, wantPct[k], 1e-3);
        double d = 0;
        for (int b = 0; b < 3; ++b) d += v[b] * q[k][b];
        EXPECT_NEAR(std::fabs(d), 1.0, 1e-5);
        pctSum += pct;
    }
    EXPECT_NEAR(pctSum, 100.0, 1e-3);
    const auto *priv = static_cast<const unsigned char *>(getFeaturePrivate(eg.get()));
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(priv)), statFile + " soil 1");
    int32_t flag;
    float var0, mean2;
    memcpy(&flag, priv + 512, 4);
    memcpy(&var0, priv + 516, 4);
    memcpy(&mean2, priv + 516 + 16 + 4, 4);
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(mean2, 30.0f);
    EXPECT_GT(var0, 0.0f);
    ASSERT_EQ(cap.out.rfind("AEVPct: ", 0), 0u) << cap.out;
    EXPECT_NEAR(std::stod(cap.out.substr(8)), 100.0, 1e-4);
}

TEST_F(EgvRun, NormalisedUsesTheCorrelationMatrix)
{
    EgvOptions o;
    o.in = statFile.c_str();
    o.out = egvFile.c_str();
    o.id = "0";
    o.o = "norm";
    o.negvs = "1";
    test::ConsoleCapture cap;
    ASSERT_EQ(egvRun(o), 1) << cap.err;
    FeaturePtr eg(getFeature(egvFile.c_str(), kEigenFeatureId));
    ASSERT_EQ(getFeatureInfo(eg.get(), FINFO_COUNT), 1);
    const auto *priv = static_cast<const unsigned char *>(getFeaturePrivate(eg.get()));
    int32_t flag;
    memcpy(&flag, priv + 512, 4);
    EXPECT_EQ(flag, 1);
    // The largest eigenvalue of water's correlation matrix, from numpy
    // (numpy.linalg.eigvalsh of the covariance scaled to unit diagonal); the
    // eigenvalues of a 3 x 3 correlation matrix sum to 3.
    float lambda, pct;
    memcpy(&lambda, static_cast<const unsigned char *>(getFeatureItem(eg.get(), 0)) + 4, 4);
    memcpy(&pct, static_cast<const unsigned char *>(getFeatureItem(eg.get(), 0)) + 8, 4);
    EXPECT_NEAR(lambda, 1.585983f, 1e-4);
    EXPECT_NEAR(pct, 52.86611f, 1e-3);
}

TEST_F(EgvRun, ArgumentErrors)
{
    EgvOptions o;
    test::ConsoleCapture cap;
    EXPECT_EQ(egvRun(o), 0);
    o.in = statFile.c_str();
    EXPECT_EQ(egvRun(o), 0);
    o.out = egvFile.c_str();
    o.id = "2";
    EXPECT_EQ(egvRun(o), 0);
    o.id = nullptr;
    o.stat = "nothing";
    EXPECT_EQ(egvRun(o), 0);
    o.stat = nullptr;
    o.o = "SOME";
    EXPECT_EQ(egvRun(o), 0);
    o.in = egvFile.c_str();
    EXPECT_EQ(egvRun(o), 0);
    EXPECT_EQ(cap.err,
              "Input stat file missing!\noutput eigen vector file missing!\nInvalid statID 2\n"
              "Couldn't find stat: nothing\nUndefined option: SOME\nFail to get feature file: " +
                  egvFile + "\n");
}

TEST_F(EgvRun, StatinfoListsTheEigenFile)
{
    EgvOptions o;
    o.in = statFile.c_str();
    o.out = egvFile.c_str();
    {
        test::ConsoleCapture quiet;
        ASSERT_EQ(egvRun(o), 1);
    }
    StatInfoOptions s;
    s.in = egvFile.c_str();
    test::ConsoleCapture cap;
    ASSERT_EQ(statinfoRun(s), 1) << cap.err;
    const std::string &t = cap.out;
    EXPECT_EQ(
        t.rfind("EVINFO Source  : " + statFile + " water 0\nEVINFO Note    : Non Normalized\nEVINFO SQSTD   :\n", 0),
        0u)
        << t;
    EXPECT_NE(t.find("\nEVINFO MEAN    :\n   1.000000e+01   2.000000e+01   3.000000e+01\n"), std::string::npos) << t;
    EXPECT_NE(t.find("Bands: 3\n         1         2         4\n"), std::string::npos) << t;
    EXPECT_NE(t.find("\n\nEigen Vector Information\nID    :      1            2            3      \nValue :"
                     " 5.000000e+01 2.000000e+01 5.000000e+00\nPct   :    66.666"),
              std::string::npos)
        << t;
    EXPECT_NE(t.find("\nAPct  :    66.666"), std::string::npos) << t;
    EXPECT_NE(t.find("    93.3333"), std::string::npos) << t;
    EXPECT_NE(t.find("\nVector:\nch   1:"), std::string::npos) << t;
    EXPECT_NE(t.find("\nch   4:"), std::string::npos) << t;
    EXPECT_EQ(t.substr(t.size() - 2), "\n\n");
}
