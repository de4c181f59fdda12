#include "output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>

namespace vprinter {
namespace {

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};

}  // namespace

Margins PaperMargins(const Paper& paper) {
  Margins m;
  m.left = (paper.paper - paper.printable) / 2;
  m.right = paper.paper - paper.printable - m.left;
  m.top = 16;
  m.bottom = 16;
  return m;
}

bool WriteFileAtomic(const std::string& path, const std::string& data, std::string* error) {
  const std::string tmp = path + ".tmp";
  {
    std::unique_ptr<FILE, FileCloser> f(std::fopen(tmp.c_str(), "wb"));
    if (!f || (!data.empty() && std::fwrite(data.data(), 1, data.size(), f.get()) != data.size()) ||
        std::fflush(f.get()) != 0) {
      *error = tmp + ": " + std::strerror(errno);
      std::remove(tmp.c_str());
      return false;
    }
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    *error = path + ": " + std::strerror(errno);
    std::remove(tmp.c_str());
    return false;
  }
  return true;
}

bool WritePngAtomic(const std::string& path, const Canvas& canvas, const Margins& margins, std::string* error) {
  const std::string tmp = path + ".tmp";
  if (!WritePng(tmp, canvas, margins, error)) {
    std::remove(tmp.c_str());
    return false;
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    *error = path + ": " + std::strerror(errno);
    std::remove(tmp.c_str());
    return false;
  }
  return true;
}

bool OutputFolder::Open(const std::string& dir, const Paper& paper, std::string* error) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (!std::filesystem::is_directory(dir, ec)) {
    *error = dir + ": not a folder we can create";
    return false;
  }
  dir_ = dir;
  paper_ = paper;
  sequence_ = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    const std::string name = entry.path().filename().string();
    int n = 0;
    size_t i = 0;
    while (i < name.size() && i < 9 && name[i] >= '0' && name[i] <= '9') n = n * 10 + (name[i++] - '0');
    if (i > 0 && i < name.size() && name[i] == '-') sequence_ = std::max(sequence_, n);
  }
  if (ec) {
    *error = dir + ": " + ec.message();
    return false;
  }
  return true;
}

bool OutputFolder::Write(const Document& doc, std::string* base, std::string* error) {
  const int seq = sequence_ + 1;
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char name[64];
  std::snprintf(name, sizeof(name), "%04d-%04d%02d%02d-%02d%02d%02d", seq, local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  *base = dir_ + "/" + name;
  sequence_ = seq;
  return WriteFileAtomic(*base + ".bin", doc.raw, error) &&
         WriteFileAtomic(*base + ".txt", doc.printout.transcript, error) &&
         WritePngAtomic(*base + ".png", doc.printout.picture, PaperMargins(paper_), error);
}

}  // namespace vprinter
