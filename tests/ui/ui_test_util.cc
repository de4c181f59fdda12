#include "ui_test_util.h"

#include <dirent.h>

#include <chrono>
#include <cstdlib>

#include <QCoreApplication>
#include <QFontDatabase>

#include <gtest/gtest.h>

#include "ui/toolkit.h"

namespace tillcast::test {

namespace {

QApplication* g_app = nullptr;

// The application goes away after the last test, releasing what Qt holds
// of the font system.
class AppEnvironment final : public ::testing::Environment {
 public:
  void TearDown() override {
    delete g_app;
    g_app = nullptr;
  }
};

[[maybe_unused]] ::testing::Environment* const g_env = ::testing::AddGlobalTestEnvironment(new AppEnvironment);

}  // namespace

QApplication* EnsureApp() {
  static int argc = 1;
  static char name[] = "tillcast_ui_tests";
  static char* argv[] = {name, nullptr};
  if (g_app == nullptr) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    g_app = new QApplication(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
  }
  return g_app;
}

bool PumpUntil(const std::function<bool()>& pred, int timeout_ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    if (pred()) return true;
    if (std::chrono::steady_clock::now() > end) return false;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
  }
}

void PumpFor(int ms) {
  PumpUntil([] { return false; }, ms);
}

SkinCopy::SkinCopy() {
  const std::string from = BinDir() + "/skin";
  if (DIR* d = opendir(from.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string n = e->d_name;
      if (n == "." || n == ".." || n == "StoreLogo.png") continue;
      WriteFile(dir_.Sub(n), ReadFile(from + "/" + n));
    }
    closedir(d);
  }
  ui::SetSkinFolder(dir_.path() + "/");
}

SkinCopy::~SkinCopy() { ui::SetSkinFolder(""); }

}  // namespace tillcast::test
