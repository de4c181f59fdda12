// Libraries loaded at run time (the printer library, as the home platform
// loads its DLL).
#pragma once

#include <string>

namespace tillcast::platform {

// Loads `path` (a file path, or a bare name searched the system's way).
// Returns an opaque handle, or null with `*error` set. Libraries are never
// unloaded: function pointers taken from them stay valid for the process.
void* LoadSharedLibrary(const std::string& path, std::string* error);

// The address of `name` in a loaded library, or null.
void* FindLibrarySymbol(void* library, const char* name);

}  // namespace tillcast::platform
