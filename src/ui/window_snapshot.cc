#include "ui/window_snapshot.h"

#include <QAbstractButton>
#include <QDir>
#include <QFile>
#include <QJsonArray>
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

  // A list, not an object: repeated rows use the same control names.
  QJsonArray controls;
  for (QWidget* w : window->findChildren<QWidget*>()) {
    if (w->objectName().isEmpty()) continue;
    QString text;
    if (auto* l = qobject_cast<QLabel*>(w)) {
      text = l->text();
    } else if (auto* b = qobject_cast<QAbstractButton*>(w)) {
      text = b->text();
    } else {
      continue;
    }
    QJsonObject c;
    c.insert(QStringLiteral("name"), w->objectName());
    c.insert(QStringLiteral("text"), text);
    c.insert(QStringLiteral("visible"), w->isVisible());
    controls.append(c);
  }
  QJsonObject doc;
  doc.insert(QStringLiteral("title"), window->windowTitle());
  doc.insert(QStringLiteral("visible"), window->isVisible());
  doc.insert(QStringLiteral("width"), window->width());
  doc.insert(QStringLiteral("height"), window->height());
  doc.insert(QStringLiteral("controls"), controls);

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
