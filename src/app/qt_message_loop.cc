#include "app/qt_message_loop.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QSocketNotifier>

#include "platform/terminate_signals.h"

namespace tillcast {

QtMessageLoop::QtMessageLoop() {
  const int fd = platform::WatchTerminateSignals();
  if (fd < 0) return;
  signal_notifier_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
  QObject::connect(signal_notifier_.get(), &QSocketNotifier::activated, [] {
    platform::DrainTerminateSignals();
    QCoreApplication::exit(0);
  });
}

QtMessageLoop::~QtMessageLoop() { platform::RestoreTerminateSignals(); }

void QtMessageLoop::Run() { QCoreApplication::exec(); }

void QtMessageLoop::Quit() {
  if (QCoreApplication* app = QCoreApplication::instance())
    QMetaObject::invokeMethod(
        app, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
}

}  // namespace tillcast
