// The licence agreement shown on the licence page. The shipped text has CR LF line ends and
// one placeholder line "%s" that names the product; preparing the text fills it in.
#pragma once

#include <string>
#include <string_view>

namespace installer {

inline constexpr std::string_view kLicenceCaption = "Velloc Pro DB License Agreement";

// The agreement as shipped: maker, "%s", "SOFTWARE LICENSE AGREEMENT", then the terms.
std::string_view licence_template();

// `licence` with its first "%s" replaced by `product_title`; the text has no other
// placeholder, and a text without one is returned unchanged.
std::string prepare_licence_text(std::string_view licence, std::string_view product_title);

// The shipped agreement prepared for the product title.
std::string prepared_licence_text();

}  // namespace installer
