#include "ui/window_snapshot.h"

#include <QAbstractButton>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QPixmap>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <atomic>

#include "platform/env.h"

namespace tillcast::ui {
namespace {

// Late enough for the layout and the first paint, early enough to catch
// windows that close themselves after a few seconds.
constexpr int kSnapshotDelayMs = 300;

void TakeSnapshot(QWidget* window, const QString& folder, const QString& base) {
  QDir().mkpath(folder);
  const QString stem = QDir(folder).filePath(base);
  window->grab().save(stem + QStringLiteral(".png"), "PNG");

  QJsonObject labels;
  for (QLabel* l : window->findChildren<QLabel*>())
    if (!l->objectName().isEmpty()) labels.insert(l->objectName(), l->text());
  for (QAbstractButton* b : window->findChildren<QAbstractButton*>())
    if (!b->objectName().isEmpty()) labels.insert(b->objectName(), b->text());
  QJsonObject doc;
  doc.insert(QStringLiteral("title"), window->windowTitle());
  doc.insert(QStringLiteral("visible"), window->isVisible());
  doc.insert(QStringLiteral("width"), window->width());
  doc.insert(QStringLiteral("height"), window->height());
  doc.insert(QStringLiteral("controls"), labels);

  const QString tmp = stem + QStringLiteral(".json.tmp");
  QFile out(tmp);
  if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)) return;
  out.write(QJsonDocument(doc).toJson(QJsonDocument::Indented));
  out.close();
  QFile::remove(stem + QStringLiteral(".json"));
  QFile::rename(tmp, stem + QStringLiteral(".json"));
}

}  // namespace

void ScheduleWindowSnapshot(QWidget* window, const QString& window_class) {
  const std::string folder = platform::EnvOr("TILLCAST_UI_SNAPSHOT_DIR", "");
  if (folder.empty() || window == nullptr) return;
  static std::atomic<unsigned> seq{0};
  const QString base = window_class + QStringLiteral("-%1").arg(++seq);
  QPointer<QWidget> guard(window);
  const QString dir = QString::fromStdString(folder);
  QTimer::singleShot(kSnapshotDelayMs, window, [guard, dir, base] {
    if (guard) TakeSnapshot(guard, dir, base);
  });
}

}  // namespace tillcast::ui
