// tillcast-spool2text FILE (or --help): prints, in UTF-8, the text the agent extracts
// from a spool file or a metafile. Exit 0 with text, 1 when the file holds
// no text, 2 when it is neither a spool file nor a metafile.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "capture/emf_parser.h"
#include "capture/spool_converter.h"
#include "platform/codepage.h"

namespace {

constexpr char kUsage[] =
    "usage: tillcast-spool2text FILE\n"
    "  prints, in UTF-8, the text the agent takes from FILE: an EMF spool file or a\n"
    "  metafile as the print spooler keeps it. Exit status: 0 with text, 1 when the\n"
    "  file holds no text, 2 when it is neither (or cannot be read).\n"
    "  A file named like an option is given as ./-NAME.\n";

}  // namespace

int main(int argc, char** argv) {
  using namespace tillcast;
  const std::string first = argc > 1 ? argv[1] : "";
  if (argc == 2 && (first == "--help" || first == "-h")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc != 2 || (first.size() > 1 && first[0] == '-')) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "%s: cannot read %s\n", argv[0], argv[1]);
    return 2;
  }
  const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
  std::string metafiles;
  uint32_t stated = 0;
  if (IsMetafileHeader(bytes, data.size(), &stated)) {
    metafiles = data;
  } else {
    std::vector<SpoolPage> pages;
    if (!FindSpoolPages(bytes, data.size(), &pages)) {
      std::fprintf(stderr, "%s: %s is neither an EMF spool file nor a metafile\n", argv[0], argv[1]);
      return 2;
    }
    for (const SpoolPage& p : pages) metafiles.append(data, p.offset, p.size);
  }
  EMFParser parser(argv[1]);
  const std::wstring text = parser.ParseBytes(reinterpret_cast<const uint8_t*>(metafiles.data()), metafiles.size());
  std::string utf8;
  int err = 0;
  if (!platform::WideToNarrow("UTF-8", text, &utf8, &err)) return 1;
  if (!utf8.empty()) std::printf("%s\n", utf8.c_str());
  return utf8.empty() ? 1 : 0;
}
