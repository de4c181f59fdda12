// Shared pieces of the system tests of the sale road: a store whose template
// pulls values out of the receipt, sales as tills print them, and what the
// shop made of them.
#pragma once

#include <string>
#include <vector>

#include "shop.h"
#include "support/till_corpus.h"

namespace tillcast::test {

// The cloud's data: store "store-e2e" (secret e2e-store-secret) with the
// demo device, and a template that prints "感谢光临", the receipt number
// (rule "no") and a QR code of the total (rule "total").
std::string SaleRoadCloudData();

// A sale as a till prints it: numbered `no`, written in the till's writes.
TillReceipt Sale(const std::string& no, int logo_rows = 0);

// Waits for a printed document with exactly `bytes`.
bool WaitPrinted(Shop& shop, const std::string& bytes, int timeout_ms);

// How many captures the agent has taken up so far (its
// "UploadTicketInfoFile" log lines).
size_t CapturesHandled(const Shop& shop);

// Prints `bytes` as its own burst and waits until the agent took it up.
void PrintAlone(Shop& shop, const std::string& bytes);

// The documents printed besides the till's own prints `sales`.
std::vector<PrintedDoc> Extras(const Shop& shop, const std::vector<std::string>& sales);

}  // namespace tillcast::test
