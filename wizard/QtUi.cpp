#include "wizard/QtUi.h"

#include <QApplication>
#include <QEventLoop>
#include <QFrame>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QScreen>
#include <QSocketNotifier>
#include <QThread>
#include <QThreadPool>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "common/FaxJob.h"
#include "common/Logging.h"
#include "platform/ui/Ui.h"
#include "platform/ui/WindowRaise.h"

namespace brevant::wizard {
namespace {

QString Q(const std::string& s) {
  return QString::fromLocal8Bit(s.data(), qsizetype(s.size()));
}

QMessageBox::StandardButton ToButton(ui::Answer a) {
  switch (a) {
    case ui::Answer::Cancel:
      return QMessageBox::Cancel;
    case ui::Answer::Yes:
      return QMessageBox::Yes;
    case ui::Answer::No:
      return QMessageBox::No;
    default:
      return QMessageBox::Ok;
  }
}

// The threads of Qt's thread pools still running (Qt names each of them
// "Thread (pooled)").
int PooledThreads() {
  std::error_code ec;
  int n = 0;
  for (std::filesystem::directory_iterator it("/proc/self/task", ec), end; !ec && it != end;
       it.increment(ec)) {
    std::ifstream comm(it->path() / "comm");
    std::string name;
    n += std::getline(comm, name) && name == "Thread (pooled)";
  }
  return n;
}

class QtBackend : public ui::Backend {
 public:
  ui::Answer MessageBox(const std::string& text, const std::string& caption, ui::Buttons buttons,
                        ui::Icon icon, ui::Answer defaultAnswer) override {
    // Owned by the window in the front at this moment: ours when one of
    // ours is active, else whatever window of the desktop is.
    QWidget* active = QApplication::activeWindow();
    QMessageBox box(active);
    if (!active) GiveOwner(&box, ui::ForegroundWindow());
    box.setWindowTitle(Q(caption));
    box.setText(Q(text));
    switch (icon) {
      case ui::Icon::Information:
        box.setIcon(QMessageBox::Information);
        break;
      case ui::Icon::Warning:
        box.setIcon(QMessageBox::Warning);
        break;
      case ui::Icon::Critical:
        box.setIcon(QMessageBox::Critical);
        break;
      case ui::Icon::Question:
        box.setIcon(QMessageBox::Question);
        break;
      case ui::Icon::None:
        break;
    }
    switch (buttons) {
      case ui::Buttons::Ok:
        box.setStandardButtons(QMessageBox::Ok);
        break;
      case ui::Buttons::OkCancel:
        box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        break;
      case ui::Buttons::YesNo:
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        break;
      case ui::Buttons::YesNoCancel:
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
        break;
    }
    box.setDefaultButton(ToButton(defaultAnswer));
    switch (box.exec()) {
      case QMessageBox::Cancel:
        return ui::Answer::Cancel;
      case QMessageBox::Yes:
        return ui::Answer::Yes;
      case QMessageBox::No:
        return ui::Answer::No;
      case QMessageBox::Ok:
        return ui::Answer::Ok;
      default:
        return buttons == ui::Buttons::Ok ? ui::Answer::Ok : ui::Answer::Cancel;  // closed
    }
  }

  void DoEvents() override { QCoreApplication::processEvents(QEventLoop::AllEvents, 50); }

  void SetCursor(ui::Cursor c) override {
    if (c == ui::Cursor::Wait) {
      if (!waitCursor_) QApplication::setOverrideCursor(Qt::WaitCursor);
      waitCursor_ = true;
    } else if (waitCursor_) {
      QApplication::restoreOverrideCursor();
      waitCursor_ = false;
    }
  }

  void RunUntilWindowsClosed() override {
    if (AnyWindowOpen()) {
      QEventLoop loop;
      QTimer check;
      QObject::connect(&check, &QTimer::timeout, [&] {
        if (!AnyWindowOpen()) loop.quit();
      });
      check.start(50);
      loop.exec();
      // Forms unloaded at the end of the run are deleted before it ends.
      QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    EndOfRun();
  }

  // Painting large areas (a group box's frame) hands parts of the work to
  // the global thread pool, whose idle threads would otherwise still be
  // running while the process ends (the leak checker of a sanitizer build
  // fails on them); they are ended here. Qt's threads are detached, so
  // waitForDone may return while the last one is still on its way out: the
  // run goes on once they are all gone (2 seconds at the most).
  void EndOfRun() override {
    QThreadPool::globalInstance()->waitForDone();
    for (int i = 0; i < 200 && PooledThreads() > 0; ++i) QThread::msleep(10);
  }

  void ShowStatus(const std::string& text, unsigned long owner) override {
    if (owner == 0) return;
    MakeStatusWindow();
    statusText_->setText(Q(text));
    ShowStatusWindow();
  }

  void ShowProgress(const std::string&, long done, long total, unsigned long owner) override {
    if (owner == 0) return;
    MakeStatusWindow();
    if (total > 0) {
      statusBar_->setRange(0, int(total));
      statusBar_->setValue(int(std::clamp(done, 0L, total)));
      statusBar_->show();
    } else {
      statusBar_->hide();
    }
    ShowStatusWindow();
  }

  void CloseStatus() override {
    if (status_) status_->hide();
  }

 private:
  bool AnyWindowOpen() const {
    for (QWidget* w : QApplication::topLevelWidgets())
      if (w->isWindow() && w->isVisible() && w != status_.data() && w->windowType() != Qt::Popup &&
          w->windowType() != Qt::ToolTip)
        return true;
    return false;
  }

  // The status window of long operations: its text and, once a step count
  // is known, a bar with the steps done.
  void MakeStatusWindow() {
    if (status_) return;
    status_ = new QFrame;
    status_->setObjectName("frmStatus");
    status_->setWindowFlags(Qt::Tool | Qt::WindowStaysOnTopHint);
    status_->setWindowTitle("Pelorin");
    status_->setFrameStyle(QFrame::Box);
    auto* layout = new QVBoxLayout(status_);
    layout->setContentsMargins(16, 16, 16, 16);
    statusText_ = new QLabel(status_);
    statusText_->setObjectName("lblStatus");
    statusBar_ = new QProgressBar(status_);
    statusBar_->setObjectName("progress");
    statusBar_->setMinimumWidth(240);
    statusBar_->hide();
    layout->addWidget(statusText_);
    layout->addWidget(statusBar_);
  }

  void ShowStatusWindow() {
    status_->adjustSize();
    if (QScreen* s = QGuiApplication::primaryScreen())
      status_->move(s->availableGeometry().center() - status_->rect().center());
    status_->show();
    DoEvents();
  }

  bool waitCursor_ = false;
  QPointer<QFrame> status_;
  QLabel* statusText_ = nullptr;  // children of status_
  QProgressBar* statusBar_ = nullptr;
};

// Every top-level window the program shows without an owner of its own
// gets the owner window of the run (the window that was in the front when
// the program started). Windows kept above everything have none.
class OwnerGiver : public QObject {
 public:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::Show || !watched->isWidgetType()) return false;
    auto* w = static_cast<QWidget*>(watched);
    if (!w->isWindow() || w->parentWidget() || w->windowType() == Qt::Popup ||
        w->windowType() == Qt::ToolTip || w->windowType() == Qt::Tool ||
        (w->windowFlags() & Qt::WindowStaysOnTopHint))
      return false;
    if (QWindow* handle = w->windowHandle(); handle && !handle->transientParent())
      GiveOwner(w, Run().OwnerWindow);
    return false;
  }
};

// A later copy asked this one to bring its window (titled title, or any)
// to the front.
bool RaiseWindow(const std::string& title) {
  QWidget* found = nullptr;
  if (title.empty()) found = QApplication::activeModalWidget();
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (found) break;
    if (!w->isVisible() || w->windowType() == Qt::Popup || w->windowType() == Qt::ToolTip ||
        w->windowType() == Qt::Tool)
      continue;
    if (title.empty() || w->windowTitle() == Q(title)) found = w;
  }
  if (!found) return false;
  if (found->isMinimized()) found->showNormal();
  found->raise();
  found->activateWindow();
  return true;
}

int g_raiseSocket = -1;

void ListenForRaiseRequests() {
  g_raiseSocket = ui::ListenForRaise();
  if (g_raiseSocket < 0) return;
  auto* notifier = new QSocketNotifier(qintptr(g_raiseSocket), QSocketNotifier::Read, qApp);
  QObject::connect(notifier, &QSocketNotifier::activated,
                   [] { ui::ServeRaiseRequests(g_raiseSocket, &RaiseWindow); });
  std::atexit([] { ui::StopListening(g_raiseSocket); });
}

bool HaveDisplay() {
  auto set = [](const char* name) {
    const char* v = std::getenv(name);
    return v && *v;
  };
  return set("DISPLAY") || set("WAYLAND_DISPLAY") || set("QT_QPA_PLATFORM");
}

}  // namespace

bool EnsureQtUi() {
  static bool installed = false;
  if (installed) return true;
  if (!QCoreApplication::instance()) {
    if (!HaveDisplay()) {
      if (!ui::Unattended()) {
        WriteErrorLog(0, "No display: DISPLAY and WAYLAND_DISPLAY are not set", "Brevant.EnsureQtUi");
        return false;
      }
      ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    static int argc = 1;
    static char name[] = "brevant";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);  // lives until the process ends
  }
  QApplication::setQuitOnLastWindowClosed(false);
  static QtBackend backend;
  ui::SetBackend(&backend);
  static OwnerGiver owners;
  qApp->installEventFilter(&owners);
  if (!ui::Unattended()) ListenForRaiseRequests();
  installed = true;
  return true;
}

void GiveOwner(QWidget* window, ui::WindowHandle owner) {
  // Only X11 lets a program name another program's window as owner.
  if (!window || owner == 0 || QGuiApplication::platformName() != "xcb") return;
  static std::map<ui::WindowHandle, QWindow*> foreign;
  QWindow*& ownerWindow = foreign[owner];
  if (!ownerWindow) ownerWindow = QWindow::fromWinId(WId(owner));
  if (!ownerWindow) return;
  window->winId();  // the native window, so the owner is set before it is mapped
  if (QWindow* handle = window->windowHandle()) handle->setTransientParent(ownerWindow);
}

}  // namespace brevant::wizard
