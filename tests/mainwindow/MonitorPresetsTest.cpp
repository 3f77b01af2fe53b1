// The presets the monitors get from the automation with a preset of its own on each.
#include "mainwindow/MonitorPresets.h"

#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <set>

TEST(MonitorPresets, KthNextInOrderAndDistinctAtRandom) {
    struct Case {
        const char* what;
        int count, last, monitors;
        bool random;
        std::deque<int> draws; // what the random source returns, in turn
        std::vector<int> want;
    };
    const Case cases[] = {
        {"one monitor: the next preset", 5, 1, 1, false, {}, {2}},
        {"in order, going round the list", 4, 2, 3, false, {}, {3, 0, 1}},
        {"an index out of range starts from the first", 3, 7, 2, false, {}, {0, 1}},
        {"fewer presets than monitors repeat them", 2, 0, 3, false, {}, {1, 0, 1}},
        {"random: the first as a single change, redrawn while it is the last",
         4,
         2,
         1,
         true,
         {2, 2, 3},
         {3}},
        // After 1, the unused are {0, 2, 3}: draw 2 takes 3, then of {0, 2} draw 0 takes 0.
        {"random: the others from the presets no monitor has", 4, 0, 3, true, {1, 2, 0}, {1, 3, 0}},
        {"random: any once every preset is in use", 2, 0, 3, true, {1, 0, 1}, {1, 0, 1}},
    };
    for (const Case& c : cases) {
        std::deque<int> draws = c.draws;
        const auto random = [&draws](int n) {
            EXPECT_FALSE(draws.empty());
            const int value = draws.empty() ? 0 : draws.front();
            if (!draws.empty())
                draws.pop_front();
            EXPECT_LT(value, n);
            return value;
        };
        EXPECT_EQ(ChooseMonitorPresets(c.count, c.last, c.monitors, c.random, random), c.want)
            << c.what;
        EXPECT_TRUE(draws.empty()) << c.what << ": draws left over";
    }

    // With a real source, as many distinct presets as there are.
    std::mt19937 engine(7);
    for (int round = 0; round < 50; ++round) {
        const std::vector<int> chosen =
            ChooseMonitorPresets(6, round % 6, 4, true, [&engine](int n) {
                return std::uniform_int_distribution<int>(0, n - 1)(engine);
            });
        EXPECT_EQ(std::set<int>(chosen.begin(), chosen.end()).size(), 4u);
    }
}
