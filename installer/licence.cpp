#include "installer/licence.h"

#include "installer/messages.h"

namespace installer {

namespace {

constexpr std::string_view kLicence =
    "Brannic Software\r\n"
    "%s\r\n"
    "SOFTWARE LICENSE AGREEMENT\r\n"
    "\r\n"
    "Please read this agreement before you install the software. By installing or using "
    "the software you agree to be bound by it.\r\n"
    "\r\n"
    "1. LICENSE. You may install the software on the web servers of one organisation and "
    "run it there to process the forms of that organisation's web sites.\r\n"
    "\r\n"
    "2. COPIES. You may make copies of the software for backup and for installation under "
    "section 1. Every copy must keep this agreement and all notices of ownership.\r\n"
    "\r\n"
    "3. RESTRICTIONS. You may not rent, lease, sell or sublicense the software, and you may "
    "not pass it on to others except together with this agreement.\r\n"
    "\r\n"
    "4. OWNERSHIP. The software is licensed, not sold. Brannic Software keeps all rights "
    "that this agreement does not expressly grant.\r\n"
    "\r\n"
    "5. NO WARRANTY. The software is provided \"as is\", without warranty of any kind. You "
    "bear the whole risk of its use, including the content and delivery of the mail and "
    "data that it produces.\r\n"
    "\r\n"
    "6. LIMITATION OF LIABILITY. In no event shall Brannic Software be liable for any "
    "damages arising from the use of or the inability to use the software.\r\n"
    "\r\n"
    "7. TERMINATION. This agreement ends when you fail to comply with it. You must then "
    "remove all copies of the software.\r\n";

}  // namespace

std::string_view licence_template() { return kLicence; }

std::string prepare_licence_text(std::string_view licence, std::string_view product_title) {
  std::string text(licence);
  std::size_t placeholder = text.find("%s");
  if (placeholder != std::string::npos) text.replace(placeholder, 2, product_title);
  return text;
}

std::string prepared_licence_text() { return prepare_licence_text(kLicence, kProductTitle); }

}  // namespace installer
