// Which presets the monitors get when the automation or "Change background now" changes the
// wallpaper with a preset of its own on each monitor.
#pragma once

#include <functional>
#include <vector>

// The preset indices for `monitors` monitors (at least one) out of `count` presets (at least
// one), `last` being the index used last. Monitor 0 gets what a single change chooses: the next
// preset after `last` (the first after the end or for an index out of range), or with `random`
// a random one, drawn again up to nine times while it equals `last`. In order, monitor k gets
// the k-th preset after monitor 0's, going round the list. At random, every further monitor
// gets a preset no other monitor has while there are enough of them, then any. `randomIndex(n)`
// is a uniform value in [0, n).
std::vector<int> ChooseMonitorPresets(int count, int last, int monitors, bool random,
                                      const std::function<int(int)>& randomIndex);
