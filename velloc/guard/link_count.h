// Counting the links in what a visitor typed, for MaxLinks: a submission with more
// links than the site allows is spam. Pure; the step lives in content_rules.h.
#pragma once

#include <cstddef>
#include <string_view>

// The links in `text`, case-blind: each "http://" and "https://", each "www." that
// starts a word and does not follow "//", and each "[url=" or "href=" whose value
// is not itself one of those (so that "<a href=\"http://x\">" counts once).
std::size_t count_links(std::string_view text);
