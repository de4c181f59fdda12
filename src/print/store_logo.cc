#include "print/store_logo.h"

#include <cerrno>

#include "base/install_layout.h"
#include "base/log.h"
#include "base/text_util.h"
#include "platform/paths.h"

namespace tillcast {

std::string StoreLogoPath() { return StoreLogoFilePath(); }

std::string DefaultAvatarPath() { return GetModuleFolder() + "/skin/avatar_default.png"; }

bool SaveStoreLogo(const std::string& bytes) {
  const std::string path = StoreLogoPath();
  int err = 0;
  CreateDirectoryRecursive(path.substr(0, path.rfind('/')));
  // Written aside and renamed, so the window never shows half a picture.
  if (!platform::ReplaceFileAtomically(path, bytes, &err)) {
    Log(LOG_ERROR, "保存商户logo失败,GetLastError:%d\n", err);
    return false;
  }
  Log(LOG_INFO, "保存商户logo完成\n");
  return true;
}

std::string EnsureStoreLogo(const LogoDownload& download) {
  const std::string path = StoreLogoPath();
  if (!platform::PathExists(path) && download) download();
  return platform::PathExists(path) ? path : DefaultAvatarPath();
}

}  // namespace tillcast
