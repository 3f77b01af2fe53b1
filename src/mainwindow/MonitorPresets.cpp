#include "mainwindow/MonitorPresets.h"

#include <algorithm>

std::vector<int> ChooseMonitorPresets(int count, int last, int monitors, bool random,
                                      const std::function<int(int)>& randomIndex) {
    int first;
    if (random) {
        first = randomIndex(count);
        for (int draws = 1; draws < 10 && first == last; ++draws)
            first = randomIndex(count);
    } else {
        first = last + 1;
        if (first < 0 || first >= count)
            first = 0;
    }
    std::vector<int> chosen{first};
    std::vector<int> unused;
    for (int i = 0; i < count; ++i)
        if (i != first)
            unused.push_back(i);
    for (int k = 1; k < monitors; ++k) {
        if (!random) {
            chosen.push_back((first + k) % count);
        } else if (!unused.empty()) {
            const int pick = randomIndex(int(unused.size()));
            chosen.push_back(unused[size_t(pick)]);
            unused.erase(unused.begin() + pick);
        } else {
            chosen.push_back(randomIndex(count));
        }
    }
    return chosen;
}
