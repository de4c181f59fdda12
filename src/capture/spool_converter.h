// Pulling the page metafiles out of a spool file of the print spooler.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tillcast {

struct SpoolPage {
  size_t offset;  // of the metafile within the spool image
  size_t size;
};

// Finds the page metafiles (records of type 12) of a spool image, in page
// order. The header record's size counts its 8-byte prefix; the spooler
// writes every later record's size without it, and a size that counts the
// prefix is taken only where the page's own metafile header confirms it.
// False for anything that is not an EMF spool image (an XPS package, say),
// for a truncated page, and when no page is found.
bool FindSpoolPages(const uint8_t* data, size_t size, std::vector<SpoolPage>* pages);

class SpoolFileConverter {
 public:
  SpoolFileConverter(std::string spool_path, std::string emf_path);
  // Writes every page's metafile, back to back in page order, to the emf
  // path. False (and the emf path untouched) when the spool file cannot be
  // read or holds no whole page; false too when the emf file cannot be
  // written.
  bool Convert();

  static constexpr size_t kMaxFileSize = size_t{1} << 30;

 private:
  std::string spool_path_;
  std::string emf_path_;
};

}  // namespace tillcast
