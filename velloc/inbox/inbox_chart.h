// The inbox's chart: submissions and spam per day as an inline SVG of bars with
// text labels, no script. Pure: days in, markup out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "velloc/archive/archive_store.h"

inline constexpr int kChartDays = 30;

// The SVG of the kChartDays days ending with `today` (days since the epoch);
// days missing from `days` count nothing.
std::string chart_svg(const std::vector<DayCount>& days, std::int64_t today);
