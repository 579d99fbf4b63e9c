// Looking up functions in a shared library that the program loads itself with dlopen,
// for the libraries a run loads only when it needs them.
#pragma once

#include <dlfcn.h>

#include <string>

namespace platform {

// The loader's text for the last failed dlopen or dlsym.
inline std::string loader_error() {
  const char* text = dlerror();
  return text ? text : "unknown error";
}

// Sets `function` to the library's `name`. Does nothing once `error` holds a text, and
// puts the loader's text there when the name is missing, so that a run of lookups
// stops at the first failure.
template <typename Function>
void find_function(void* library, const char* name, Function& function, std::string& error) {
  if (!error.empty()) return;
  dlerror();
  void* address = dlsym(library, name);
  if (!address) {
    error = loader_error();
    return;
  }
  function = reinterpret_cast<Function>(address);
}

}  // namespace platform
