// Files that hold the store's data (captures, uploads waiting for the
// cloud): private to the user (mode 0600), created without following links
// and never over an existing name, and written so that a crash leaves a
// file whole or absent, never torn.
//
// All functions are thread-safe (they share nothing); errors come back as
// false with the errno in `*err` (which may be null).
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

#include "platform/scoped_fd.h"

namespace tillcast::platform {

// Creates `path` for appending: a new file (O_EXCL, so neither an existing
// file nor a planted link is ever written through), mode 0600.
bool CreateNewFile(const std::string& path, ScopedFd* out, int* err);

// Writes all `size` bytes (retrying short writes and EINTR).
bool WriteAll(int fd, const void* data, size_t size, int* err);

// Flushes `fd`'s data to the disk.
bool SyncFile(int fd, int* err);

// Flushes a folder's entries (names created, renamed or removed in it).
bool SyncFolder(const std::string& folder, int* err);

// Writes `data` to a fresh temporary file beside `path`, flushes it, then
// gives it the name `path` (replacing an existing file when `replace`,
// else failing with EEXIST) and flushes the folder. The file is 0600.
bool WriteFileDurably(const std::string& path, const std::string& data, bool replace, int* err);

// Removes `path` and flushes its folder, so the removal survives a crash.
bool RemoveDurably(const std::string& path, int* err);

// Creates one folder private to the user (mode 0700; its parent must
// exist). True when it exists afterwards.
bool MakePrivateFolder(const std::string& path, int* err);

// Creates `path` and every missing parent, each new one with mode 0700
// (folders that exist are left as they are). True when `path` is a folder
// afterwards.
bool MakePrivateFolders(const std::string& path, int* err);

// Takes group and other access away from a folder of this user (one that
// an earlier version created open). False when it is not ours or cannot be
// changed.
bool RestrictFolderToOwner(const std::string& path, int* err);

// True when `path` itself (links are not followed) is a folder owned by
// this user with mode 0700; otherwise false with `*why` saying what it is.
bool IsPrivateFolder(const std::string& path, std::string* why);

// Opens `path` for writing as a stdio stream, appending or replacing its
// contents: created with mode 0600 when absent, never through a link. Null
// (errno kept) on failure.
FILE* OpenPrivateFile(const std::string& path, bool append);

// The folder part of `path` ("." when it has none).
std::string FolderOf(const std::string& path);

}  // namespace tillcast::platform
