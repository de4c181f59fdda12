#include <dlfcn.h>

#include "platform/shared_library.h"

namespace tillcast::platform {

void* LoadSharedLibrary(const std::string& path, std::string* error) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr && error != nullptr) {
    const char* why = dlerror();
    *error = why != nullptr ? why : "";
  }
  return handle;
}

void* FindLibrarySymbol(void* library, const char* name) { return library ? dlsym(library, name) : nullptr; }

}  // namespace tillcast::platform
