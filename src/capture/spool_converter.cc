#include "capture/spool_converter.h"

#include <cstring>
#include <fstream>

#include "capture/emf_parser.h"

namespace tillcast {
namespace {

constexpr uint32_t kPageRecord = 12;

uint32_t U32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

// The byte count a metafile at `p` states, 0 when it is no metafile.
uint32_t MetafileBytes(const uint8_t* p, size_t avail) {
  uint32_t bytes = 0;
  return IsMetafileHeader(p, avail, &bytes) ? bytes : 0;
}

// A record header could start at `off`: the end of the image, or a small
// record type with room for the header.
bool PlausibleRecord(const uint8_t* data, size_t size, uint64_t off) {
  if (off == size) return true;
  if (off > size || size - off < 8) return false;
  const uint32_t type = U32(data + off);
  return type >= 1 && type <= 0x7F;
}

}  // namespace

bool FindSpoolPages(const uint8_t* data, size_t size, std::vector<SpoolPage>* pages) {
  pages->clear();
  if (size < 8) return false;
  if (std::memcmp(data, "PK\x03\x04", 4) == 0) return false;  // an XPS package
  const uint32_t header_size = U32(data + 4);
  if (header_size < 8 || header_size > size) return false;
  enum class Layout { kUnknown, kSpooler, kCounted } layout = Layout::kUnknown;
  size_t off = header_size;
  while (size - off >= 8) {
    const uint32_t type = U32(data + off);
    const uint32_t rec_size = U32(data + off + 4);
    const size_t avail = size - off - 8;
    const uint8_t* body = data + off + 8;
    if (type == kPageRecord) {
      if (layout == Layout::kUnknown) {
        const bool spooler = rec_size <= avail && MetafileBytes(body, rec_size) == rec_size;
        const bool counted =
            rec_size >= 8 && rec_size - 8 <= avail && MetafileBytes(body, rec_size - 8) == rec_size - 8;
        layout = spooler || !counted ? Layout::kSpooler : Layout::kCounted;
      }
      if (layout == Layout::kCounted && rec_size < 8) return false;
      const size_t payload = layout == Layout::kSpooler ? rec_size : rec_size - 8;
      if (payload > avail) return false;  // truncated page
      pages->push_back({off + 8, payload});
      off += 8 + payload;
      continue;
    }
    uint64_t skip = rec_size;
    if (layout == Layout::kCounted) {
      skip = rec_size > 8 ? rec_size - 8 : 0;
    } else if (layout == Layout::kUnknown && !PlausibleRecord(data, size, off + 8 + uint64_t{rec_size}) &&
               rec_size >= 8 && PlausibleRecord(data, size, off + uint64_t{rec_size})) {
      skip = rec_size - 8;
    }
    if (skip > avail) break;  // a cut-off trailing record holds no page
    off += 8 + static_cast<size_t>(skip);
  }
  return !pages->empty();
}

SpoolFileConverter::SpoolFileConverter(std::string spool_path, std::string emf_path)
    : spool_path_(std::move(spool_path)), emf_path_(std::move(emf_path)) {}

bool SpoolFileConverter::Convert() {
  std::ifstream in(spool_path_, std::ios::binary);
  if (!in) return false;
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  if (size <= 0 || static_cast<uint64_t>(size) > kMaxFileSize) return false;
  in.seekg(0);
  std::string data(static_cast<size_t>(size), '\0');
  if (!in.read(data.data(), size)) return false;
  std::vector<SpoolPage> pages;
  if (!FindSpoolPages(reinterpret_cast<const uint8_t*>(data.data()), data.size(), &pages)) return false;
  std::ofstream out(emf_path_, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  for (const SpoolPage& p : pages) out.write(data.data() + p.offset, static_cast<std::streamsize>(p.size));
  out.close();
  return static_cast<bool>(out);
}

}  // namespace tillcast
