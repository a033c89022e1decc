#include "wizard/frmCover.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPointer>
#include <QPushButton>
#include <QTextEdit>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>
#include <iterator>
#include <memory>

#include "app/mMisc.h"
#include "common/CWinReg.h"
#include "common/ClientConfig.h"
#include "common/Errors.h"
#include "common/FaxJob.h"
#include "common/Logging.h"
#include "platform/ui/Ui.h"
#include "wizard/CoverChoice.h"
#include "wizard/frmNew.h"
#include "wizard/frmSend.h"
#include "wizard/frmSender.h"

namespace brevant::wizard {
namespace {

QPointer<frmCover> g_page;
frmCover::FilePicker g_picker;

void LogError(const char* source) {
  ErrInfo e = CurrentError();
  WriteErrorLog(e.number, e.description, source);
}

// A file-open pattern as the desktop the wizard comes from matches it:
// without regard to case, and an extension of three letters also matches
// the longer ones that begin with it ("*.doc" shows "Letter.DOCX", "*.tif"
// shows "scan.tiff"); "*.*" shows every file.
QString DesktopPattern(const QString& pattern) {
  if (pattern == "*.*") return "*";
  QString out;
  for (QChar c : pattern) out += c.isLetter() ? QString("[%1%2]").arg(c.toLower(), c.toUpper()) : QString(c);
  const qsizetype dot = pattern.lastIndexOf('.');
  if (dot >= 0 && pattern.size() - dot - 1 == 3) out += '*';
  return out;
}

QString PickWithDialog(QWidget* owner) {
  std::unique_ptr<QFileDialog> dialog(frmCover::AttachmentDialog(owner));
  if (dialog->exec() != QDialog::Accepted || dialog->selectedFiles().isEmpty()) return QString();
  return dialog->selectedFiles().first();
}

}  // namespace

frmCover* frmCover::Load() {
  if (!g_page || g_page->Unloading()) g_page = new frmCover;
  return g_page;
}
frmCover* frmCover::Loaded() {
  return g_page && !g_page->Unloading() ? g_page.data() : nullptr;
}
void frmCover::SetFilePicker(FilePicker picker) {
  g_picker = std::move(picker);
}

QFileDialog* frmCover::AttachmentDialog(QWidget* owner) {
  // The filter texts are the ones users know; the patterns behind them
  // match as described at DesktopPattern.
  const std::pair<const char*, const char*> filters[] = {
      {"Documents ( *.doc,  *.pdf, *.txt, *.rtf, *.xls, *.xlw)", "*.doc;*.pdf;*.rtf;*.txt;*.xls;*.xlw"},
      {"Images (*.bmp, *.jpg, *.gif, *.tif)", "*.bmp;*.jpg;*.gif;*.tif"},
      {"All (*.*)", "*.*"}};
  QStringList named;
  for (const auto& [text, patterns] : filters) {
    QStringList matched;
    for (const QString& p : QString(patterns).split(';')) matched << DesktopPattern(p);
    named << QString("%1 (%2)").arg(text, matched.join(' '));
  }
  auto* dialog = new QFileDialog(owner, "Add attachment");
  dialog->setFileMode(QFileDialog::ExistingFile);
  dialog->setNameFilters(named);
  dialog->setOption(QFileDialog::HideNameFilterDetails);
  // Qt collapses the blanks of a filter's text; the list shows it as written.
  if (auto* types = dialog->findChild<QComboBox*>("fileTypeCombo"))
    for (int i = 0; i < types->count() && i < int(std::size(filters)); ++i)
      types->setItemText(i, filters[i].first);
  return dialog;
}

frmCover::frmCover() : WizardPage("frmCover", "Cover Page") {
  QVBoxLayout* body = BuildFrame(
      "Preparing the Cover Page",
      {"Select a cover page template, and type a subject line and note if required by the template. "
       "The information is automatically added to the cover page."});

  chkCover = new QCheckBox("Select a cover page template with the following information.");
  chkCover->setObjectName("chkCover");
  body->addWidget(chkCover);

  auto* grid = new QGridLayout;
  grid->setColumnStretch(1, 1);
  grid->setHorizontalSpacing(10);
  lblTemplate_ = new QLabel("Cover page template:");
  cbCover = new QComboBox;
  cbCover->setObjectName("cbCover");
  cbCover->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  cbCover->setMinimumContentsLength(16);
  lblTemplate_->setBuddy(cbCover);
  lblSubject_ = new QLabel("Subject line:");
  txtSubject = new QLineEdit;
  txtSubject->setObjectName("txtSubject");
  lblSubject_->setBuddy(txtSubject);
  lblNote_ = new QLabel("Note:");
  rtbNote = new QTextEdit;
  rtbNote->setObjectName("rtbNote");
  rtbNote->setAcceptRichText(false);
  rtbNote->setTabChangesFocus(true);
  lblNote_->setBuddy(rtbNote);
  Picture1 = new QLabel;
  Picture1->setObjectName("Picture1");
  Picture1->setFixedSize(112, 145);
  Picture1->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
  Picture1->setAlignment(Qt::AlignCenter);
  grid->addWidget(lblTemplate_, 0, 0);
  grid->addWidget(cbCover, 0, 1);
  grid->addWidget(lblSubject_, 1, 0);
  grid->addWidget(txtSubject, 1, 1);
  grid->addWidget(lblNote_, 2, 0, Qt::AlignTop);
  grid->addWidget(rtbNote, 2, 1);
  grid->addWidget(Picture1, 0, 2, 3, 1, Qt::AlignTop);
  body->addLayout(grid, 1);

  auto* attach = new QGridLayout;
  attach->setColumnStretch(1, 1);
  attach->setHorizontalSpacing(10);
  auto* lblAttach = new QLabel("Attachment:");
  lstAttachments = new QTreeWidget;
  lstAttachments->setObjectName("lstAttachments");
  lstAttachments->setRootIsDecorated(false);
  lstAttachments->setHeaderLabels({"Files"});
  lstAttachments->setAcceptDrops(true);
  lstAttachments->viewport()->installEventFilter(this);
  lstAttachments->setMinimumHeight(72);
  lblAttach->setBuddy(lstAttachments);
  cmdBrowse = new QPushButton("Add");
  cmdBrowse->setObjectName("cmdBrowse");
  cmdRemove = new QPushButton("Remove");
  cmdRemove->setObjectName("cmdRemove");
  attach->addWidget(lblAttach, 0, 0, Qt::AlignTop);
  attach->addWidget(lstAttachments, 0, 1, 3, 1);
  attach->addWidget(cmdBrowse, 0, 2);
  attach->addWidget(cmdRemove, 1, 2);
  attach->setRowStretch(2, 1);
  body->addLayout(attach, 1);

  cmdSender = new QPushButton("Sender Information...");
  cmdSender->setObjectName("cmdSender");
  auto* senderRow = new QHBoxLayout;
  senderRow->addWidget(cmdSender);
  senderRow->addStretch(1);
  body->addLayout(senderRow);
  FinishFrame("cmdBack", "cmdNext", "cmdCancel");

  connect(chkCover, &QCheckBox::clicked, this, [this] { chkCover_Click(); });
  connect(cbCover, &QComboBox::currentIndexChanged, this, [this] { cbCover_Click(); });
  connect(cmdBrowse, &QPushButton::clicked, this, [this] { cmdBrowse_Click(); });
  connect(cmdRemove, &QPushButton::clicked, this, [this] { cmdRemove_Click(); });
  connect(cmdSender, &QPushButton::clicked, this, [this] { cmdSender_Click(); });
  connect(next_, &QPushButton::clicked, this, [this] { cmdNext_Click(); });
  connect(back_, &QPushButton::clicked, this, [this] { cmdBack_Click(); });
  connect(cancel_, &QPushButton::clicked, this, [this] { cmdCancel_Click(); });
  resize(620, 500);

  try {
    Trace("frmCover->Form_Load");
    GetCoverPages();
    Trace("frmCover->Form_Load - END");
  } catch (...) {
    LogError("frmCover.Form_Load");
  }
}

void frmCover::FormUnload() {
  Trace("frmCover->Form_Unload");
}

void frmCover::GetCoverPages() {
  FillCoverList(cbCover, chkCover, "frmCover.GetCoverPages");
}

void frmCover::Activate() {
  try {
    Trace("frmCover->Form_Activate");
    FaxJobRecord& job = FaxJob();
    {
      CWinReg reg;
      if (reg.InitForRead(CWinReg::HKEY_CURRENT_USER, kPelorinKey)) {
        if (reg.GetString("SetCoverPage") != "0") {
          job.UseCover = true;
          job.FaxSubject = reg.GetString("CoverPageSubject");
          job.Note = reg.GetString("CoverPageNote");
        } else {
          job.UseCover = false;
        }
      }
    }
    SelectStoredCover();
    txtSubject->setText(Q(job.FaxSubject));
    rtbNote->setPlainText(Q(job.Note));
    lstAttachments->clear();
    for (std::size_t k = 1; k <= job.g_arrFiles.Count(); ++k)
      new QTreeWidgetItem(lstAttachments, QStringList{Q(job.g_arrFiles[k])});
    if (cbCover->count() > 0) {
      if (job.CoverIndex < 1)
        cbCover->setCurrentIndex(0);
      else if (job.CoverIndex < cbCover->count())
        cbCover->setCurrentIndex(job.CoverIndex);
    }
    chkCover->setChecked(job.UseCover);
    chkCover_Click();
    cbCover_Click();
    Trace("frmCover->Form_Activate - END");
  } catch (...) {
    LogError("frmCover.Form_Activate");
  }
}

void frmCover::chkCover_Click() {
  EnableCoverFields(chkCover->isChecked(), {cbCover, lblTemplate_, lblSubject_, lblNote_}, txtSubject,
                    rtbNote);
}

void frmCover::cbCover_Click() {
  try {
    ShowCoverPreview(cbCover, Picture1, "frmCover.cbCover_Click");
  } catch (...) {
    // the preview is a courtesy; the page stays usable without it
  }
}

void frmCover::AddAttachments(const QStringList& paths) {
  Run().SpoolPages = false;
  for (const QString& p : paths) new QTreeWidgetItem(lstAttachments, QStringList{p});
  NarrowColumn();
}

void frmCover::NarrowColumn() {
  // The file column stays 50 twips narrower than the list.
  lstAttachments->header()->setStretchLastSection(false);
  lstAttachments->setColumnWidth(0, std::max(0, lstAttachments->width() - 50 * logicalDpiX() / 1440));
}

namespace {
// Data that carries a file list: only local files, at least one.
bool IsFileList(const QMimeData* data) {
  if (!data->hasUrls() || data->urls().isEmpty()) return false;
  for (const QUrl& u : data->urls())
    if (!u.isLocalFile()) return false;
  return true;
}
}  // namespace

bool frmCover::eventFilter(QObject* watched, QEvent* event) {
  if (watched == lstAttachments->viewport()) {
    if (event->type() == QEvent::DragEnter || event->type() == QEvent::DragMove) {
      auto* e = static_cast<QDragMoveEvent*>(event);
      if (IsFileList(e->mimeData())) {
        e->setDropAction(Qt::CopyAction);
        e->accept();
      } else {
        e->ignore();
      }
      return true;
    }
    if (event->type() == QEvent::Drop) {
      auto* e = static_cast<QDropEvent*>(event);
      QStringList files;
      if (IsFileList(e->mimeData()))
        for (const QUrl& u : e->mimeData()->urls()) files << u.toLocalFile();
      if (!files.isEmpty()) {
        AddAttachments(files);
        e->setDropAction(Qt::CopyAction);
        e->accept();
      }
      return true;
    }
  }
  return WizardPage::eventFilter(watched, event);
}

void frmCover::cmdBrowse_Click() {
  try {
    Run().SpoolPages = false;
    QString file = g_picker ? g_picker(this) : PickWithDialog(this);
    file = Q(TrimBlanks(S(file)));
    if (!file.isEmpty()) new QTreeWidgetItem(lstAttachments, QStringList{file});
    NarrowColumn();
  } catch (...) {
    LogError("frmCover.cmdBrowse_Click");
  }
}

void frmCover::cmdRemove_Click() {
  Run().SpoolPages = false;
  QList<QTreeWidgetItem*> selected = lstAttachments->selectedItems();
  if (!selected.isEmpty()) delete selected.first();
}

void frmCover::SetProperties() {
  try {
    FaxJobRecord& job = FaxJob();
    std::string subject = TrimBlanks(S(txtSubject->text()));
    std::string note = TrimBlanks(S(rtbNote->toPlainText()));
    job.FaxSubject = subject;
    job.Note = note;
    bool on = chkCover->isChecked();
    int pos = cbCover->currentIndex();
    if (!on) {
      job.CoverIndex = 0;
      job.FaxSubject.clear();
      job.Note.clear();
    } else {
      job.CoverIndex = std::int16_t(pos + 1);
    }
    job.UseCover = on;
    job.g_arrFiles.Clear();
    for (int i = 0; i < lstAttachments->topLevelItemCount(); ++i)
      job.g_arrFiles.Append(S(lstAttachments->topLevelItem(i)->text(0)));
    {
      CWinReg reg;
      std::size_t entry = std::size_t(pos + 1);
      if (reg.InitForWrite(CWinReg::HKEY_CURRENT_USER, kUserInfoKey, true))
        reg.SetString("CoverPageFile", entry <= job.CoverPages.Count() ? job.CoverPages[entry] : "");
    }
    {
      CWinReg reg;
      if (reg.InitForWrite(CWinReg::HKEY_CURRENT_USER, kPelorinKey, true)) {
        reg.SetString("SetCoverPage", on ? "1" : "0");
        reg.SetString("CoverPageSubject", subject);
        reg.SetString("CoverPageNote", note);
      }
    }
  } catch (...) {
    LogError("frmCover.SetProperties");
  }
}

void frmCover::cmdNext_Click() {
  try {
    Trace("frmCover->cmdNext_Click");
    bool on = chkCover->isChecked();
    bool mayLeave =
        lstAttachments->topLevelItemCount() > 0 || (on && (!TrimBlanks(S(txtSubject->text())).empty() ||
                                                           !TrimBlanks(S(rtbNote->toPlainText())).empty()));
    if (!mayLeave) {
      ui::MsgBox(on ? "Please enter text in the Note and/or Subject field." : "Please add attachment.",
                 "Pelorin");
      return;
    }
    SetProperties();
    frmSend::Load()->ShowAt(this, true);
    hide();
    Trace("frmCover->cmdNext_Click - END");
  } catch (...) {
    LogError("frmCover.cmdNext_Click");
  }
}

void frmCover::cmdBack_Click() {
  try {
    Trace("frmCover->btnBack_Click");
    SetProperties();
    frmNew::Load()->ShowAt(this, true);
    hide();
    Trace("frmCover->btnBack_Click - END");
  } catch (...) {
    LogError("frmCover.btnBack_Click");
  }
}

void frmCover::cmdSender_Click() {
  try {
    Trace("frmCover->cmdSender_Click");
    SetProperties();
    // Not modal: the page stays usable while the details are edited.
    frmSender::Open(false)->ShowAt(nullptr, false);
    Trace("frmCover->cmdSender_Click - END");
  } catch (...) {
    // the page stays usable
  }
}

void frmCover::cmdCancel_Click() {
  try {
    Trace("frmCover->cmdCancel_Click");
    Unload();
    exitApp(0);
    Trace("frmCover->cmdCancel_Click - END");
  } catch (...) {
    LogError("frmCover.btnCancel_Click()");
  }
}

}  // namespace brevant::wizard
