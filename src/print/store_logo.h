// The store's logo file, shown by the main window: in the skin folder of a
// build, in the user's data folder for an installed agent.
// Thread-safe.
#pragma once

#include <functional>
#include <string>

namespace tillcast {

// The logo file (StoreLogoFilePath) and the placeholder
// <executable folder>/skin/avatar_default.png.
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
