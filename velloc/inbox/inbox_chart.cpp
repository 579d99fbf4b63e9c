#include "velloc/inbox/inbox_chart.h"

#include <algorithm>
#include <map>

#include "velloc/archive/archive_text.h"

namespace {

constexpr int kBarWidth = 20;
constexpr int kBarGap = 4;
constexpr int kPlotTop = 20;
constexpr int kPlotHeight = 120;
constexpr int kLabelSpace = 20;
constexpr int kWidth = kChartDays * kBarWidth;
constexpr int kHeight = kPlotTop + kPlotHeight + kLabelSpace;
constexpr std::int64_t kMsPerDay = 86400000;

// "MM-DD" of a day.
std::string short_day(std::int64_t day) { return iso_time(day * kMsPerDay).substr(5, 5); }

int bar_height(std::int64_t count, std::int64_t most) {
  if (count <= 0 || most <= 0) return 0;
  return std::max<int>(1, static_cast<int>(count * kPlotHeight / most));
}

std::string rect(const char* kind, int x, int height) {
  return "<rect class=\"" + std::string(kind) + "\" x=\"" + std::to_string(x) + "\" y=\"" +
         std::to_string(kPlotTop + kPlotHeight - height) + "\" width=\"" +
         std::to_string(kBarWidth - kBarGap) + "\" height=\"" + std::to_string(height) + "\"/>";
}

std::string text(int x, int y, const char* anchor, const std::string& label) {
  return "<text x=\"" + std::to_string(x) + "\" y=\"" + std::to_string(y) + "\" text-anchor=\"" +
         anchor + "\">" + label + "</text>";
}

}  // namespace

std::string chart_svg(const std::vector<DayCount>& days, std::int64_t today) {
  const std::int64_t first = today - kChartDays + 1;
  std::map<std::int64_t, DayCount> by_day;
  std::int64_t most = 0, total = 0, spam = 0;
  for (const DayCount& day : days) {
    if (day.day < first || day.day > today) continue;
    by_day[day.day] = day;
    most = std::max(most, day.submissions);
    total += day.submissions;
    spam += day.spam;
  }
  std::string svg = "<svg class=\"chart\" viewBox=\"0 0 " + std::to_string(kWidth) + " " +
                    std::to_string(kHeight) +
                    "\" role=\"img\" aria-label=\"Submissions and spam per day\">\n<title>" +
                    std::to_string(total) + " submissions, " + std::to_string(spam) +
                    " spam in the last " + std::to_string(kChartDays) + " days</title>\n";
  for (int i = 0; i < kChartDays; ++i) {
    std::int64_t day = first + i;
    auto found = by_day.find(day);
    if (found == by_day.end()) continue;
    const DayCount& count = found->second;
    int x = i * kBarWidth;
    svg += "<g><title>" + iso_time(day * kMsPerDay).substr(0, 10) + ": " +
           std::to_string(count.submissions) + " submissions, " + std::to_string(count.spam) +
           " spam</title>" + rect("all", x, bar_height(count.submissions, most)) +
           rect("spam", x, bar_height(count.spam, most)) +
           text(x + (kBarWidth - kBarGap) / 2,
                kPlotTop + kPlotHeight - bar_height(count.submissions, most) - 4, "middle",
                std::to_string(count.submissions)) +
           "</g>\n";
  }
  svg += text(0, kHeight - 4, "start", short_day(first)) + "\n" +
         text(kWidth, kHeight - 4, "end", short_day(today)) + "\n" +
         text(kWidth / 2, kHeight - 4, "middle", "submissions / spam") + "\n</svg>\n";
  return svg;
}
