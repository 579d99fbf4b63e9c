#include "velloc/mail/line_reader.h"

#include <istream>
#include <streambuf>

bool read_line_piece(std::istream& input, std::size_t max_chars, std::string& piece) {
  piece.clear();
  std::streambuf* buffer = input.rdbuf();
  if (!input.good() || buffer == nullptr) return false;
  while (piece.size() < max_chars) {
    int c = buffer->sbumpc();
    if (c == std::char_traits<char>::eof()) {
      input.setstate(std::ios::eofbit);
      break;
    }
    piece.push_back(static_cast<char>(c));
    if (c == '\n') break;
  }
  return !piece.empty();
}
