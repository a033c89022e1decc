#include "wizard/Form.h"

#include <QCloseEvent>
#include <QEventLoop>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>

#include "common/Logging.h"
#include "platform/ui/Ui.h"

namespace brevant::wizard {

QString Q(const std::string& s) {
  return QString::fromLocal8Bit(s.data(), qsizetype(s.size()));
}
std::string S(const QString& s) {
  return s.toLocal8Bit().toStdString();
}

std::string TrimBlanks(const std::string& s) {
  auto b = s.find_first_not_of(' ');
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

Form::Form(const char* name) {
  setObjectName(name);
  setAttribute(Qt::WA_DeleteOnClose, false);
  QPointer<Form> self(this);
  formId_ = ui::RegisterForm(
      name,
      [self] {
        if (self) self->Unload();
      },
      [self] {
        if (self) self->CloseRequested();
      });
}

Form::~Form() {
  if (formId_) ui::UnregisterForm(formId_);
}

void Form::Trace(const std::string& text) {
  WriteTraceLog(text, "");
}

void Form::Unload() {
  if (unloading_) return;
  unloading_ = true;
  // Out of the loaded forms first: the unload handler may end the run, and
  // the end of the run reports forms that are still loaded.
  ui::UnregisterForm(formId_);
  formId_ = 0;
  try {
    FormUnload();
  } catch (...) {
    // the handlers trap their own errors; nothing may stop the unload
  }
  hide();
  deleteLater();
}

void Form::ShowModal() {
  setWindowModality(Qt::ApplicationModal);
  show();
  // Nobody answers an unattended run: the window is closed as with Escape
  // (its Cancel), which ends the run the way it always ends.
  if (ui::Unattended()) {
    CloseRequested();
    return;
  }
  if (!isVisible()) return;
  QEventLoop loop;
  QPointer<Form> self(this);
  modalLoop_ = &loop;
  QObject::connect(this, &QObject::destroyed, &loop, &QEventLoop::quit);
  loop.exec();
  if (self) {
    self->modalLoop_ = nullptr;
    self->setWindowModality(Qt::NonModal);
  }
}

void Form::ShowAt(const QWidget* where, bool withSize) {
  if (where) {
    if (withSize) resize(where->size());
    move(where->pos());
  }
  show();
  raise();
  activateWindow();
}

void Form::showEvent(QShowEvent* e) {
  QDialog::showEvent(e);
  if (!e->spontaneous()) Activate();
}

void Form::hideEvent(QHideEvent* e) {
  QDialog::hideEvent(e);
  if (modalLoop_ && !e->spontaneous()) modalLoop_->quit();
}

void Form::closeEvent(QCloseEvent* e) {
  if (unloading_) {
    e->accept();
    return;
  }
  e->ignore();
  CloseBox();
}

void Form::reject() {
  CloseRequested();
}

WizardPage::WizardPage(const char* name, const char* title) : Form(name) {
  setWindowTitle(title);
  setSizeGripEnabled(false);
}

QVBoxLayout* WizardPage::BuildFrame(const QString& heading, const QStringList& explanation) {
  auto* outer = outer_ = new QVBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 0);
  outer->setSpacing(0);

  // Heading band, as wizards on every desktop draw it.
  auto* band = new QFrame;
  band->setObjectName("headerBand");
  band->setAutoFillBackground(true);
  QPalette pal = band->palette();
  pal.setColor(QPalette::Window, pal.color(QPalette::Base));
  band->setPalette(pal);
  auto* bandLayout = new QVBoxLayout(band);
  bandLayout->setContentsMargins(18, 12, 18, 12);
  auto* title = new QLabel(heading);
  title->setObjectName("lblHeading");
  QFont f = title->font();
  f.setBold(true);
  f.setPointSizeF(f.pointSizeF() * 1.15);
  title->setFont(f);
  bandLayout->addWidget(title);
  for (const QString& line : explanation) {
    auto* l = new QLabel(line);
    l->setWordWrap(true);
    l->setObjectName("lblExplanation");
    bandLayout->addWidget(l);
  }
  outer->addWidget(band);
  auto* rule = new QFrame;
  rule->setFrameShape(QFrame::HLine);
  rule->setFrameShadow(QFrame::Sunken);
  outer->addWidget(rule);

  auto* body = new QVBoxLayout;
  body->setContentsMargins(18, 12, 18, 8);
  outer->addLayout(body, 1);
  return body;
}

void WizardPage::FinishFrame(const char* backName, const char* nextName, const char* cancelName,
                             const QString& nextText) {
  QVBoxLayout* outer = outer_;

  auto* notice = new QLabel("PC must be connected to phone line!");
  notice->setObjectName("lblNotice");
  auto* noticeRow = new QHBoxLayout;
  noticeRow->setContentsMargins(18, 0, 18, 6);
  noticeRow->addWidget(notice);
  outer->addLayout(noticeRow);

  auto* rule2 = new QFrame;
  rule2->setFrameShape(QFrame::HLine);
  rule2->setFrameShadow(QFrame::Sunken);
  outer->addWidget(rule2);

  auto* buttons = new QHBoxLayout;
  buttons->setContentsMargins(18, 10, 18, 12);
  buttons->addStretch(1);
  back_ = new QPushButton("< Back");
  back_->setObjectName(backName);
  next_ = new QPushButton(nextText);
  next_->setObjectName(nextName);
  cancel_ = new QPushButton("Cancel");
  cancel_->setObjectName(cancelName);
  for (QPushButton* b : {back_, next_, cancel_})
    b->setMinimumWidth(b->fontMetrics().horizontalAdvance(b->text()) + 36);
  // Return presses the button that has the focus, as on the desktop the
  // wizard comes from; "Next >" only when the focus is elsewhere (a text
  // box, the list). Every push button of a page is an auto-default one.
  next_->setDefault(true);
  buttons->addWidget(back_);
  buttons->addWidget(next_);
  buttons->addSpacing(10);
  buttons->addWidget(cancel_);
  outer->addLayout(buttons);
}

}  // namespace brevant::wizard
