// Spool image -> pages -> text: must never read outside the input.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "capture/emf_parser.h"
#include "capture/spool_converter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<tillcast::SpoolPage> pages;
  if (!tillcast::FindSpoolPages(data, size, &pages)) return 0;
  std::string metafiles;
  for (const tillcast::SpoolPage& p : pages) {
    if (p.offset > size || p.size > size - p.offset) __builtin_trap();
    metafiles.append(reinterpret_cast<const char*>(data) + p.offset, p.size);
  }
  tillcast::EMFParser parser("");
  parser.ParseBytes(reinterpret_cast<const uint8_t*>(metafiles.data()), metafiles.size());
  return 0;
}
