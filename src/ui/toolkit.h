// The windows' toolkit: a thin layer over Qt 6 Widgets with the operations
// the windows are written against. A window's layout is a Qt Designer file
// in the skin folder, loaded at run time; a widget's object name is its
// control name. User actions reach the window as notifications ("click",
// "itemselect", "selectchanged", "textchanged", "return"), timers and posted
// messages reach it through HandleMessage on the UI thread.
//
// Threading: everything here runs on the UI thread, except PostMessage and
// PostTask, which any thread may call while the window object exists (and
// safely afterwards: posts to a destroyed window are dropped).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWidget>

#include "scanner/target_window.h"

class QComboBox;
class QEventLoop;
class QTimer;

namespace tillcast::ui {

// Window message numbers the windows use.
inline constexpr uint32_t kMsgClose = 16;           // WM_CLOSE
inline constexpr uint32_t kMsgCopyData = 74;        // WM_COPYDATA
inline constexpr uint32_t kMsgNcDoubleClick = 163;  // WM_NCLBUTTONDBLCLK
inline constexpr uint32_t kMsgTimer = 275;          // WM_TIMER, wparam = timer id
inline constexpr uint32_t kMsgLButtonDown = 0x201;  // tray callback lparam
inline constexpr uint32_t kMsgRButtonDown = 0x204;

// Window styles as the windows pass them to Create.
inline constexpr uint32_t kStyleAppWindow = 0x10CB0000;
inline constexpr uint32_t kExStyleWindowEdge = 0x100;
inline constexpr uint32_t kExStyleTopmost = 0x8;
inline constexpr uint32_t kExStyleToolWindow = 0x80;

// The product's display name: window titles and the tray tip.
QString ProductDisplayName();

// Resource path of the skin files (CPaintManagerUI::SetResourcePath); set
// once at start-up before any window exists. Defaults to
// GetInstancePath() + "skin/".
void SetSkinFolder(const std::string& folder);
std::string SkinFolder();
// The executable's folder with a trailing "/".
std::string GetInstancePath();

// One notification.
struct TNotifyUI {
  QString sType;        // "click", "itemselect", ...
  QString controlName;  // the sender's object name
  QWidget* pSender = nullptr;
};

// Message boxes with one OK button. Tests install a handler that answers
// them instead of a modal dialog; nullptr restores the dialog.
using MessageBoxHandler = std::function<void(const QString& text, const QString& caption)>;
void SetMessageBoxHandler(MessageBoxHandler handler);
void ShowMessageBox(QWidget* owner, const QString& text, const QString& caption);

// Whether a notification area exists (tests may pretend either way).
bool TrayAvailable();
void SetTrayAvailableForTest(int available);  // -1 = ask the system

class WindowImplBase;

// Builds a control tree from a layout file of the skin folder; unknown
// elements are offered to `callback`'s CreateControl. Null when the file
// cannot be read.
class CDialogBuilder {
 public:
  static QWidget* Create(const QString& file, WindowImplBase* callback, QWidget* parent);
};

// The base of every window. Not copyable. The object owns its widget tree.
class WindowImplBase : public TargetWindow {
 public:
  WindowImplBase();
  ~WindowImplBase() override;
  WindowImplBase(const WindowImplBase&) = delete;
  WindowImplBase& operator=(const WindowImplBase&) = delete;

  virtual QString GetWindowClassName() const = 0;
  virtual uint32_t GetClassStyle() const { return 11; }
  // Every message first; `handled` false passes it to the default handling
  // (timers and the close request).
  virtual intptr_t HandleMessage(uint32_t message, uintptr_t wparam, intptr_t lparam, bool& handled);
  // After the window has been destroyed (the widget tree is gone).
  virtual void OnFinalMessage() {}
  virtual void InitWindow() {}
  virtual QString GetSkinFile() = 0;
  virtual std::string GetSkinFolder() { return SkinFolder(); }
  virtual void Notify(TNotifyUI& msg);
  // Called for layout elements that are not standard widgets.
  virtual QWidget* CreateControl(const QString& className);

  // Loads the skin file and builds the window (owned by `owner` when not
  // null), then runs InitWindow. False when the layout cannot be loaded.
  bool Create(WindowImplBase* owner, const QString& title, uint32_t style, uint32_t exStyle);
  void CenterWindow();
  void ShowWindow(bool show = true, bool activate = true);
  // Runs a nested loop until the window closes; returns the Close result.
  int ShowModal();
  // Asks the window to close (kMsgClose through HandleMessage).
  void Close(int result = 1);
  // The top-level widget; null before Create and after destruction.
  QWidget* GetHWND() const { return root_; }
  bool IsWindow() const { return root_ != nullptr; }

  QWidget* FindControl(const QString& name) const;
  template <typename T>
  T* FindControl(const QString& name) const;
  static QWidget* FindSubControlByName(QWidget* container, const QString& name);

  // Timers by id, delivered as kMsgTimer with wparam = id.
  bool SetTimer(uint32_t id, uint32_t elapseMs);
  void KillTimer(uint32_t id);
  bool IsTimerRunning(uint32_t id) const;

  // Thread-safe: queues (message, wparam, lparam) for HandleMessage on the
  // UI thread. False once the window object is gone.
  bool PostMessage(uint32_t message, uintptr_t wparam, intptr_t lparam) override;
  // Thread-safe: runs `task` on the UI thread while the window exists.
  bool PostTask(std::function<void()> task);
  // PostTask as an object that may outlive the window (a worker the window
  // does not wait for): once the window is gone, tasks are dropped.
  using TaskPoster = std::function<bool(std::function<void()>)>;
  TaskPoster Poster() const;
  // UI thread: delivers a message now.
  intptr_t SendMessage(uint32_t message, uintptr_t wparam = 0, intptr_t lparam = 0);

  // Emits a notification to Notify (the widgets' signals use it too).
  void SendNotify(const QString& type, QWidget* sender);

  // Combo helpers: items replaced without notifications; selecting always
  // notifies "itemselect" (as a user's choice would).
  static void ComboSetItems(QComboBox* combo, const QStringList& items);
  void ComboSelect(QComboBox* combo, int index);
  // Index of the item whose text equals `text`, or -1.
  static int ComboFind(QComboBox* combo, const QString& text);

  // The result passed to Close.
  int close_result() const { return close_result_; }

 protected:
  // Destroys the widget tree and calls OnFinalMessage (the default handling
  // of kMsgClose).
  void DestroyWindow();

 private:
  struct PostGate;
  void WireSignals();
  QPointer<QWidget> root_;
  std::unique_ptr<QObject> context_;
  std::shared_ptr<PostGate> gate_;
  std::map<uint32_t, QTimer*> timers_;
  QEventLoop* modal_loop_ = nullptr;
  int close_result_ = 0;
  bool closing_ = false;
  friend class CloseFilter;
};

template <typename T>
T* WindowImplBase::FindControl(const QString& name) const {
  QWidget* w = FindControl(name);
  return w ? qobject_cast<T*>(w) : nullptr;
}

// Label helpers: a QLabel is the toolkit's text, picture and GIF control.
void SetBkImage(QWidget* label, const QString& file);  // a file of the skin folder or a full path
void PlayGif(QWidget* label);
void StopGif(QWidget* label);
bool IsGifPlaying(QWidget* label);

}  // namespace tillcast::ui
