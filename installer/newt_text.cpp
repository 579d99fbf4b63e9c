#include "installer/newt_text.h"

#include <algorithm>

namespace installer {

namespace {

bool is_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// Byte offset just past the first `chars` characters of `text`.
std::size_t prefix_bytes(std::string_view text, std::size_t chars) {
  std::size_t i = 0;
  for (std::size_t n = 0; i < text.size() && n < chars; ++n) {
    ++i;
    while (i < text.size() && is_continuation(text[i])) ++i;
  }
  return i;
}

// Breaks one line without line ends into pieces of at most `width` characters.
void wrap_one(std::string_view line, std::size_t width, std::vector<std::string>& out) {
  while (display_width(line) > width) {
    std::size_t limit = prefix_bytes(line, width);
    std::size_t space = line.substr(0, limit + 1).rfind(' ');
    std::size_t cut = (space == std::string_view::npos || space == 0) ? limit : space;
    out.emplace_back(line.substr(0, cut));
    line.remove_prefix(cut);
    if (cut == space) line.remove_prefix(1);
  }
  out.emplace_back(line);
}

}  // namespace

std::size_t display_width(std::string_view text) {
  return static_cast<std::size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return !is_continuation(c); }));
}

std::vector<std::string> wrap_lines(std::string_view text, std::size_t width) {
  std::vector<std::string> lines;
  width = std::max<std::size_t>(width, 1);
  while (!text.empty()) {
    std::size_t end = text.find_first_of("\r\n");
    wrap_one(text.substr(0, end), width, lines);
    if (end == std::string_view::npos) break;
    std::size_t skip = (text.compare(end, 2, "\r\n") == 0) ? 2 : 1;
    text.remove_prefix(end + skip);
  }
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  return lines;
}

std::string join_lines(const std::vector<std::string>& lines) {
  std::string joined;
  for (const std::string& line : lines) {
    if (&line != &lines.front()) joined += '\n';
    joined += line;
  }
  return joined;
}

std::string button_caption(std::string_view text) {
  std::string caption;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '&' && i + 1 < text.size()) ++i;
    caption += text[i];
  }
  return caption;
}

char button_shortcut(std::string_view text) {
  for (std::size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] != '&') continue;
    if (text[i + 1] != '&') {
      char c = text[i + 1];
      return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    ++i;
  }
  return 0;
}

int button_width(std::string_view text) {
  return static_cast<int>(display_width(button_caption(text))) + 3;
}

constexpr int kButtonGap = 2;

int button_row_width(const std::vector<std::string>& texts) {
  int total = -kButtonGap;
  for (const std::string& text : texts) total += button_width(text) + kButtonGap;
  return std::max(total, 0);
}

std::vector<int> centred_button_columns(const std::vector<std::string>& texts, int width) {
  const int gap = kButtonGap;
  std::vector<int> columns;
  int left = std::max(0, (width - button_row_width(texts)) / 2);
  for (const std::string& text : texts) {
    columns.push_back(left);
    left += button_width(text) + gap;
  }
  return columns;
}

std::vector<std::string> message_button_texts(MessageButtons buttons) {
  if (buttons == MessageButtons::yes_no) return {"&Yes", "&No"};
  return {"OK"};
}

std::string icon_word(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::question:
      return "(?)";
    case MessageIcon::exclamation:
      return "(!)";
    case MessageIcon::stop:
      return "(X)";
    case MessageIcon::information:
      return "(i)";
    case MessageIcon::none:
      break;
  }
  return "";
}

std::string fit_path(std::string_view path, std::size_t width) {
  std::size_t chars = display_width(path);
  if (chars <= width) return std::string(path);
  const std::string_view ellipsis = "...";
  if (width <= ellipsis.size()) return std::string(ellipsis.substr(0, width));
  std::size_t keep = width - ellipsis.size();
  return std::string(ellipsis) + std::string(path.substr(prefix_bytes(path, chars - keep)));
}

std::string pad_right(std::string text, std::size_t width) {
  std::size_t shown = display_width(text);
  if (shown < width) text.append(width - shown, ' ');
  return text;
}

long long bar_fill(long long position, long long range, long long full) {
  if (position <= 0) return 0;
  if (range <= 0 || position >= range) return full;
  return position * full / range;
}

std::string animation_frame(std::size_t frame) {
  const std::string cabinet = "[CAB] ";
  const std::string folder = " [DIR]";
  const std::size_t track = kAnimationWidth - cabinet.size() - folder.size();
  std::string path(track, '.');
  std::size_t step = frame % kAnimationFrames;
  if (step < track) path[step] = '#';
  return cabinet + path + folder;
}

}  // namespace installer
