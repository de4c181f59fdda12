// CUPS jobs' copies as the capture reads them: the copy's header, what each
// document type gives (printer bytes as they are, text and PDF text in the
// ANSI code page), and what is skipped; a copy then joins the pending
// capture, or becomes a capture of its own when it waited for the agent.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "capture/capture_flow.h"
#include "capture/cups_capture.h"
#include "capture/cups_copy.h"
#include "platform/clock.h"
#include "support/pdf_writer.h"
#include "support/test_support.h"
#include "support/till_corpus.h"

namespace tillcast::capture {
namespace {

using test::Gbk;
using test::U8;

std::string CopyOf(const std::string& type, const std::string& document, const std::string& job = "12",
                   const std::string& submitted = "", const std::string& started = "") {
  CupsCopyHeader h;
  h.submitted = submitted;
  h.started = started;
  h.type = type;
  h.source = "document";
  h.queue = "Till";
  h.job = job;
  h.document = "1";
  h.user = "cashier";
  h.title = "receipt";
  return FormatCupsCopyHeader(h) + document;
}

TEST(CupsCopyFormat, HeaderReadsBackAndTheDocumentFollowsIt) {
  CupsCopyHeader h;
  h.type = "application/pdf";
  h.source = "stream";
  h.queue = "Till";
  h.job = "42";
  h.document = "2";
  h.user = "cashier";
  h.title = "line one\nsecond line";  // a title with a line break stays one line
  h.submitted = "1796617921003";
  h.started = "1796617927002";
  const std::string document("\x1b@\0\n\n", 5);
  const std::string copy = FormatCupsCopyHeader(h) + document;
  CupsCopyHeader back;
  size_t body = 0;
  ASSERT_TRUE(ParseCupsCopyHeader(copy, &back, &body));
  EXPECT_EQ(back.type, "application/pdf");
  EXPECT_EQ(back.source, "stream");
  EXPECT_EQ(back.queue, "Till");
  EXPECT_EQ(back.job, "42");
  EXPECT_EQ(back.document, "2");
  EXPECT_EQ(back.title, "line one second line");
  EXPECT_EQ(back.submitted, "1796617921003");
  EXPECT_EQ(back.started, "1796617927002");
  EXPECT_EQ(copy.substr(body), document);
}

TEST(CupsCopyFormat, WhatIsNotACopy) {
  CupsCopyHeader h;
  size_t body = 0;
  const std::vector<std::string> cases = {
      "",
      "%PDF-1.4\n",
      "TILLCAST-CUPS-COPY 2\ntype: text/plain\n\nx",
      "TILLCAST-CUPS-COPY 1\ntype: text/plain\n",  // the header never ends
      "TILLCAST-CUPS-COPY 1\n" + std::string(5000, 'a') + "\n\nx",
  };
  for (const auto& c : cases) EXPECT_FALSE(ParseCupsCopyHeader(c, &h, &body)) << c.substr(0, 40);
}

TEST(CupsCopyFormat, AJobIsHeldWhenItReachedThePrinterMoreThanFiveSecondsAfterCupsTookIt) {
  const struct {
    const char* submitted;
    const char* started;
    bool held;
    uint64_t waited;
  } cases[] = {
      {"1796617921000", "1796617921800", false, 0},  // printed at once
      {"1796617921000", "1796617926000", false, 0},  // 5000 ms: not yet
      {"1796617921000", "1796617926001", true, 5001},
      {"1796617921000", "1796618521000", true, 600000},  // ten minutes in a stopped queue
      {"", "1796617926001", false, 0},                   // a copy of the stream: no time
      {"1796617921000", "", false, 0},
      {"1796617930000", "1796617921000", false, 0},  // clocks that disagree
      {"17966179x1000", "1796618521000", false, 0},
      {"-5", "1796618521000", false, 0},
      {"99999999999999999999", "1796618521000", false, 0},
  };
  for (const auto& c : cases) {
    CupsCopyHeader h;
    h.submitted = c.submitted;
    h.started = c.started;
    uint64_t waited = 0;
    EXPECT_EQ(CupsCopyWasHeld(h, &waited), c.held) << c.submitted << " " << c.started;
    if (c.held) {
      EXPECT_EQ(waited, c.waited);
    }
  }
}

TEST(CupsCopyFormat, NamesOfFinishedCopiesSortByTime) {
  EXPECT_EQ(CupsCopyName(1796617927058ull, 12, 1), "01796617927058-12-1.copy");
  EXPECT_LT(CupsCopyName(999999999999ull, 99, 1), CupsCopyName(1000000000000ull, 1, 1));
  const std::vector<std::pair<std::string, bool>> names = {{"01796617927058-12-1.copy", true},
                                                           {".tmp-12-3-0", false},
                                                           {".01796617927058-12-1.copy", false},
                                                           {"sub/1-1-1.copy", false},
                                                           {"1-1-1.copy.part", false},
                                                           {".copy", false},
                                                           {"receipt.txt", false}};
  for (const auto& [name, finished] : names) EXPECT_EQ(IsCupsCopyName(name), finished) << name;
}

TEST(CupsCapture, DocumentKindsByType) {
  const std::vector<std::pair<std::string, CupsDocumentKind>> types = {
      {"application/vnd.cups-raw", CupsDocumentKind::kRaw},
      {"application/octet-stream", CupsDocumentKind::kRaw},
      {"text/plain", CupsDocumentKind::kText},
      {"text/plain;charset=utf-8", CupsDocumentKind::kText},
      {"TEXT/PLAIN", CupsDocumentKind::kText},
      {"application/pdf", CupsDocumentKind::kPdf},
      {"application/postscript", CupsDocumentKind::kOther},
      {"image/png", CupsDocumentKind::kOther},
      {"application/vnd.cups-raster", CupsDocumentKind::kOther},
      {"text/plainer", CupsDocumentKind::kOther},
      {"", CupsDocumentKind::kOther}};
  for (const auto& [type, kind] : types) EXPECT_EQ(CupsKindOfType(type), kind) << type;
}

TEST(CupsCapture, TextBecomesAnsi) {
  const std::string utf8 = U8(u8"演示门店\r\n合计：36.50\n");
  EXPECT_EQ(CupsTextToAnsi(utf8), Gbk(utf8));
  EXPECT_EQ(CupsTextToAnsi("\xEF\xBB\xBF" + utf8), Gbk(utf8)) << "the byte-order mark is dropped";
  // Text a Windows program saved in the code page already is kept as it is.
  EXPECT_EQ(CupsTextToAnsi(Gbk(utf8)), Gbk(utf8));
  // UTF-16 with its byte-order mark.
  EXPECT_EQ(CupsTextToAnsi(std::string("\xFF\xFE\x7D\x6C\x34\x6C\x0A\x00", 8)), Gbk(U8(u8"汽水\n")));
  // A character the code page lacks is one "?", the rest stays.
  EXPECT_EQ(CupsTextToAnsi(U8(u8"门店😀ok")), Gbk(U8(u8"门店")) + "?ok");
  EXPECT_EQ(CupsTextToAnsi("plain ascii"), "plain ascii");
}

TEST(CupsCapture, PdfTextComesOutLineByLineWithItsColumns) {
  const std::string pdf = test::MakePdf({{{10, 380, U8(u8"演示门店")},
                                          {10, 366, U8(u8"小票号 R20240501")},
                                          {10, 352, U8(u8"矿泉水 x2")},
                                          {170, 352, "5.00"},
                                          {10, 338, U8(u8"合计：36.50")}},
                                         {{10, 380, U8(u8"谢谢惠顾")}}});
  std::string text, why;
  ASSERT_TRUE(PdfTextUtf8(pdf, &text, &why)) << why;
  const std::vector<std::string> lines = [&] {
    std::vector<std::string> out;
    size_t at = 0;
    for (size_t nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
      out.push_back(text.substr(at, nl - at));
    return out;
  }();
  ASSERT_GE(lines.size(), 5u) << text;
  std::vector<std::string> nonblank;
  for (const auto& l : lines)
    if (l.find_first_not_of(' ') != std::string::npos) nonblank.push_back(l.substr(l.find_first_not_of(' ')));
  ASSERT_EQ(nonblank.size(), 5u) << text;
  EXPECT_EQ(nonblank[0], U8(u8"演示门店"));
  EXPECT_EQ(nonblank[1], U8(u8"小票号 R20240501"));
  // Both columns on one line, apart.
  EXPECT_EQ(nonblank[2].rfind(U8(u8"矿泉水 x2"), 0), 0u) << nonblank[2];
  EXPECT_NE(nonblank[2].find("   5.00"), std::string::npos) << nonblank[2];
  EXPECT_EQ(nonblank[3], U8(u8"合计：36.50"));
  EXPECT_EQ(nonblank[4], U8(u8"谢谢惠顾")) << "the second page follows the first";
  for (const auto& l : lines) EXPECT_TRUE(l.empty() || l.back() != ' ') << "trailing blanks: [" << l << "]";
}

TEST(CupsCapture, BrokenPdfsGiveNoText) {
  std::string text, why;
  EXPECT_FALSE(PdfTextUtf8("%PDF-1.4\ngarbage", &text, &why));
  EXPECT_FALSE(why.empty());
  const std::string pdf = test::MakePdfLines({U8(u8"门店")});
  EXPECT_FALSE(PdfTextUtf8(pdf.substr(0, pdf.size() / 3), &text, &why));
  EXPECT_FALSE(PdfTextUtf8("", &text, &why));
}

class CupsCopyTest : public ::testing::Test {
 protected:
  std::string Put(const std::string& name, const std::string& bytes) {
    const std::string path = dir_.Sub(name);
    test::WriteFile(path, bytes);
    return path;
  }
  test::TempDir dir_;
  test::ScopedLog log_;
};

TEST_F(CupsCopyTest, EachTypeGivesItsCapture) {
  const test::TillReceipt sale = test::SaleReceipt({});
  ASSERT_NE(sale.bytes.find('\0'), std::string::npos);
  const std::string text = U8(u8"演示门店\n合计：36.50\n");
  struct Case {
    std::string type, document, capture;
  };
  const std::vector<Case> cases = {
      {"application/vnd.cups-raw", sale.bytes, sale.bytes},
      {"application/octet-stream", sale.bytes, sale.bytes},
      {"text/plain", text, Gbk(text)},
      {"application/pdf", test::MakePdfLines({U8(u8"演示门店"), U8(u8"合计：36.50")}), Gbk(text)},
  };
  for (const auto& c : cases) {
    std::string capture;
    EXPECT_EQ(TakeCupsCopy(Put("a.copy", CopyOf(c.type, c.document)), &capture), CupsCopyResult::kCapture) << c.type;
    EXPECT_TRUE(capture == c.capture) << c.type << ": " << capture;
  }
  EXPECT_TRUE(log_.Contains("cups job 12 of queue Till (application/pdf"));
}

TEST_F(CupsCopyTest, WhatCarriesNoReceiptTextIsSkippedAndSaysWhy) {
  struct Case {
    std::string bytes, log;
  };
  const std::vector<Case> cases = {
      {CopyOf("image/png", "\x89PNG\r\n", "7"), "cups job 7 of queue Till: a document of type image/png"},
      {CopyOf("application/postscript", "%!PS\n", "8"), "type application/postscript"},
      {CopyOf("application/pdf", "%PDF-1.4 broken", "9"), "cups job 9 of queue Till: the PDF cannot be read"},
      {"plain bytes someone put here", "is not a copy of a job"},
  };
  for (const auto& c : cases) {
    std::string capture;
    EXPECT_EQ(TakeCupsCopy(Put("b.copy", c.bytes), &capture), CupsCopyResult::kSkip) << c.log;
    EXPECT_TRUE(log_.Contains(c.log)) << c.log << "\n" << log_.Text();
  }
}

TEST_F(CupsCopyTest, OnlyRegularFilesOfSensibleSizeAreRead) {
  std::string capture;
  const std::string target = Put("secret", CopyOf("text/plain", "private"));
  ASSERT_EQ(symlink(target.c_str(), dir_.Sub("link.copy").c_str()), 0);
  EXPECT_EQ(TakeCupsCopy(dir_.Sub("link.copy"), &capture), CupsCopyResult::kSkip) << "never through a link";
  ASSERT_EQ(mkfifo(dir_.Sub("fifo.copy").c_str(), 0600), 0);
  EXPECT_EQ(TakeCupsCopy(dir_.Sub("fifo.copy"), &capture), CupsCopyResult::kSkip)
      << "a pipe neither blocks nor is read";
  const std::string huge = Put("huge.copy", CopyOf("text/plain", "x"));
  ASSERT_EQ(truncate(huge.c_str(), static_cast<off_t>(kCupsCopyMaxDocument + kCupsCopyMaxHeader + 1)), 0);
  EXPECT_EQ(TakeCupsCopy(huge, &capture), CupsCopyResult::kSkip);
  EXPECT_TRUE(log_.Contains("more than a receipt ever has"));
  EXPECT_EQ(TakeCupsCopy(dir_.Sub("gone.copy"), &capture), CupsCopyResult::kSkip) << "taken already";
  EXPECT_TRUE(capture.empty());
}

// What TakeCupsCopy makes of `path` for a user other than the copy's owner
// (run as nobody in a child process where the test runs as root).
CupsCopyResult TakeAsAnotherUser(const std::string& path) {
  if (geteuid() != 0) {
    std::string capture;
    return TakeCupsCopy(path, &capture);
  }
  const pid_t pid = fork();
  if (pid == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(100);
    std::string capture;
    _exit(static_cast<int>(TakeCupsCopy(path, &capture)));
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 100) << "could not become nobody";
  return static_cast<CupsCopyResult>(WEXITSTATUS(status));
}

TEST_F(CupsCopyTest, AnUnreadableCopyIsLeftForLater) {
  chmod(dir_.path().c_str(), 0777);
  const std::string path = Put("locked.copy", CopyOf("text/plain", "x"));
  chmod(path.c_str(), 0);
  EXPECT_EQ(TakeAsAnotherUser(path), CupsCopyResult::kKeep);
  EXPECT_TRUE(test::FileExists(path));
}

TEST_F(CupsCopyTest, ACopyTheAgentCouldNotRemoveIsNeverCaptured) {
  // Readable, but in a folder the reader may not change.
  const std::string path = Put("kept.copy", CopyOf("text/plain", "x"));
  chmod(path.c_str(), 0644);
  chmod(dir_.path().c_str(), 0755);
  if (geteuid() != 0) chmod(dir_.path().c_str(), 0555);
  EXPECT_EQ(TakeAsAnotherUser(path), CupsCopyResult::kKeep);
  chmod(dir_.path().c_str(), 0755);
  EXPECT_TRUE(test::FileExists(path));
}

class CupsFlowTest : public CupsCopyTest {
 protected:
  CaptureFlow::Hooks Hooks() {
    CaptureFlow::Hooks h;
    h.clock = &clock_;
    h.data_folder = data_.path();
    h.start_timer = [this] { ++timer_starts_; };
    h.handover = [this](const std::string& path, uint32_t) {
      std::lock_guard<std::mutex> l(lock_);
      uploads_.push_back(test::ReadFile(path));
    };
    h.handover_held = [this](const std::string& path, uint32_t tick) {
      std::lock_guard<std::mutex> l(lock_);
      held_.push_back({test::ReadFile(path), tick});
    };
    return h;
  }
  std::vector<std::pair<std::string, uint32_t>> held_;
  test::TempDir data_;
  platform::FakeClock clock_{7000};
  std::atomic<int> timer_starts_{0};
  std::mutex lock_;
  std::vector<std::string> uploads_;
};

TEST_F(CupsFlowTest, ACopyJoinsThePendingCaptureAndIsRemoved) {
  CaptureFlow flow(Hooks());
  const std::string copy = Put("01-1-1.copy", CopyOf("text/plain", U8(u8"门店 小票\n")));
  flow.OnCupsCopy(copy);
  EXPECT_FALSE(test::FileExists(copy));
  EXPECT_EQ(flow.PendingFile(), data_.path() + "/spl_7000.dat");
  EXPECT_EQ(timer_starts_.load(), 1);
  clock_.Advance(CaptureFlow::kQuietMs);
  EXPECT_TRUE(flow.OnUploadTimer());
  ASSERT_EQ(uploads_.size(), 1u);
  EXPECT_EQ(uploads_[0], Gbk(U8(u8"门店 小票\n")));
}

TEST_F(CupsFlowTest, ACopyWithNothingToCaptureIsRemovedAndStartsNothing) {
  CaptureFlow flow(Hooks());
  const std::string copy = Put("02-1-1.copy", CopyOf("image/jpeg", "\xFF\xD8\xFF"));
  flow.OnCupsCopy(copy);
  EXPECT_FALSE(test::FileExists(copy));
  EXPECT_EQ(flow.PendingFile(), "");
  EXPECT_EQ(timer_starts_.load(), 0);
}

TEST_F(CupsFlowTest, ACopyThatWaitedBecomesACaptureFileOfItsOwn) {
  CaptureFlow flow(Hooks());
  const test::TillReceipt sale = test::SaleReceipt({});
  const std::string copy = Put("03-1-1.copy", CopyOf("application/vnd.cups-raw", sale.bytes));
  const std::string file = flow.ConvertWaitingCupsCopy(copy);
  ASSERT_FALSE(file.empty());
  EXPECT_EQ(file.rfind(data_.path() + "/spl_", 0), 0u);
  EXPECT_TRUE(test::ReadFile(file) == sale.bytes);
  struct stat st {};
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_FALSE(test::FileExists(copy));
  EXPECT_EQ(flow.PendingFile(), "") << "not the pending capture";
  EXPECT_EQ(flow.ConvertWaitingCupsCopy(Put("04-1-1.copy", CopyOf("image/gif", "GIF89a"))), "");
}

TEST_F(CupsFlowTest, AJobItsQueueHeldBackIsASaleOfItsOwnWithTheTillsPrintTime) {
  CaptureFlow flow(Hooks());
  // A sale on the serial port is pending when the printer comes back and
  // the queue lets go of a job the till printed 50 s before.
  const uint8_t serial[] = "\x1b@serial sale";
  flow.OnDriverData(1, serial, sizeof(serial) - 1);
  const test::TillReceipt held = test::SaleReceipt({});
  const std::string copy =
      Put("05-7-1.copy", CopyOf("application/vnd.cups-raw", held.bytes, "7", "1796617921003", "1796617971003"));
  flow.OnCupsCopy(copy);
  EXPECT_FALSE(test::FileExists(copy));
  ASSERT_EQ(held_.size(), 1u) << "handed over at once, not with the pending capture";
  EXPECT_TRUE(held_[0].first == held.bytes) << "not mixed with the serial sale";
  EXPECT_EQ(held_[0].second, 7000u - 50000u) << "when CUPS took it, on the tick count";
  EXPECT_TRUE(log_.Contains("cups job 7 of queue Till waited 50000 ms in its queue: captured on its own"));
  clock_.Advance(CaptureFlow::kQuietMs);
  EXPECT_TRUE(flow.OnUploadTimer());
  ASSERT_EQ(uploads_.size(), 1u);
  EXPECT_EQ(uploads_[0], "\x1b@serial sale");

  // A job that came through at once joins the pending capture as before.
  flow.OnCupsCopy(Put("06-8-1.copy", CopyOf("text/plain", "quick\n", "8", "1796617980000", "1796617980400")));
  EXPECT_EQ(held_.size(), 1u);
  EXPECT_NE(flow.PendingFile(), "");
}

}  // namespace
}  // namespace tillcast::capture
