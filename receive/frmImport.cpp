#include "receive/frmImport.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "common/Logging.h"
#include "platform/ui/Ui.h"

namespace brevant {

namespace {

// The import's progress through a progress bar. Nothing cancels it: both
// buttons are disabled while it runs.
class BarProgress : public ImportProgress {
 public:
  explicit BarProgress(QProgressBar* bar) : bar_(bar) {}
  void Step() override {
    bar_->setValue(bar_->value() + 1);
    QApplication::processEvents();
  }
  bool Cancelled() override {
    QApplication::processEvents();
    return false;
  }

 private:
  QProgressBar* bar_;
};

void Trace(const char* text) {
  try {
    WriteTraceLog(text, "");
  } catch (...) {
  }
}

}  // namespace

frmImport::frmImport(long count, DateTime newest, QWidget* parent) : QDialog(parent), newest_(newest) {
  setObjectName("frmImport");
  setWindowTitle("Import Faxes");
  setWindowFlag(Qt::WindowStaysOnTopHint, true);
  auto* layout = new QVBoxLayout(this);
  Label1 = new QLabel("You have many faxes. Import faxes can take a lot of time.", this);
  Label1->setObjectName("Label1");
  optAll = new QRadioButton("Import all faxes.", this);
  optAll->setObjectName("optAll");
  optLast = new QRadioButton("Import last day faxes.", this);
  optLast->setObjectName("optLast");
  progress = new QProgressBar(this);
  progress->setObjectName("progress");
  OKButton = new QPushButton("Import", this);
  OKButton->setObjectName("OKButton");
  CancelButton = new QPushButton("Cancel", this);
  CancelButton->setObjectName("CancelButton");
  layout->addWidget(Label1);
  layout->addWidget(optAll);
  layout->addWidget(optLast);
  layout->addWidget(progress);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(OKButton);
  buttons->addWidget(CancelButton);
  layout->addLayout(buttons);

  OKButton->setEnabled(true);
  CancelButton->setEnabled(true);
  progress->setMinimum(0);
  progress->setMaximum(static_cast<int>(count));
  progress->setValue(0);
  optLast->setChecked(true);
  connect(OKButton, &QPushButton::clicked, this, [this] { OKButton_Click(); });
  connect(CancelButton, &QPushButton::clicked, this, [this] { CancelButton_Click(); });
}

void frmImport::OKButton_Click() {
  Trace("frmImport->OKButton_Click");
  OKButton->setEnabled(false);
  CancelButton->setEnabled(false);
  importing_ = true;
  BarProgress bar(progress);
  if (optLast->isChecked())
    ImportFaxes(true, &bar, newest_);
  else
    ImportFaxes(false, &bar, DateTime{});
  importing_ = false;
  hide();
  ui::MsgBox(kImportDoneText, "Pelorin");
  accept();
  Trace("frmImport->OKButton_Click - END");
}

void frmImport::CancelButton_Click() {
  Trace("frmImport->CancelButton_Click");
  reject();
  Trace("frmImport->CancelButton_Click - END");
}

void frmImport::reject() {
  if (!importing_) QDialog::reject();
}

void RegisterImportWindows() {
  SetImportWindows(
      [](long count, DateTime newest, const std::function<void()>& closed) {
        auto* dlg = new frmImport(count, newest);
        dlg->setAttribute(Qt::WA_DeleteOnClose);
        QObject::connect(dlg, &QDialog::finished, dlg, [closed] {
          if (closed) closed();
        });
        dlg->show();
      },
      [](long count, const std::function<void(ImportProgress*)>& run) {
        QDialog frmProgress;
        frmProgress.setObjectName("frmProgress");
        frmProgress.setWindowTitle("Import Faxes");
        auto* layout = new QVBoxLayout(&frmProgress);
        auto* bar = new QProgressBar(&frmProgress);
        bar->setObjectName("progress");
        bar->setMinimum(0);
        bar->setMaximum(static_cast<int>(count));
        bar->setValue(0);
        layout->addWidget(bar);
        frmProgress.show();
        BarProgress p(bar);
        run(&p);
        frmProgress.close();
      });
}

}  // namespace brevant
