// Metafile bytes -> text: must never read outside the input or hang.
#include <cstddef>
#include <cstdint>

#include "capture/emf_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tillcast::EMFParser parser("");
  parser.ParseBytes(data, size);
  return 0;
}
