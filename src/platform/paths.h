// Folders of the running program.
#pragma once

#include <string>

namespace tillcast::platform {

// Full path of the running executable (from /proc/self/exe); "" on failure.
std::string ExecutablePath();

// True when `path` names an existing file or folder.
bool PathExists(const std::string& path);

// True when `path` names an existing folder.
bool IsDirectory(const std::string& path);

// Creates one folder (mode 0755, parents must exist). False on failure,
// with errno kept.
bool MakeDirectory(const std::string& path);

// Creates `path` and every missing parent (mode 0755). True when the folder
// exists afterwards (or a file of that name does); false with errno kept.
bool MakeDirectories(const std::string& path);

// Replaces the contents of `path` with `data` without ever leaving a
// truncated file: writes a temporary file of its own in the same folder
// (mode 0600), flushes it to disk, renames it over `path` and flushes the
// folder. False (and `path` untouched) on any failure; `*err` gets the
// errno.
bool ReplaceFileAtomically(const std::string& path, const std::string& data, int* err);

// Makes `path` the current folder. False when it cannot.
bool SetCurrentFolder(const std::string& path);

// Reads the whole file into `out`. False when it cannot be opened or read.
bool ReadWholeFile(const std::string& path, std::string* out, int* err);

}  // namespace tillcast::platform
