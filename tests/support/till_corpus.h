// Receipts as real POS software prints them, and the writes a till makes.
//
// A receipt starts with ESC @ and the code-page selection, may carry a
// GS v 0 raster logo (rows of 0x00 and 0xFF bytes), sets its modes with
// parameter bytes of 0x00 right after the store name (ESC ! 0, ESC a 0,
// GS ! 0, ESC E 0), prints GBK Chinese lines and ends with a feed and the
// cut. A till sends it the way drivers do: every command byte and line feed
// a write of its own, text and picture data in bursts of a few bytes.
//
// Generated here, so no receipt of anyone's is copied into the tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tillcast::test {

struct SaleItem {
  std::string name;  // UTF-8
  int quantity = 1;
  int cents = 0;  // price of one
};

struct SaleShape {
  std::string store = "测试门店";  // UTF-8
  std::string receipt_no = "R20240501000000000001";
  std::vector<SaleItem> items = {{"矿泉水", 2, 250}, {"三明治", 1, 3150}};
  int paid_cents = -1;           // -1: the total, rounded up to whole yuan
  int logo_rows = 0;             // rows of a 384-dot raster logo (48 bytes a row)
  bool payment_voucher = false;  // prints the voucher words ("支付凭证")
  uint32_t seed = 1;             // how the writes are cut
};

struct TillReceipt {
  std::string bytes;                // the whole print, as the printer gets it
  std::vector<std::string> writes;  // the till's write() calls, in order
  std::string total;                // "36.50": what a total rule pulls out
  std::string receipt_no;
};

// One sale receipt.
TillReceipt SaleReceipt(const SaleShape& shape);

// A sale of the default items numbered `receipt_no`, with a logo of
// `logo_rows` rows, its writes cut by a seed taken from the number.
TillReceipt NumberedSale(const std::string& receipt_no, int logo_rows = 0);

// Receipts of different shapes: short, with a logo, with many items, and a
// large one with a tall logo (about 300 KB). Each with its own receipt
// number "R<base>NN".
std::vector<TillReceipt> SaleCorpus(const std::string& base = "2024050100000000");

// Cuts `bytes` the way a till writes raw data: single bytes and bursts of a
// few, at random (from `seed`).
std::vector<std::string> CutIntoTillWrites(const std::string& bytes, uint32_t seed);

// Performs the writes on `fd` (blocking or not), each one whole before the
// next; `pause_us` between writes lets a reader see them one by one. False
// when the descriptor fails.
bool WriteLikeATill(int fd, const std::vector<std::string>& writes, int pause_us = 0);

}  // namespace tillcast::test
