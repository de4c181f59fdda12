#include "emf_writer.h"

namespace tillcast::test {

void PutU32(std::string* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
void PutU16(std::string* out, uint16_t v) {
  out->push_back(static_cast<char>(v & 0xFF));
  out->push_back(static_cast<char>(v >> 8));
}

namespace {

void Pad4(std::string* s) {
  while (s->size() % 4) s->push_back('\0');
}

}  // namespace

EmfWriter::EmfWriter() = default;

EmfWriter& EmfWriter::Raw(uint32_t type, const std::string& body) {
  std::string rec;
  PutU32(&rec, type);
  PutU32(&rec, static_cast<uint32_t>(8 + body.size()));
  rec += body;
  records_ += rec;
  ++count_;
  return *this;
}

EmfWriter& EmfWriter::CreateFont(uint32_t index, int32_t height, const std::u16string& face, int32_t weight) {
  std::string b;
  PutU32(&b, index);
  PutU32(&b, static_cast<uint32_t>(height));
  PutU32(&b, 0);  // width
  PutU32(&b, 0);  // escapement
  PutU32(&b, 0);  // orientation
  PutU32(&b, static_cast<uint32_t>(weight));
  b += std::string("\0\0\0\x01\0\0\0\0", 8);  // italic .. pitch and family
  for (size_t i = 0; i < 32; ++i) PutU16(&b, i < face.size() ? static_cast<uint16_t>(face[i]) : 0);
  return Raw(82, b);
}

EmfWriter& EmfWriter::Select(uint32_t index) {
  std::string b;
  PutU32(&b, index);
  return Raw(37, b);
}

EmfWriter& EmfWriter::SaveDc() { return Raw(33, ""); }

EmfWriter& EmfWriter::RestoreDc(int32_t relative) {
  std::string b;
  PutU32(&b, static_cast<uint32_t>(relative));
  return Raw(34, b);
}

EmfWriter& EmfWriter::TextW(int32_t x, int32_t y, const std::u16string& text, const std::vector<int32_t>& dx,
                            uint32_t options) {
  std::string b(28, '\0');  // bounds, graphics mode, scales
  PutU32(&b, static_cast<uint32_t>(x));
  PutU32(&b, static_cast<uint32_t>(y));
  PutU32(&b, static_cast<uint32_t>(text.size()));
  const uint32_t off_string = 76;
  PutU32(&b, off_string);
  PutU32(&b, options);
  b += std::string(16, '\0');  // rectangle
  const uint32_t text_bytes = static_cast<uint32_t>((text.size() * 2 + 3) / 4 * 4);
  PutU32(&b, dx.empty() ? 0 : off_string + text_bytes);
  for (char16_t c : text) PutU16(&b, static_cast<uint16_t>(c));
  Pad4(&b);
  for (int32_t d : dx) PutU32(&b, static_cast<uint32_t>(d));
  return Raw(84, b);
}

EmfWriter& EmfWriter::GlyphsW(int32_t x, int32_t y, const std::vector<uint16_t>& glyphs,
                              const std::vector<int32_t>& dx) {
  return TextW(x, y, std::u16string(glyphs.begin(), glyphs.end()), dx, 0x10);
}

EmfWriter& EmfWriter::SmallText(int32_t x, int32_t y, const std::string& bytes, uint32_t options) {
  std::string b;
  PutU32(&b, static_cast<uint32_t>(x));
  PutU32(&b, static_cast<uint32_t>(y));
  PutU32(&b, static_cast<uint32_t>(bytes.size()));
  PutU32(&b, options);
  b += std::string(12, '\0');  // graphics mode, scales
  if (!(options & 0x100)) b += std::string(16, '\0');
  b += bytes;
  Pad4(&b);
  return Raw(108, b);
}

EmfWriter& EmfWriter::SmallTextW(int32_t x, int32_t y, const std::u16string& text, uint32_t options) {
  std::string b;
  PutU32(&b, static_cast<uint32_t>(x));
  PutU32(&b, static_cast<uint32_t>(y));
  PutU32(&b, static_cast<uint32_t>(text.size()));
  PutU32(&b, options);
  b += std::string(12, '\0');
  if (!(options & 0x100)) b += std::string(16, '\0');
  for (char16_t c : text) PutU16(&b, static_cast<uint16_t>(c));
  Pad4(&b);
  return Raw(108, b);
}

std::string EmfWriter::Finish() {
  std::string eof;
  PutU32(&eof, 14);
  PutU32(&eof, 20);
  PutU32(&eof, 0);
  PutU32(&eof, 16);
  PutU32(&eof, 20);
  std::string header;
  PutU32(&header, 1);
  PutU32(&header, 88);
  header += std::string(32, '\0');  // bounds, frame
  PutU32(&header, 0x464D4520);      // " EMF"
  PutU32(&header, 0x10000);         // version
  const uint32_t total = static_cast<uint32_t>(88 + records_.size() + eof.size());
  PutU32(&header, total);
  PutU32(&header, count_ + 1);
  PutU16(&header, 16);  // handles
  PutU16(&header, 0);
  header += std::string(88 - header.size(), '\0');
  return header + records_ + eof;
}

std::string MakeSpool(const std::vector<std::string>& pages, bool counted) {
  std::string out;
  PutU32(&out, 0x10000);
  PutU32(&out, 24);
  PutU32(&out, 16);
  PutU32(&out, 0);
  PutU32(&out, 0);
  PutU32(&out, 0);
  const uint32_t extra = counted ? 8 : 0;
  for (const std::string& page : pages) {
    PutU32(&out, 12);
    PutU32(&out, static_cast<uint32_t>(page.size()) + extra);
    out += page;
    PutU32(&out, 13);  // end of page, 8 bytes of its own
    PutU32(&out, 8 + extra);
    PutU32(&out, 0);
    PutU32(&out, 0);
  }
  return out;
}

}  // namespace tillcast::test
