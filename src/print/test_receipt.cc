#include "print/test_receipt.h"

#include <exception>

#include "base/text_util.h"
#include "print/sdk_binding.h"

namespace tillcast {
namespace {

std::string A(const wchar_t* text) {
  try {
    return ToNarrow(text);
  } catch (const std::exception&) {
    return std::string();
  }
}

}  // namespace

bool PrintTestReceipt(const std::string& port_name, bool driver) {
  const PosSdkTable& sdk = PrinterSdk();
  if (sdk.POS_SetMotionUnit == nullptr || sdk.POS_S_TextOut == nullptr || sdk.POS_FeedLine == nullptr) return false;
  if (driver && sdk.POS_StartDoc != nullptr) sdk.POS_StartDoc();
  bool printed = false;
  if (sdk.POS_SetMotionUnit(180, 180) == POS_SUCCESS) {
    printed = true;
    if (sdk.POS_SetMode) sdk.POS_SetMode(0);
    if (sdk.POS_SetLineSpacing) sdk.POS_SetLineSpacing(35);
    if (sdk.POS_SetRightSpacing) sdk.POS_SetRightSpacing(0);
    sdk.POS_S_TextOut(A(L"测试小票").c_str(), 90, 2, 2, 0, 0);
    sdk.POS_FeedLine();
    sdk.POS_FeedLine();
    static const wchar_t* const kRows[][2] = {
        {L"商户名称", L"测试商户"},   {L"凭证号：", L"0000334"},          {L"设备号：", L"00234"},
        {L"账单号：", L"3413401324"}, {L"付款时间：", L"09-26 17:33:21"}, {L"支付方式：", L"微信"},
        {L"消费金额：", L"￥888"},
    };
    for (const auto& row : kRows) {
      sdk.POS_S_TextOut(A(row[0]).c_str(), 20, 1, 1, 0, 0);
      sdk.POS_S_TextOut(A(row[1]).c_str(), 200, 1, 1, 0, 0);
      sdk.POS_FeedLine();
    }
    sdk.POS_S_TextOut(A(L"客户签字：").c_str(), 20, 1, 1, 0, 0);
    sdk.POS_FeedLine();
    sdk.POS_S_TextOut("-----------------------", 20, 1, 1, 0, 0);
    sdk.POS_FeedLine();
    sdk.POS_S_TextOut(A(L"端口名称：").c_str(), 20, 1, 1, 0, 0);
    sdk.POS_S_TextOut(port_name.c_str(), 200, 1, 1, 0, 0);
    for (int i = 0; i < 4; ++i) sdk.POS_FeedLine();
    if (sdk.POS_CutPaper) sdk.POS_CutPaper(0, 0);
  }
  if (driver && sdk.POS_EndDoc != nullptr) sdk.POS_EndDoc();
  return printed;
}

}  // namespace tillcast
