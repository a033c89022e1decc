#include "maintenance/ui/MaintenanceForms.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

#include "Version.h"
#include "common/CWinReg.h"
#include "common/ClientConfig.h"
#include "common/Folders.h"
#include "common/Logging.h"
#include "maintenance/About.h"
#include "maintenance/BugReport.h"
#include "maintenance/Installation.h"
#include "maintenance/UpdateCheck.h"
#include "maintenance/ui/MaintenanceDialogs.h"
#include "platform/ui/Ui.h"
#include "render/WindowSystem.h"

namespace brevant {
namespace {

std::function<void()>& ExitHandler() {
  static std::function<void()> handler;
  return handler;
}

// Handler trace lines: "form->handler" on entry, " - END" appended on exit.
class Trace {
 public:
  explicit Trace(std::string what) : what_(std::move(what)) { Write(what_); }
  ~Trace() { Write(what_ + " - END"); }

 private:
  static void Write(const std::string& line) {
    try {
      WriteTraceLog(line, "");
    } catch (...) {
    }
  }
  std::string what_;
};

QLabel* NamedLabel(const char* name, const QString& text, QWidget* parent) {
  auto* l = new QLabel(text, parent);
  l->setObjectName(name);
  return l;
}

QPushButton* NamedButton(const char* name, const QString& text, QWidget* parent) {
  auto* b = new QPushButton(text, parent);
  b->setObjectName(name);
  return b;
}

// The product logo: a fax page leaving a tray.
QPixmap Logo() {
  QPixmap pm(72, 72);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  p.setBrush(QColor(0x1f, 0x4e, 0x8c));
  p.setPen(Qt::NoPen);
  p.drawRoundedRect(QRectF(4, 40, 64, 26), 6, 6);
  p.setBrush(Qt::white);
  p.setPen(QPen(QColor(0x33, 0x33, 0x33), 1.5));
  p.drawRect(QRectF(16, 6, 40, 44));
  p.setPen(QPen(QColor(0x77, 0x77, 0x77), 2));
  for (int y = 14; y <= 34; y += 6) p.drawLine(22, y, 50, y);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0xf2, 0xa9, 0x00));
  p.drawEllipse(QPointF(58, 53), 4, 4);
  return pm;
}

constexpr const char* kAboutCaption = "About Pelorin";
constexpr const char* kFaxModemWarning =
    "Warning: This application work only with fax-modem. You fax not installed or not correct setup. "
    "Please reinstall your fax.";

}  // namespace

// ---- FormDialog -------------------------------------------------------------

FormDialog::FormDialog(const char* name, QWidget* parent) : QDialog(parent) {
  setObjectName(name);
  formId_ = ui::RegisterForm(name, [this] { close(); });
}

FormDialog::~FormDialog() {
  Unload();
}

void FormDialog::Unload() {
  if (formId_) ui::UnregisterForm(formId_);
  formId_ = 0;
}

void FormDialog::done(int result) {
  Unload();
  QDialog::done(result);
}

void FormDialog::closeEvent(QCloseEvent* event) {
  QDialog::closeEvent(event);
  if (event->isAccepted()) Unload();
}

// ---- frmAbout ---------------------------------------------------------------

frmAbout::frmAbout(QWidget* parent) : FormDialog("frmAbout", parent) {
  Trace t("frmAbout->Form_Load");
  setAttribute(Qt::WA_DeleteOnClose);

  // One about box on the desktop: when a top-level window with its title is
  // there already (this program's, or another copy's in another session on
  // the same display), that one is shown in its normal state instead.
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (w != this && w->isVisible() && w->windowTitle() == kAboutCaption) {
      w->showNormal();
      w->raise();
      w->activateWindow();
      handedOver_ = true;
      return;
    }
  }
  render::WindowSystem& desktop = render::Windows();
  for (render::WindowSystem::Handle w : desktop.TopLevelWindows()) {
    if (desktop.Title(w) == kAboutCaption) {
      desktop.ShowNormal(w);
      handedOver_ = true;
      return;
    }
  }
  setWindowTitle(kAboutCaption);

  auto* image = new QLabel(this);
  image->setObjectName("Image1");
  image->setPixmap(Logo());
  auto* title = NamedLabel("lblTitle", "Pelorin", this);
  QFont f = title->font();
  f.setPointSizeF(f.pointSizeF() * 1.8);
  f.setBold(true);
  title->setFont(f);
  lblVersion_ = NamedLabel("lblVersion",
                           QString::fromStdString(AboutVersionText(BREVANT_VERSION_MAJOR,
                                                                   BREVANT_VERSION_MINOR, ProductVersion())),
                           this);
  labelUrl_ = NamedLabel("LabelURL", kProductWebPage, this);
  lblSupport_ = NamedLabel("lblSupport", kSupportAddress, this);
  for (QLabel* link : {labelUrl_, lblSupport_}) {
    link->setCursor(Qt::PointingHandCursor);
    link->setStyleSheet("color: #1f4e8c; text-decoration: underline;");
    link->installEventFilter(this);
  }

  auto* info = new QGridLayout;
  info->addWidget(title, 0, 0, 1, 2);
  info->addWidget(lblVersion_, 1, 0, 1, 2);
  info->addWidget(new QLabel("Home Page:", this), 2, 0);
  info->addWidget(labelUrl_, 2, 1);
  info->addWidget(new QLabel("For support:", this), 3, 0);
  info->addWidget(lblSupport_, 3, 1);
  info->setColumnStretch(1, 1);

  auto* top = new QHBoxLayout;
  top->addWidget(image, 0, Qt::AlignTop);
  top->addSpacing(12);
  top->addLayout(info, 1);

  auto* cmdBug = NamedButton("cmdBug", "Bug Report", this);
  auto* cmdUpdate = NamedButton("cmdUpdate", "Update", this);
  auto* cmdSysInfo = NamedButton("cmdSysInfo", "&System Info...", this);
  auto* cmdOK = NamedButton("cmdOK", "OK", this);
  cmdOK->setDefault(true);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(cmdBug);
  buttons->addWidget(cmdUpdate);
  buttons->addStretch(1);
  buttons->addWidget(cmdSysInfo);
  buttons->addWidget(cmdOK);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addSpacing(16);
  layout->addLayout(buttons);

  connect(cmdBug, &QPushButton::clicked, this, [] {
    Trace t("frmAbout->cmdBug_Click");
    MakeBugReport();
  });
  connect(cmdUpdate, &QPushButton::clicked, this, [this, cmdUpdate] {
    Trace t("frmAbout->cmdUpdate_Click");
    // Window messages run while the check waits, for as long as the service
    // takes; closing the about box gives the check up. One check at a time.
    QPointer<frmAbout> self(this);
    cmdUpdate->setEnabled(false);
    CheckForUpdate([self] { return !self || !self->isVisible(); });
    if (self) cmdUpdate->setEnabled(true);
  });
  connect(cmdSysInfo, &QPushButton::clicked, this, [] {
    Trace t("frmAbout->cmdSysInfo_Click");
    StartSysInfo();
  });
  connect(cmdOK, &QPushButton::clicked, this, [this] { cmdOK_Click(); });
}

void frmAbout::cmdOK_Click() {
  {
    Trace t("frmAbout->cmdOK_Click");
    close();
  }
  if (ExitHandler()) ExitHandler()();
}

bool frmAbout::eventFilter(QObject* watched, QEvent* event) {
  bool click = event->type() == QEvent::MouseButtonRelease;
  if (watched == labelUrl_ && (click || event->type() == QEvent::MouseButtonDblClick)) {
    Trace t("frmAbout->LabelURL_Click");
    OpenProductWebPage();
    return true;
  }
  if (watched == lblSupport_ && click) {
    Trace t("frmAbout->lblSupport_Click");
    OpenSupportMail();
    return true;
  }
  return QDialog::eventFilter(watched, event);
}

// ---- frmWarning -------------------------------------------------------------

frmWarning::frmWarning(QWidget* parent) : FormDialog("frmWarning", parent) {
  Trace t("frmWarning->Form_Load");
  setWindowTitle("Pelorin - Warning");
  setWindowFlag(Qt::WindowStaysOnTopHint, true);

  lblText_ = NamedLabel("lblText", kFaxModemWarning, this);
  lblText_->setWordWrap(true);
  lblText_->setMinimumWidth(360);
  auto* cmdOK = NamedButton("cmdOK", "OK", this);
  cmdOK->setDefault(true);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(cmdOK);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(lblText_);
  layout->addSpacing(12);
  layout->addLayout(buttons);

  connect(cmdOK, &QPushButton::clicked, this, [this] {
    Trace t("frmWarning->cmdOK_Click");
    accept();
  });
}

void frmWarning::SetMessage(const std::string& message) {
  if (message.empty()) return;
  lblText_->setText(QString::fromStdString("Warning:" + message));
}

// ---- frmRepair --------------------------------------------------------------

frmRepair::frmRepair(QWidget* parent)
    : FormDialog("frmRepair", parent), folder_(mInstallation::GetComponentFolder()) {
  Trace t("frmRepair->Form_Load");
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle("Repair Dialog");

  lblFileOK_ = NamedLabel("lblFileOK", "not testing", this);
  lblRegOk_ = NamedLabel("lblRegOk", "not testing", this);
  lblAddinOk_ = NamedLabel("lblAddinOk", "not testing", this);
  auto* rows = new QGridLayout;
  rows->addWidget(new QLabel("Check existing files:", this), 0, 0);
  rows->addWidget(lblFileOK_, 0, 1);
  rows->addWidget(new QLabel("Registeration dlls:", this), 1, 0);
  rows->addWidget(lblRegOk_, 1, 1);
  rows->addWidget(new QLabel("Check addins:", this), 2, 0);
  rows->addWidget(lblAddinOk_, 2, 1);
  rows->setColumnMinimumWidth(1, 160);
  rows->setHorizontalSpacing(24);

  okButton_ = NamedButton("OKButton", "Repair", this);
  cancelButton_ = NamedButton("CancelButton", "Close", this);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(okButton_);
  buttons->addWidget(cancelButton_);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(rows);
  layout->addSpacing(12);
  layout->addLayout(buttons);

  connect(okButton_, &QPushButton::clicked, this, [this] { OKButton_Click(); });
  connect(cancelButton_, &QPushButton::clicked, this, [this] { CancelButton_Click(); });
}

void frmRepair::OKButton_Click() {
  Trace t("frmRepair->OKButton_Click");
  okButton_->setEnabled(false);
  cancelButton_->setEnabled(false);
  auto run = [](QLabel* result, const std::function<QString()>& step) {
    result->setText("Testing");
    result->repaint();
    QCoreApplication::processEvents();
    result->setText(step());
  };
  run(lblFileOK_, [this] { return mInstallation::CheckFiles(folder_) ? "Ok" : "Error, need reinstall."; });
  run(lblRegOk_, [this] { return mInstallation::RegDll(folder_) ? "Ok" : "Error"; });
  run(lblAddinOk_, [] { return mInstallation::RegisterAddin() ? "Ok" : "Error"; });
  okButton_->setEnabled(true);
  cancelButton_->setEnabled(true);
}

void frmRepair::CancelButton_Click() {
  {
    Trace t("frmRepair->CancelButton_Click");
    close();
  }
  if (ExitHandler()) ExitHandler()();
}

// ---- entry points -----------------------------------------------------------

void SetMaintenanceExitHandler(std::function<void()> handler) {
  ExitHandler() = std::move(handler);
}

void ShowAboutBox() {
  auto* about = new frmAbout;
  if (about->HandedOver()) {
    // Closed as with OK: the run ends.
    about->deleteLater();
    if (ExitHandler()) ExitHandler()();
    return;
  }
  about->show();
}

void ShowWarningDialog(const std::string& message) {
  frmWarning warning;
  warning.SetMessage(message);
  warning.exec();
}

void ShowRepairDialog() {
  auto* repair = new frmRepair;
  repair->show();
}

}  // namespace brevant
