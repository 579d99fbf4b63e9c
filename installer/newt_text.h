// Text layout for the terminal dialogs: wrapping, button captions, paths shortened to fit a
// field, the fill of the progress bar and the frames of the progress animation. Pure
// functions over strings, so the layout is tested without a terminal.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "installer/installer_ui.h"

namespace installer {

// Splits `text` into lines of at most `width` characters (UTF-8 sequences count as one).
// "\r\n", "\r" and "\n" all end a line; empty lines are kept, except trailing ones. Lines
// are broken at spaces where possible; a word longer than `width` is cut.
std::vector<std::string> wrap_lines(std::string_view text, std::size_t width);

// The lines joined with "\n", as a newt text box takes them.
std::string join_lines(const std::vector<std::string>& lines);

// Number of characters of a UTF-8 text.
std::size_t display_width(std::string_view text);

// A caption with its shortcut marker removed: "&Yes" -> "Yes", "&&" -> "&".
std::string button_caption(std::string_view text);

// The letter a caption marks as its shortcut, lower case; 0 when none is marked.
char button_shortcut(std::string_view text);

// The cells a compact button takes for `text`: " <Yes>" for "&Yes".
int button_width(std::string_view text);

// The cells a row of buttons with `texts` takes, two cells apart.
int button_row_width(const std::vector<std::string>& texts);

// Left edges of buttons with the texts `texts` in a row centred in `width` cells, two cells
// apart.
std::vector<int> centred_button_columns(const std::vector<std::string>& texts, int width);

// The buttons of a message box, first one the default, each with its shortcut marker.
std::vector<std::string> message_button_texts(MessageButtons buttons);

// The word a message box shows for its icon; empty for none.
std::string icon_word(MessageIcon icon);

// `path` shortened to `width` characters by replacing its beginning with "...", so that the
// end of the path, the part that tells folders apart, stays visible.
std::string fit_path(std::string_view path, std::size_t width);

// `text` with spaces appended up to `width` characters, so that it covers a longer text
// shown before in the same place.
std::string pad_right(std::string text, std::size_t width);

// How much of a bar of `full` units is filled for `position` in 0 .. `range`: never below 0,
// a full bar for a position at or beyond the range (an empty range counts as reached).
long long bar_fill(long long position, long long range, long long full);

// Frame `frame` (counting without end) of the progress animation: a page travelling from a
// cabinet to a folder, every frame `kAnimationWidth` characters wide.
inline constexpr std::size_t kAnimationWidth = 34;
inline constexpr std::size_t kAnimationFrames = 26;
std::string animation_frame(std::size_t frame);

}  // namespace installer
