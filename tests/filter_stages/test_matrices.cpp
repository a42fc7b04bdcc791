// The threshold matrices themselves: even use of the gray levels, the fixed
// row-0 cells, clustered dots of the named ruling that tile seamlessly, and a
// dispersed matrix without low-frequency texture.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <vector>

#include "halftone_matrices.h"
#include "stage_fixtures.h"

namespace {

struct Named {
    const char *name;
    const BYTE *cells;
    int size;
};

const Named kAll[] = {
    {"FINE_TAry_128", FINE_TAry_128, 128},       {"LSU_106_Q38", LSU_106_Q38, 64},
    {"Tiboro2_212", Tiboro2_212, 64},            {"Tovin_212", Tovin_212, 64},
    {"Tovin_106", Tovin_106, 64},                {"Tovin_1200_160", Tovin_1200_160, 64},
    {"ZR4_A4_1200_106LPI", ZR4_A4_1200_106LPI, 64}, {"A4_LSU_600_212LPI", A4_LSU_600_212LPI, 64},
};

// Black cells (value below `level`) counted as 4-connected groups on the torus,
// so a dot cut by the tile edge counts once only if the tile joins seamlessly.
int TorusComponents(const BYTE *cells, int size, int level)
{
    std::vector<int> label(size * size, -1);
    int groups = 0;
    std::vector<int> stack;
    for (int start = 0; start < size * size; ++start) {
        if (cells[start] >= level || label[start] >= 0)
            continue;
        ++groups;
        stack.assign(1, start);
        label[start] = groups;
        while (!stack.empty()) {
            int i = stack.back();
            stack.pop_back();
            int x = i % size, y = i / size;
            const int nb[4] = {y * size + (x + 1) % size, y * size + (x + size - 1) % size,
                               ((y + 1) % size) * size + x, ((y + size - 1) % size) * size + x};
            for (int j : nb)
                if (cells[j] < level && label[j] < 0) {
                    label[j] = groups;
                    stack.push_back(j);
                }
        }
    }
    return groups;
}

// Power of the (mean-free) matrix at frequency (u, v) cycles per tile.
double Power(const std::vector<double> &img, int size, int u, int v)
{
    std::complex<double> sum = 0;
    const double k = 2 * M_PI / size;
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x)
            sum += img[y * size + x] * std::polar(1.0, -k * (u * x + v * y));
    return std::norm(sum);
}

std::vector<double> MeanFree(const BYTE *cells, int size, int level = -1)
{
    std::vector<double> img(size * size);
    double mean = 0;
    for (int i = 0; i < size * size; ++i)
        mean += img[i] = level < 0 ? cells[i] : (cells[i] < level ? 1.0 : 0.0);
    mean /= size * size;
    for (double &v : img)
        v -= mean;
    return img;
}

} // namespace

TEST(Matrices, EveryGrayLevelEquallyOften)
{
    for (const Named &m : kAll) {
        std::vector<int> count(256, 0);
        for (int i = 0; i < m.size * m.size; ++i)
            ++count[m.cells[i]];
        for (int l = 0; l < 256; ++l)
            ASSERT_EQ(count[l], m.size * m.size / 256) << m.name << " level " << l;
    }
}

TEST(Matrices, RowZeroStartsAsGiven)
{
    const std::vector<std::vector<int>> want = {
        {67, 51, 59, 114, 190, 206, 198, 143}, {1, 8, 90, 248, 253, 249, 199, 14},
        {7, 49, 254, 153, 13, 62, 245, 134},   {0, 52, 246, 201, 3, 75, 240, 186},
        {6, 22, 86, 224, 248, 232, 168, 29},   {1, 7, 54, 239, 255, 255, 255, 253},
        {1, 2, 20, 52, 100, 200, 232, 246},    {0, 58, 255, 231, 0, 95, 251, 221},
    };
    for (size_t i = 0; i < want.size(); ++i)
        EXPECT_EQ(std::vector<int>(kAll[i].cells, kAll[i].cells + 8), want[i]) << kAll[i].name;
}

TEST(Matrices, ClusteredScreensHaveTheirRulingAndWholeDots)
{
    struct Case {
        const BYTE *cells;
        const char *name;
        double dpi, lpi;
    } cases[] = {
        {LSU_106_Q38, "LSU_106_Q38", 600, 106},          {Tiboro2_212, "Tiboro2_212", 600, 212},
        {Tovin_212, "Tovin_212", 600, 212},              {Tovin_106, "Tovin_106", 600, 106},
        {Tovin_1200_160, "Tovin_1200_160", 1200, 160},   {ZR4_A4_1200_106LPI, "ZR4_A4_1200_106LPI", 1200, 106},
        {A4_LSU_600_212LPI, "A4_LSU_600_212LPI", 600, 212},
    };
    for (const Case &c : cases) {
        // The strongest frequency of the cell values is the screen's.
        std::vector<double> img = MeanFree(c.cells, 64);
        double best = 0;
        int bu = 0, bv = 0;
        for (int v = 0; v <= 24; ++v)
            for (int u = -24; u <= 24; ++u) {
                if (v == 0 && u <= 0)
                    continue;
                double p = Power(img, 64, u, v);
                if (p > best)
                    best = p, bu = u, bv = v;
            }
        double lpi = c.dpi * std::hypot(bu, bv) / 64;
        EXPECT_NEAR(lpi, c.lpi, c.lpi * 0.05) << c.name << " peak at (" << bu << "," << bv << ")";
        // At a light tone every dot is one group, also those cut by the tile edge.
        double dotsPerTile = std::pow(c.lpi * 64 / c.dpi, 2);
        int groups = TorusComponents(c.cells, 64, 40);
        EXPECT_NEAR(groups, dotsPerTile, dotsPerTile * 0.03) << c.name;
    }
}

TEST(Matrices, DispersedMatrixHasLittleLowFrequencyPower)
{
    // Blue noise: at light, middle and dark tones the binary pattern keeps its
    // power away from the low frequencies where the eye sees texture.
    const int size = 128, radius = 12;
    for (int level : {26, 128, 230}) {
        std::vector<double> img = MeanFree(FINE_TAry_128, size, level);
        double total = 0;
        for (double v : img)
            total += v * v;
        total *= size * size; // Parseval: sum of the power over all frequencies
        double low = 0;
        for (int v = -radius; v <= radius; ++v)
            for (int u = -radius; u <= radius; ++u)
                if ((u || v) && u * u + v * v <= radius * radius)
                    low += Power(img, size, u, v);
        double share = low / total;
        // White noise would put about pi r^2 / size^2 = 2.8 % there.
        EXPECT_LT(share, 0.005) << "level " << level;
    }
    EXPECT_GT(TorusComponents(FINE_TAry_128, 128, 64), 128 * 128 / 8) << "dispersed, not clustered";
}
