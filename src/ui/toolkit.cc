#include "ui/toolkit.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMetaObject>
#include <QMovie>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QRadioButton>
#include <QScreen>
#include <QSet>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUiLoader>

#include "base/text_util.h"
#include "ui/window_snapshot.h"

namespace tillcast::ui {
namespace {

std::mutex g_config_lock;
std::string g_skin_folder;
MessageBoxHandler g_message_box;
std::atomic<int> g_tray_override{-1};

// The layout loader: standard widgets by Qt, the rest through the window's
// CreateControl.
class SkinLoader final : public QUiLoader {
 public:
  explicit SkinLoader(WindowImplBase* callback) : callback_(callback) {
    setWorkingDirectory(QDir(QString::fromStdString(SkinFolder())));
  }
  QWidget* createWidget(const QString& className, QWidget* parent, const QString& name) override {
    if (callback_ != nullptr && !Known().contains(className)) {
      if (QWidget* w = callback_->CreateControl(className)) {
        w->setParent(parent);
        w->setObjectName(name);
        return w;
      }
    }
    return QUiLoader::createWidget(className, parent, name);
  }

 private:
  const QSet<QString>& Known() {
    static const QSet<QString> known = [this] {
      const QStringList list = availableWidgets();
      return QSet<QString>(list.begin(), list.end());
    }();
    return known;
  }
  WindowImplBase* callback_;
};

QWidget* LoadLayout(const QString& file, WindowImplBase* callback, QWidget* parent) {
  QFile f(QString::fromStdString(SkinFolder()) + file);
  if (!f.open(QIODevice::ReadOnly)) return nullptr;
  SkinLoader loader(callback);
  return loader.load(&f, parent);
}

}  // namespace

// Posts reach the window through its context object while the window
// exists; the destructor closes the gate under the lock first.
struct WindowImplBase::PostGate {
  std::mutex lock;
  QObject* context = nullptr;
};

namespace {

// The application's quit request closes every window first; windows that
// only hide on close must let that one through.
std::atomic<bool> g_app_quitting{false};

class QuitWatcher final : public QObject {
 public:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Quit) g_app_quitting.store(true);
    return QObject::eventFilter(watched, event);
  }
};

void WatchApplicationQuit() {
  static QuitWatcher* watcher = nullptr;
  QCoreApplication* app = QCoreApplication::instance();
  if (watcher != nullptr || app == nullptr) return;
  watcher = new QuitWatcher;
  watcher->setParent(app);
  app->installEventFilter(watcher);
}

}  // namespace

// Turns the close box into kMsgClose, which the window may refuse.
class CloseFilter final : public QObject {
 public:
  CloseFilter(WindowImplBase* window, QObject* parent) : QObject(parent), window_(window) {}
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Close && watched == window_->root_) {
      if (window_->closing_ || g_app_quitting.load()) return false;
      event->ignore();
      window_->PostMessage(kMsgClose, 0, 0);
      return true;
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  WindowImplBase* window_;
};

QString ProductDisplayName() { return QStringLiteral(u"Tillcast 小票助手"); }

void SetSkinFolder(const std::string& folder) {
  std::lock_guard<std::mutex> l(g_config_lock);
  g_skin_folder = folder;
  if (!g_skin_folder.empty() && g_skin_folder.back() != '/') g_skin_folder += '/';
}

std::string SkinFolder() {
  {
    std::lock_guard<std::mutex> l(g_config_lock);
    if (!g_skin_folder.empty()) return g_skin_folder;
  }
  return GetInstancePath() + "skin/";
}

std::string GetInstancePath() { return GetModuleFolder() + "/"; }

void SetMessageBoxHandler(MessageBoxHandler handler) {
  std::lock_guard<std::mutex> l(g_config_lock);
  g_message_box = std::move(handler);
}

void ShowMessageBox(QWidget* owner, const QString& text, const QString& caption) {
  MessageBoxHandler handler;
  {
    std::lock_guard<std::mutex> l(g_config_lock);
    handler = g_message_box;
  }
  if (handler) {
    handler(text, caption);
    return;
  }
  // Not modal: the agent keeps capturing and printing while it is shown.
  auto* box = new QMessageBox(QMessageBox::Information, caption, text, QMessageBox::Ok, owner);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowFlag(Qt::WindowStaysOnTopHint);
  box->show();
}

bool TrayAvailable() {
  const int o = g_tray_override.load();
  if (o >= 0) return o != 0;
  return QSystemTrayIcon::isSystemTrayAvailable();
}

void SetTrayAvailableForTest(int available) { g_tray_override.store(available); }

QWidget* CDialogBuilder::Create(const QString& file, WindowImplBase* callback, QWidget* parent) {
  return LoadLayout(file, callback, parent);
}

WindowImplBase::WindowImplBase() : context_(std::make_unique<QObject>()), gate_(std::make_shared<PostGate>()) {
  gate_->context = context_.get();
}

WindowImplBase::~WindowImplBase() {
  {
    std::lock_guard<std::mutex> l(gate_->lock);
    gate_->context = nullptr;
  }
  for (auto& [id, timer] : timers_) timer->stop();
  timers_.clear();
  context_.reset();  // drops pending posts and the timers
  if (modal_loop_ != nullptr) modal_loop_->quit();
  delete root_.data();
}

intptr_t WindowImplBase::HandleMessage(uint32_t message, uintptr_t, intptr_t, bool& handled) {
  handled = false;
  if (message == kMsgClose) {
    handled = true;
    DestroyWindow();
  }
  return 0;
}

void WindowImplBase::Notify(TNotifyUI&) {}

QWidget* WindowImplBase::CreateControl(const QString&) { return nullptr; }

bool WindowImplBase::Create(WindowImplBase* owner, const QString& title, uint32_t style, uint32_t exStyle) {
  if (root_) return false;
  QWidget* parent = owner != nullptr ? owner->GetHWND() : nullptr;
  QWidget* w = LoadLayout(GetSkinFile(), this, parent);
  if (w == nullptr) return false;
  root_ = w;
  Qt::WindowFlags flags = Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint;
  if (style & 0x00080000) flags |= Qt::WindowSystemMenuHint;
  if (style & 0x00020000) flags |= Qt::WindowMinimizeButtonHint;
  if (style & 0x00010000) flags |= Qt::WindowMaximizeButtonHint;
  if (exStyle & kExStyleToolWindow) flags = (flags & ~Qt::Window) | Qt::Tool;
  if (exStyle & kExStyleTopmost) flags |= Qt::WindowStaysOnTopHint;
  w->setWindowFlags(flags);
  if (exStyle & kExStyleToolWindow) w->setAttribute(Qt::WA_ShowWithoutActivating);
  w->setWindowTitle(title);
  // Pictures named by the skin's style sheets live in the skin folder,
  // which a relative url would not find.
  w->setStyleSheet(w->styleSheet() + QStringLiteral("\nQComboBox::down-arrow { image: url(%1combo_arrow.png); "
                                                    "width: 12px; height: 12px; }")
                                         .arg(QString::fromStdString(SkinFolder())));
  w->setObjectName(w->objectName().isEmpty() ? GetWindowClassName() : w->objectName());
  w->installEventFilter(new CloseFilter(this, context_.get()));
  WatchApplicationQuit();
  WireSignals();
  InitWindow();
  return true;
}

void WindowImplBase::WireSignals() {
  const QList<QWidget*> widgets = root_->findChildren<QWidget*>();
  for (QWidget* w : widgets) {
    if (auto* combo = qobject_cast<QComboBox*>(w)) {
      QObject::connect(combo, &QComboBox::currentIndexChanged, context_.get(), [this, combo](int index) {
        if (index >= 0) SendNotify(QStringLiteral("itemselect"), combo);
      });
    } else if (auto* edit = qobject_cast<QLineEdit*>(w)) {
      QObject::connect(edit, &QLineEdit::textChanged, context_.get(),
                       [this, edit] { SendNotify(QStringLiteral("textchanged"), edit); });
      QObject::connect(edit, &QLineEdit::returnPressed, context_.get(),
                       [this, edit] { SendNotify(QStringLiteral("return"), edit); });
    } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
      if (button->isCheckable()) {
        QObject::connect(button, &QAbstractButton::toggled, context_.get(),
                         [this, button] { SendNotify(QStringLiteral("selectchanged"), button); });
      } else {
        QObject::connect(button, &QAbstractButton::clicked, context_.get(),
                         [this, button] { SendNotify(QStringLiteral("click"), button); });
      }
    }
  }
}

void WindowImplBase::CenterWindow() {
  if (!root_) return;
  QScreen* screen = root_->screen() ? root_->screen() : QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  const QRect area = screen->availableGeometry();
  const QSize size = root_->frameGeometry().size();
  root_->move(area.center() - QPoint(size.width() / 2, size.height() / 2));
}

void WindowImplBase::ShowWindow(bool show, bool activate) {
  if (!root_) return;
  if (!show) {
    root_->hide();
    return;
  }
  if (root_->isMinimized()) root_->showNormal();
  root_->show();
  if (activate) {
    root_->raise();
    root_->activateWindow();
  }
  ScheduleWindowSnapshot(root_, GetWindowClassName());
}

int WindowImplBase::ShowModal() {
  if (!root_) return -1;
  root_->setWindowModality(Qt::ApplicationModal);
  root_->show();
  QEventLoop loop;
  modal_loop_ = &loop;
  loop.exec();
  modal_loop_ = nullptr;
  return close_result_;
}

void WindowImplBase::Close(int result) {
  close_result_ = result;
  PostMessage(kMsgClose, 0, 0);
}

QWidget* WindowImplBase::FindControl(const QString& name) const {
  if (!root_) return nullptr;
  if (root_->objectName() == name) return root_;
  return root_->findChild<QWidget*>(name);
}

QWidget* WindowImplBase::FindSubControlByName(QWidget* container, const QString& name) {
  if (container == nullptr) return nullptr;
  return container->findChild<QWidget*>(name);
}

bool WindowImplBase::SetTimer(uint32_t id, uint32_t elapseMs) {
  auto it = timers_.find(id);
  QTimer* timer = nullptr;
  if (it != timers_.end()) {
    timer = it->second;
  } else {
    timer = new QTimer(context_.get());
    QObject::connect(timer, &QTimer::timeout, context_.get(), [this, id] { SendMessage(kMsgTimer, id, 0); });
    timers_[id] = timer;
  }
  timer->start(static_cast<int>(elapseMs));
  return true;
}

void WindowImplBase::KillTimer(uint32_t id) {
  auto it = timers_.find(id);
  if (it == timers_.end()) return;
  it->second->stop();
  it->second->deleteLater();
  timers_.erase(it);
}

bool WindowImplBase::IsTimerRunning(uint32_t id) const {
  auto it = timers_.find(id);
  return it != timers_.end() && it->second->isActive();
}

bool WindowImplBase::PostMessage(uint32_t message, uintptr_t wparam, intptr_t lparam) {
  return PostTask([this, message, wparam, lparam] { SendMessage(message, wparam, lparam); });
}

bool WindowImplBase::PostTask(std::function<void()> task) { return Poster()(std::move(task)); }

WindowImplBase::TaskPoster WindowImplBase::Poster() const {
  std::shared_ptr<PostGate> gate = gate_;
  return [gate](std::function<void()> task) {
    std::lock_guard<std::mutex> l(gate->lock);
    if (gate->context == nullptr) return false;
    return QMetaObject::invokeMethod(
        gate->context, [task = std::move(task)] { task(); }, Qt::QueuedConnection);
  };
}

intptr_t WindowImplBase::SendMessage(uint32_t message, uintptr_t wparam, intptr_t lparam) {
  bool handled = false;
  return HandleMessage(message, wparam, lparam, handled);
}

void WindowImplBase::SendNotify(const QString& type, QWidget* sender) {
  TNotifyUI msg;
  msg.sType = type;
  msg.controlName = sender != nullptr ? sender->objectName() : QString();
  msg.pSender = sender;
  Notify(msg);
}

void WindowImplBase::ComboSetItems(QComboBox* combo, const QStringList& items) {
  if (combo == nullptr) return;
  const QSignalBlocker block(combo);
  combo->clear();
  combo->addItems(items);
  combo->setCurrentIndex(-1);
}

void WindowImplBase::ComboSelect(QComboBox* combo, int index) {
  if (combo == nullptr || index < 0 || index >= combo->count()) return;
  if (combo->currentIndex() == index) {
    SendNotify(QStringLiteral("itemselect"), combo);
  } else {
    combo->setCurrentIndex(index);
  }
}

int WindowImplBase::ComboFind(QComboBox* combo, const QString& text) {
  return combo == nullptr ? -1 : combo->findText(text, Qt::MatchExactly | Qt::MatchCaseSensitive);
}

void WindowImplBase::DestroyWindow() {
  for (auto& [id, timer] : timers_) {
    timer->stop();
    timer->deleteLater();
  }
  timers_.clear();
  if (root_) {
    QWidget* w = root_;
    root_ = nullptr;
    closing_ = true;
    w->hide();
    w->deleteLater();
  }
  if (modal_loop_ != nullptr) modal_loop_->quit();
  OnFinalMessage();  // may delete this
}

void SetBkImage(QWidget* widget, const QString& file) {
  auto* label = qobject_cast<QLabel*>(widget);
  if (label == nullptr) return;
  const QString path = QFileInfo(file).isAbsolute() ? file : QString::fromStdString(SkinFolder()) + file;
  label->setProperty("bkimage", file);
  QPixmap source(path);
  if (source.isNull()) {
    label->clear();
    return;
  }
  // Drawn at the screen's pixel density, with rounded corners.
  const qreal dpr = label->devicePixelRatioF();
  const QSize logical = label->size().isEmpty() ? label->minimumSize() : label->size();
  const QSize px = logical * dpr;
  QPixmap out(px);
  out.fill(Qt::transparent);
  {
    QPainter p(&out);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    QPainterPath clip;
    const qreal r = std::min(px.width(), px.height()) * 0.18;
    clip.addRoundedRect(QRectF(0, 0, px.width(), px.height()), r, r);
    p.setClipPath(clip);
    const QPixmap scaled = source.scaled(px, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
    p.drawPixmap((px.width() - scaled.width()) / 2, (px.height() - scaled.height()) / 2, scaled);
  }
  out.setDevicePixelRatio(dpr);
  label->setPixmap(out);
}

void PlayGif(QWidget* widget) {
  auto* label = qobject_cast<QLabel*>(widget);
  if (label == nullptr) return;
  QMovie* movie = label->movie();
  if (movie == nullptr) {
    QString file = label->property("gifFile").toString();
    if (file.isEmpty()) file = QStringLiteral("waiting.gif");
    movie = new QMovie(QString::fromStdString(SkinFolder()) + file, QByteArray(), label);
    label->setMovie(movie);
  }
  movie->start();
}

void StopGif(QWidget* widget) {
  auto* label = qobject_cast<QLabel*>(widget);
  if (label != nullptr && label->movie() != nullptr) label->movie()->stop();
}

bool IsGifPlaying(QWidget* widget) {
  auto* label = qobject_cast<QLabel*>(widget);
  return label != nullptr && label->movie() != nullptr && label->movie()->state() == QMovie::Running;
}

}  // namespace tillcast::ui
