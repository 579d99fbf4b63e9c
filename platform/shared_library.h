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

// A library's table of functions as loaded once for the process, or why it could not be.
template <typename Api>
struct LoadedLibrary {
  Api api{};
  std::string error;  // empty when loaded
};

// Opens `file` for the rest of the process and has `find(handle, loaded)` fill the
// table (with find_function, which stops at the first name missing).
template <typename Api, typename Find>
LoadedLibrary<Api> load_library(const char* file, Find find) {
  LoadedLibrary<Api> loaded;
  void* library = dlopen(file, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (!library) {
    loaded.error = loader_error();
    return loaded;
  }
  find(library, loaded);
  return loaded;
}

// The table, or null with the reason in *error (when given).
template <typename Api>
const Api* usable_api(const LoadedLibrary<Api>& loaded, std::string* error) {
  if (!loaded.error.empty()) {
    if (error) *error = loaded.error;
    return nullptr;
  }
  return &loaded.api;
}

}  // namespace platform
