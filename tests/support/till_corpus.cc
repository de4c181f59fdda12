#include "support/till_corpus.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <random>

#include "support/test_support.h"

namespace tillcast::test {
namespace {

constexpr char kEsc = 0x1B;
constexpr char kGs = 0x1D;
constexpr char kFs = 0x1C;
constexpr int kLogoWidthBytes = 48;  // 384 dots: 58 mm paper

std::string Money(int cents) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%d.%02d", cents / 100, cents % 100);
  return buf;
}

// Collects the receipt's bytes and the till's writes together.
class TillWriter {
 public:
  explicit TillWriter(uint32_t seed) : rng_(seed) {}

  // A command: every byte of it a write of its own.
  void Command(std::initializer_list<int> bytes) {
    for (int b : bytes) Put(std::string(1, static_cast<char>(b)));
  }
  // Text or picture data: bursts of 1 to `max_burst` bytes; a line feed in
  // it goes alone.
  void Data(const std::string& data, int max_burst = 7) {
    std::uniform_int_distribution<int> burst(1, max_burst);
    size_t at = 0;
    while (at < data.size()) {
      if (data[at] == '\n') {
        Put("\n");
        ++at;
        continue;
      }
      size_t n = static_cast<size_t>(burst(rng_));
      const size_t lf = data.find('\n', at);
      if (lf != std::string::npos && lf - at < n) n = lf - at;
      if (n > data.size() - at) n = data.size() - at;
      Put(data.substr(at, n));
      at += n;
    }
  }
  void Line(const std::string& utf8) { Data(Gbk(utf8) + "\n"); }

  TillReceipt Finish() { return std::move(out_); }
  TillReceipt& out() { return out_; }

 private:
  void Put(const std::string& w) {
    out_.bytes += w;
    out_.writes.push_back(w);
  }
  std::mt19937 rng_;
  TillReceipt out_;
};

// A round logo: dark disc with a light ring, rows of 0x00 and 0xFF bytes.
std::string LogoBits(int rows) {
  std::string bits;
  bits.reserve(static_cast<size_t>(rows) * kLogoWidthBytes);
  const int cx = kLogoWidthBytes * 4, cy = rows / 2;
  const int r = std::min(cx, cy);
  for (int y = 0; y < rows; ++y) {
    for (int xb = 0; xb < kLogoWidthBytes; ++xb) {
      const int dx = xb * 8 + 4 - cx, dy = y - cy;
      const int d2 = dx * dx + dy * dy;
      const bool dark = d2 < r * r && !(d2 > (r * 7 / 10) * (r * 7 / 10) && d2 < (r * 8 / 10) * (r * 8 / 10));
      bits.push_back(dark ? static_cast<char>(0xFF) : '\0');
    }
  }
  return bits;
}

}  // namespace

TillReceipt SaleReceipt(const SaleShape& shape) {
  TillWriter w(shape.seed);
  w.Command({kEsc, '@'});
  w.Command({kFs, '&'});       // Chinese character mode
  w.Command({kEsc, 'R', 15});  // China character set
  if (shape.logo_rows > 0) {
    // In bands, as drivers send tall pictures (a printer takes a few
    // thousand rows per command).
    constexpr int kBandRows = 1024;
    const std::string bits = LogoBits(shape.logo_rows);
    w.Command({kEsc, 'a', 1});
    for (int top = 0; top < shape.logo_rows; top += kBandRows) {
      const int rows = std::min(kBandRows, shape.logo_rows - top);
      w.Command({kGs, 'v', '0', 0, kLogoWidthBytes, 0, rows & 0xFF, rows >> 8});
      w.Data(bits.substr(static_cast<size_t>(top) * kLogoWidthBytes, static_cast<size_t>(rows) * kLogoWidthBytes), 16);
    }
  }
  w.Command({kEsc, 'a', 1});
  w.Command({kGs, '!', 0x11});
  w.Command({kEsc, 'E', 1});
  w.Line(shape.store);
  // Back to plain text: the zero bytes every receipt carries.
  w.Command({kGs, '!', 0});
  w.Command({kEsc, 'E', 0});
  w.Command({kEsc, 'a', 0});
  w.Command({kEsc, '!', 0});
  if (shape.payment_voucher) w.Line("支付凭证");
  w.Line("小票号 " + shape.receipt_no);
  w.Line("收银员 01  款台 1");
  w.Line("--------------------------------");
  int total = 0;
  for (const SaleItem& item : shape.items) {
    const int amount = item.quantity * item.cents;
    total += amount;
    w.Line(item.name + " x" + std::to_string(item.quantity) + "    " + Money(amount));
  }
  w.Line("--------------------------------");
  const int paid = shape.paid_cents >= 0 ? shape.paid_cents : (total + 99) / 100 * 100;
  w.Command({kEsc, 'E', 1});
  w.Line("合计：" + Money(total));
  w.Command({kEsc, 'E', 0});
  w.Line("实收：" + Money(paid) + "  找零：" + Money(paid - total));
  w.Command({kEsc, 'a', 1});
  w.Line("谢谢惠顾");
  w.Command({kEsc, 'a', 0});
  w.Command({kEsc, 'd', 3});
  w.Command({kGs, 'V', 66, 0});  // feed and cut
  TillReceipt r = w.Finish();
  r.total = Money(total);
  r.receipt_no = shape.receipt_no;
  return r;
}

TillReceipt NumberedSale(const std::string& receipt_no, int logo_rows) {
  SaleShape shape;
  shape.receipt_no = receipt_no;
  shape.logo_rows = logo_rows;
  shape.seed = static_cast<uint32_t>(std::hash<std::string>()(receipt_no));
  return SaleReceipt(shape);
}

std::vector<TillReceipt> SaleCorpus(const std::string& base) {
  std::vector<TillReceipt> out;
  SaleShape s;
  s.receipt_no = "R" + base + "01";
  s.items = {{"面包", 1, 1200}};
  s.seed = 11;
  out.push_back(SaleReceipt(s));

  s = SaleShape();
  s.receipt_no = "R" + base + "02";
  s.logo_rows = 96;
  s.seed = 12;
  out.push_back(SaleReceipt(s));

  s = SaleShape();
  s.receipt_no = "R" + base + "03";
  s.items.clear();
  for (int i = 0; i < 120; ++i) s.items.push_back({"商品" + std::to_string(i), 1 + i % 3, 100 + i * 7});
  s.seed = 13;
  out.push_back(SaleReceipt(s));

  s = SaleShape();
  s.receipt_no = "R" + base + "04";
  s.logo_rows = 6000;  // about 290 KB of picture
  s.seed = 14;
  out.push_back(SaleReceipt(s));
  return out;
}

std::vector<std::string> CutIntoTillWrites(const std::string& bytes, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> burst(1, 8);
  std::vector<std::string> writes;
  for (size_t at = 0; at < bytes.size();) {
    size_t n = static_cast<size_t>(burst(rng));
    if (n > 5) n = 1;  // single bytes often
    if (n > bytes.size() - at) n = bytes.size() - at;
    writes.push_back(bytes.substr(at, n));
    at += n;
  }
  return writes;
}

bool WriteLikeATill(int fd, const std::vector<std::string>& writes, int pause_us) {
  for (const std::string& w : writes) {
    size_t done = 0;
    while (done < w.size()) {
      const ssize_t n = ::write(fd, w.data() + done, w.size() - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
      } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, 100);
      } else {
        return false;
      }
    }
    if (pause_us > 0) ::usleep(static_cast<useconds_t>(pause_us));
  }
  return true;
}

}  // namespace tillcast::test
