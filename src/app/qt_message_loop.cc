#include "app/qt_message_loop.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QMetaObject>
#include <QSocketNotifier>

namespace tillcast {
namespace {

int g_signal_pipe[2] = {-1, -1};

// Only writes a byte: the loop reads it on the UI thread.
void OnTerminateSignal(int sig) {
  const char c = static_cast<char>(sig);
  (void)!write(g_signal_pipe[1], &c, 1);
}

}  // namespace

QtMessageLoop::QtMessageLoop() {
  if (g_signal_pipe[0] < 0 && pipe2(g_signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  signal_notifier_ = std::make_unique<QSocketNotifier>(g_signal_pipe[0], QSocketNotifier::Read);
  QObject::connect(signal_notifier_.get(), &QSocketNotifier::activated, [] {
    char buf[16];
    while (read(g_signal_pipe[0], buf, sizeof(buf)) > 0) {
    }
    QCoreApplication::quit();
  });
  struct sigaction sa {};
  sa.sa_handler = OnTerminateSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
}

QtMessageLoop::~QtMessageLoop() {
  signal(SIGTERM, SIG_DFL);
  signal(SIGINT, SIG_DFL);
}

void QtMessageLoop::Run() { QCoreApplication::exec(); }

void QtMessageLoop::Quit() {
  if (QCoreApplication* app = QCoreApplication::instance())
    QMetaObject::invokeMethod(app, [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
}

}  // namespace tillcast
