// Fuzz target for the template language: the first byte chooses between a whole
// template expansion and one condition; the rest is the input. Includes are
// only attempted relative to a scratch directory that holds nothing.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "velloc/templates/template_engine.h"

namespace {

void enter_empty_directory() {
  static bool entered = false;
  if (entered) return;
  char pattern[] = "/tmp/velloc-template-fuzz-XXXXXX";
  if (mkdtemp(pattern) != nullptr && chdir(pattern) == 0) entered = true;
}

CgiRequest sample_request() {
  CgiRequest request;
  request.set_field("NAME", "Ann");
  request.set_field("QTY", "3");
  request.set_field("PRICE", "2.50");
  request.set_field("EMPTY", "");
  request.environment.set("REMOTE_ADDR", "127.0.0.1");
  return request;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  enter_empty_directory();
  if (size == 0) return 0;
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  CgiRequest request = sample_request();
  if (data[0] & 1) {
    evaluate_condition(text, request);
    return 0;
  }
  std::istringstream input(text);
  std::ostringstream output;
  TemplateState state;
  expand_template(input, output, request, state);
  if (state.include_depth != 0) abort();
  return 0;
}
