// The store's logo file in the skin folder, shown by the main window.
// Thread-safe.
#pragma once

#include <functional>
#include <string>

namespace tillcast {

// <executable folder>/skin/StoreLogo.png and the placeholder beside it.
std::string StoreLogoPath();
std::string DefaultAvatarPath();

// Writes the downloaded logo bytes, replacing the file, with its log line.
bool SaveStoreLogo(const std::string& bytes);

// Downloads LogoURL and hands a 200 reply's body to SaveStoreLogo (the
// cloud client's store-logo download); true when saved.
using LogoDownload = std::function<bool()>;

// The image the main window shows: the logo file, running `download` first
// when it does not exist yet (an existing file is never fetched again), or
// the placeholder when there is still none.
std::string EnsureStoreLogo(const LogoDownload& download);

}  // namespace tillcast
