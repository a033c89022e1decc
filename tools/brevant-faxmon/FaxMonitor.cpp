#include "tools/brevant-faxmon/FaxMonitor.h"

#include <unistd.h>

#include <QApplication>
#include <QDateTime>
#include <QDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QImage>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QSortFilterProxyModel>
#include <QSpinBox>
#include <QStandardItemModel>
#include <QStatusBar>
#include <QStyledItemDelegate>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

#include "common/FaxServerConfig.h"
#include "faxservice/client/FaxService.h"
#include "faxservice/protocol/FaxTiff.h"
#include "platform/fs/Files.h"

namespace brevant::faxmon {

using faxsvc::Message;

namespace {

QString Q(const std::string& s) {
  return QString::fromStdString(s);
}

QString When(double t) {
  if (t <= 0) return {};
  return QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(t * 1000)).toString("yyyy-MM-dd HH:mm:ss");
}

QTableView* MakeTable(QAbstractItemModel* model, const char* name) {
  auto* v = new QTableView;
  v->setObjectName(name);
  v->setModel(model);
  v->setSelectionBehavior(QAbstractItemView::SelectRows);
  v->setSelectionMode(QAbstractItemView::SingleSelection);
  v->setEditTriggers(QAbstractItemView::NoEditTriggers);
  // Every column as wide as its widest entry (dates and line names whole),
  // the last one taking the rest.
  v->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
  v->horizontalHeader()->setStretchLastSection(true);
  v->verticalHeader()->hide();
  v->setSortingEnabled(true);
  return v;
}

// Draws the queue's progress column (pages sent of pages) as a bar.
class ProgressDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void paint(QPainter* p, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QStyleOptionProgressBar bar;
    bar.rect = option.rect.adjusted(2, 2, -2, -2);
    bar.minimum = 0;
    bar.maximum = std::max(1, index.data(Qt::UserRole + 1).toInt());
    bar.progress = index.data(Qt::UserRole).toInt();
    bar.text = index.data().toString();
    bar.textVisible = true;
    QApplication::style()->drawControl(QStyle::CE_ProgressBar, &bar, p);
  }
};

// A window's first size, no larger than the screen it opens on leaves free.
QSize OnScreen(const QSize& wanted) {
  const QScreen* s = QGuiApplication::primaryScreen();
  return s ? wanted.boundedTo(s->availableGeometry().size() * 0.95) : wanted;
}

int Selected(QTableView* view) {
  auto rows = view->selectionModel() ? view->selectionModel()->selectedRows() : QModelIndexList();
  return rows.isEmpty() ? -1 : rows.first().row();
}

// The viewer: one fax's pages, one at a time, with its report above. A fax
// is someone else's file: its pages are checked against the fax limits
// before any is shown, and only the page on screen is decoded, drawn
// straight at the width it is shown, so a file of many long pages costs
// no more than one.
class FaxViewer : public QDialog {
 public:
  static constexpr int kShownWidth = 700;

  // fd: the fax as the service handed it over (-1 when it could not,
  // with the reason in why).
  FaxViewer(int fd, const std::string& name, std::string why, const QString& report, QWidget* parent)
      : QDialog(parent) {
    setObjectName("faxViewer");
    setWindowTitle(tr("%1 - Pelorin Fax Monitor").arg(Q(name)));
    if (fd >= 0) reader_.Open(fd, &why);
    const int pages = reader_.Pages();
    auto* layout = new QVBoxLayout(this);
    auto* info = new QLabel(report.isEmpty() ? Q(name) : report);
    info->setObjectName("report");
    info->setWordWrap(true);
    layout->addWidget(info);
    auto* bar = new QHBoxLayout;
    page_ = new QSpinBox;
    page_->setObjectName("page");
    page_->setRange(1, std::max(1, pages));
    page_->setSuffix(tr(" of %1").arg(pages));
    bar->addWidget(new QLabel(tr("Page")));
    bar->addWidget(page_);
    bar->addStretch();
    layout->addLayout(bar);
    image_ = new QLabel;
    image_->setObjectName("image");
    auto* scroll = new QScrollArea;
    scroll->setWidget(image_);
    scroll->setWidgetResizable(true);
    layout->addWidget(scroll, 1);
    if (pages == 0) image_->setText(tr("The fax cannot be shown: %1").arg(Q(why)));
    connect(page_, &QSpinBox::valueChanged, this, [this](int n) { Show(n - 1); });
    Show(0);
    resize(OnScreen(QSize(760, 900)));
  }

 private:
  void Show(int index) {
    if (index < 0 || index >= reader_.Pages()) return;
    faxsvc::GreyImage grey;
    std::string why;
    if (!reader_.DrawPage(index, kShownWidth, &grey, &why)) {
      image_->setPixmap(QPixmap());
      image_->setText(tr("Page %1 cannot be shown: %2").arg(index + 1).arg(Q(why)));
      return;
    }
    const QImage img(grey.pixels.data(), grey.width, grey.height, grey.width, QImage::Format_Grayscale8);
    image_->setPixmap(QPixmap::fromImage(img));
  }
  faxsvc::FaxPageReader reader_;
  QSpinBox* page_;
  QLabel* image_;
};

}  // namespace

FaxMonitor::FaxMonitor(bool queueFirst, QWidget* parent) : QMainWindow(parent) {
  setObjectName("frmFaxMonitor");
  setWindowTitle(tr("Pelorin Fax Monitor"));
  devices_ = new QStandardItemModel(0, 7, this);
  devices_->setHorizontalHeaderLabels(
      {tr("Device"), tr("Kind"), tr("Station id"), tr("Answer"), tr("Rings"), tr("Line"), tr("Status")});
  t38Memory_ = new QStandardItemModel(0, 2, this);
  t38Memory_->setHorizontalHeaderLabels({tr("Number"), tr("Faxes go as")});
  queue_ = new QStandardItemModel(0, 7, this);
  queue_->setHorizontalHeaderLabels(
      {tr("Job"), tr("Number"), tr("Name"), tr("Status"), tr("Progress"), tr("Attempts"), tr("Reason")});
  failures_ = new QStandardItemModel(0, 6, this);
  failures_->setHorizontalHeaderLabels(
      {tr("Job"), tr("Date"), tr("Number"), tr("Name"), tr("Status"), tr("Reason")});
  // "Line": the line that carried the fax and how ("SIP alice@sip.example.net
  // (T.38, 14400 bit/s, ECM)", a modem's name and device).
  sent_ = new QStandardItemModel(0, 10, this);
  sent_->setHorizontalHeaderLabels({tr("Date"), tr("Number"), tr("Name"), tr("Subject"), tr("Pages"),
                                    tr("Bit rate"), tr("Duration"), tr("Remote id"), tr("Line"),
                                    tr("Result")});
  received_ = new QStandardItemModel(0, 7, this);
  received_->setHorizontalHeaderLabels(
      {tr("Date"), tr("From"), tr("Pages"), tr("Bit rate"), tr("Duration"), tr("Line"), tr("Result")});
  sentProxy_ = new QSortFilterProxyModel(this);
  sentProxy_->setSourceModel(sent_);
  receivedProxy_ = new QSortFilterProxyModel(this);
  receivedProxy_->setSourceModel(received_);
  for (auto* proxy : {sentProxy_, receivedProxy_}) {
    proxy->setFilterKeyColumn(-1);  // number, name and date alike
    proxy->setFilterCaseSensitivity(Qt::CaseInsensitive);
  }

  tabs_ = new QTabWidget;
  tabs_->setObjectName("tabs");

  // Devices.
  auto* devPage = new QWidget;
  auto* devLayout = new QVBoxLayout(devPage);
  devicesView_ = MakeTable(devices_, "lvDevices");
  devLayout->addWidget(devicesView_, 3);
  // What the SIP lines learnt of the numbers they called: those whose
  // calls went over T.38, and those called with audio because T.38 failed.
  t38MemoryLabel_ = new QLabel(tr("Fax over the internet: how calls to each number go"));
  t38MemoryLabel_->setObjectName("lblT38Memory");
  t38MemoryView_ = MakeTable(t38Memory_, "lvT38Memory");
  devLayout->addWidget(t38MemoryLabel_);
  devLayout->addWidget(t38MemoryView_, 1);
  auto* devButtons = new QHBoxLayout;
  auto* autoBtn = new QPushButton(tr("Answer automatically"));
  autoBtn->setObjectName("btnAutoAnswer");
  auto* manualBtn = new QPushButton(tr("Answer manually"));
  manualBtn->setObjectName("btnManualAnswer");
  auto* answerBtn = new QPushButton(tr("Answer now"));
  answerBtn->setObjectName("btnAnswer");
  devButtons->addWidget(autoBtn);
  devButtons->addWidget(manualBtn);
  devButtons->addWidget(answerBtn);
  devButtons->addStretch();
  // The lines themselves: a fax modem probed, added as a line, removed.
  auto* probeBtn = new QPushButton(tr("Probe modem..."));
  probeBtn->setObjectName("btnProbeModem");
  auto* addBtn = new QPushButton(tr("Add modem line..."));
  addBtn->setObjectName("btnAddLine");
  auto* removeBtn = new QPushButton(tr("Remove line"));
  removeBtn->setObjectName("btnRemoveLine");
  devButtons->addWidget(probeBtn);
  devButtons->addWidget(addBtn);
  devButtons->addWidget(removeBtn);
  devLayout->addLayout(devButtons);
  connect(autoBtn, &QPushButton::clicked, this, [this] { SetReceiveMode(faxsvc::kReceiveAuto); });
  connect(manualBtn, &QPushButton::clicked, this, [this] { SetReceiveMode(faxsvc::kReceiveManual); });
  connect(answerBtn, &QPushButton::clicked, this, [this] { AnswerCall(); });
  connect(probeBtn, &QPushButton::clicked, this, [this] {
    QString device = AskDevice(tr("Probe a fax modem"));
    if (!device.isEmpty()) statusBar()->showMessage(ProbeModem(device));
  });
  connect(addBtn, &QPushButton::clicked, this, [this] {
    QString device = AskDevice(tr("Add a fax modem line"));
    if (!device.isEmpty()) statusBar()->showMessage(AddLine(device));
  });
  connect(removeBtn, &QPushButton::clicked, this, [this] {
    int row = Selected(devicesView_);
    if (row >= 0) statusBar()->showMessage(RemoveLine(row));
  });

  // Outgoing queue.
  auto* queuePage = new QWidget;
  auto* queueLayout = new QVBoxLayout(queuePage);
  queueState_ = new QLabel;
  queueState_->setObjectName("lblQueueState");
  queueLayout->addWidget(queueState_);
  queueView_ = MakeTable(queue_, "lvQueue");
  queueView_->setItemDelegateForColumn(4, new ProgressDelegate(queueView_));
  queueLayout->addWidget(queueView_);
  auto* queueButtons = new QHBoxLayout;
  const std::pair<const char*, QString> actions[] = {{"pause", tr("Pause")},
                                                     {"resume", tr("Resume")},
                                                     {"cancel", tr("Cancel")},
                                                     {"restart", tr("Send again")}};
  for (const auto& [action, label] : actions) {
    auto* b = new QPushButton(label);
    b->setObjectName(QString("btn_") + action);
    connect(b, &QPushButton::clicked, this, [this, action] { QueueAction(action); });
    queueButtons->addWidget(b);
  }
  auto* toggle = new QPushButton(tr("Pause or resume the queue"));
  toggle->setObjectName("btnToggleQueue");
  connect(toggle, &QPushButton::clicked, this, [this] { ToggleQueue(); });
  queueButtons->addStretch();
  queueButtons->addWidget(toggle);
  queueLayout->addLayout(queueButtons);

  // Failed and cancelled faxes.
  auto* failPage = new QWidget;
  auto* failLayout = new QVBoxLayout(failPage);
  failuresView_ = MakeTable(failures_, "lvFailures");
  failLayout->addWidget(failuresView_);
  auto* resend = new QPushButton(tr("Send again"));
  resend->setObjectName("btnResendFailed");
  connect(resend, &QPushButton::clicked, this, [this] { ResendFailure(); });
  failLayout->addWidget(resend, 0, Qt::AlignLeft);

  tabs_->addTab(devPage, tr("Devices"));
  tabs_->addTab(queuePage, tr("Outgoing"));
  tabs_->addTab(ArchivePage(false), tr("Sent"));
  tabs_->addTab(ArchivePage(true), tr("Received"));
  tabs_->addTab(failPage, tr("Failed"));
  setCentralWidget(tabs_);
  if (queueFirst) tabs_->setCurrentIndex(1);
  resize(OnScreen(QSize(900, 560)));

  // The fax on the line now, whatever the tab: its recipient and page, with
  // a bar of the pages sent; hidden while no fax is being sent.
  transmission_ = new QLabel;
  transmission_->setObjectName("lblTransmission");
  transmissionBar_ = new QProgressBar;
  transmissionBar_->setObjectName("pbTransmission");
  transmissionBar_->setMaximumWidth(160);
  statusBar()->addPermanentWidget(transmission_);
  statusBar()->addPermanentWidget(transmissionBar_);
  transmission_->hide();
  transmissionBar_->hide();

  timer_ = new QTimer(this);
  connect(timer_, &QTimer::timeout, this, [this] { Refresh(); });
  timer_->start(1000);
  Refresh();
}

FaxMonitor::~FaxMonitor() = default;

QWidget* FaxMonitor::ArchivePage(bool incoming) {
  auto* page = new QWidget;
  auto* layout = new QVBoxLayout(page);
  auto* search = new QLineEdit;
  search->setObjectName(incoming ? "txtSearchReceived" : "txtSearchSent");
  search->setPlaceholderText(tr("Search by number, name or date"));
  search->setClearButtonEnabled(true);
  layout->addWidget(search);
  QSortFilterProxyModel* proxy = incoming ? receivedProxy_ : sentProxy_;
  connect(search, &QLineEdit::textChanged, proxy,
          [proxy](const QString& text) { proxy->setFilterFixedString(text); });
  QTableView* view = MakeTable(proxy, incoming ? "lvReceived" : "lvSent");
  layout->addWidget(view);
  auto* viewBtn = new QPushButton(tr("View"));
  viewBtn->setObjectName(incoming ? "btnViewReceived" : "btnViewSent");
  layout->addWidget(viewBtn, 0, Qt::AlignLeft);
  auto open = [this, incoming, view, proxy] {
    int row = Selected(view);
    if (row >= 0) ViewFax(incoming, proxy->mapToSource(proxy->index(row, 0)).row());
  };
  connect(viewBtn, &QPushButton::clicked, this, open);
  connect(view, &QTableView::doubleClicked, this, open);
  (incoming ? receivedSearch_ : sentSearch_) = search;
  (incoming ? receivedView_ : sentView_) = view;
  return page;
}

Message FaxMonitor::Call(const Message& request) {
  if (!server_) {
    auto s = std::make_unique<faxsvc::FaxServer>(faxsvc::ProgramFaxClient());
    s->Connect("");
    server_ = std::move(s);
  }
  try {
    return server_->Call(request);
  } catch (...) {
    server_.reset();  // reconnect next time: the service may have restarted
    throw;
  }
}

Message FaxMonitor::CallList(const Message& request) {
  Call(Message("hello"));  // connected (again) if need be
  try {
    return server_->CallList(request);
  } catch (...) {
    server_.reset();
    throw;
  }
}

bool FaxMonitor::Refresh() {
  try {
    Message devs = Call(Message("devices"));
    devices_->setRowCount(0);
    t38Memory_->setRowCount(0);
    bool memory = false;
    for (int i = 1; i <= devs.GetInt("count"); ++i) {
      Message d = devs.Item(i);
      static const char* modes[] = {"No", "Automatically", "Manually"};
      long long mode = d.GetInt("receive_mode");
      auto* name = new QStandardItem(Q(d.Get("name")));
      name->setData(static_cast<qlonglong>(d.GetInt("id")), Qt::UserRole);
      const std::string kind = d.Get("kind");
      devices_->appendRow({name,
                           new QStandardItem(kind == "sip"        ? tr("SIP")
                                             : kind == "modem"    ? tr("Modem")
                                             : kind == "loopback" ? tr("Loopback")
                                                                  : Q(kind)),
                           new QStandardItem(Q(d.Get("tsid"))),
                           new QStandardItem(mode >= 0 && mode <= 2 ? modes[mode] : "?"),
                           new QStandardItem(Q(d.Get("rings"))),
                           new QStandardItem(d.GetInt("ringing") ? tr("Ringing") : tr("Idle")),
                           new QStandardItem(Q(d.Get("status")))});
      // The service tells the administrators, with each SIP line, the one
      // memory all its SIP lines share: "5552002 T.38, 5553003 G.711".
      if (d.Has("t38_memory") && !memory) {
        memory = true;
        for (const QString& entry : Q(d.Get("t38_memory")).split(", ", Qt::SkipEmptyParts)) {
          const QString number = entry.section(' ', 0, 0), how = entry.section(' ', 1);
          t38Memory_->appendRow(
              {new QStandardItem(number),
               new QStandardItem(how == "G.711" ? tr("G.711 audio (T.38 did not work)") : how)});
        }
      }
    }
    t38MemoryLabel_->setVisible(memory);
    t38MemoryView_->setVisible(memory);
    queueState_->setText(Call(Message("queue_get")).Get("paused") == "1"
                             ? tr("The outgoing queue is paused.")
                             : tr("The outgoing queue is running."));
    // Changing devices and the queue is for the fax administrators; others
    // see their own faxes only.
    bool admin = server_ && server_->Administrator();
    for (const char* name : {"btnAutoAnswer", "btnManualAnswer", "btnAnswer", "btnToggleQueue",
                             "btnProbeModem", "btnAddLine", "btnRemoveLine"})
      if (auto* b = findChild<QPushButton*>(name)) b->setEnabled(admin);
    Message jobs = CallList(Message("jobs").Set("queue", "out").Set("all", "1"));
    queue_->setRowCount(0);
    failures_->setRowCount(0);
    Message sending;  // the job on the line, if any
    for (int i = 1; i <= jobs.GetInt("count"); ++i) {
      Message j = jobs.Item(i);
      long long status = j.GetInt("status");
      if (status == faxsvc::kJobInProgress && !sending.Has("id")) sending = j;
      if (status == faxsvc::kJobFailed || status == faxsvc::kJobRetriesExceeded ||
          status == faxsvc::kJobCanceled) {
        failures_->appendRow({new QStandardItem(Q(j.Get("id"))), new QStandardItem(When(j.GetReal("ended"))),
                              new QStandardItem(Q(j.Get("number"))), new QStandardItem(Q(j.Get("name"))),
                              new QStandardItem(Q(j.Get("queue_status"))),
                              new QStandardItem(Q(j.Get("error")))});
        continue;
      }
      if (status == faxsvc::kJobCompleted) continue;
      auto* progress = new QStandardItem(QString("%1 / %2").arg(Q(j.Get("pages_sent")), Q(j.Get("pages"))));
      progress->setData(static_cast<int>(j.GetInt("pages_sent")), Qt::UserRole);
      progress->setData(static_cast<int>(j.GetInt("pages")), Qt::UserRole + 1);
      queue_->appendRow({new QStandardItem(Q(j.Get("id"))), new QStandardItem(Q(j.Get("number"))),
                         new QStandardItem(Q(j.Get("name"))), new QStandardItem(Q(j.Get("queue_status"))),
                         progress, new QStandardItem(Q(j.Get("attempts"))),
                         new QStandardItem(Q(j.Get("error")))});
    }
    ShowTransmission(sending);
    Message sent = CallList(Message("archive").Set("folder", "out"));
    sent_->setRowCount(0);
    for (int i = 1; i <= sent.GetInt("count"); ++i) {
      Message s = sent.Item(i);
      auto* first = new QStandardItem(When(s.GetReal("ended")));
      first->setData(Q(s.Get("id")), Qt::UserRole);
      sent_->appendRow({first, new QStandardItem(Q(s.Get("number"))), new QStandardItem(Q(s.Get("name"))),
                        new QStandardItem(Q(s.Get("subject"))), new QStandardItem(Q(s.Get("pages"))),
                        new QStandardItem(Q(s.Get("bitrate"))),
                        new QStandardItem(QString::number(s.GetReal("duration"), 'f', 1) + " s"),
                        new QStandardItem(Q(s.Get("csid"))), new QStandardItem(Q(s.Get("modem"))),
                        new QStandardItem(Q(s.Get("result")))});
    }
    Message rec = CallList(Message("archive").Set("folder", "in"));
    received_->setRowCount(0);
    for (int i = 1; i <= rec.GetInt("count"); ++i) {
      Message r = rec.Item(i);
      auto* first = new QStandardItem(When(r.GetReal("ended")));
      first->setData(Q(r.Get("id")), Qt::UserRole);
      received_->appendRow({first, new QStandardItem(Q(r.Get("tsid"))), new QStandardItem(Q(r.Get("pages"))),
                            new QStandardItem(Q(r.Get("bitrate"))),
                            new QStandardItem(QString::number(r.GetReal("duration"), 'f', 1) + " s"),
                            new QStandardItem(Q(r.Get("modem"))), new QStandardItem(Q(r.Get("result")))});
    }
    // The newest failure of the event history goes to the status line.
    Message events = Call(Message("events").Set("since", lastEvent_));
    for (int i = 1; i <= events.GetInt("count"); ++i) {
      Message e = events.Item(i);
      lastEvent_ = std::max(lastEvent_, e.GetInt("id"));
      if (e.Get("kind") == "failed") statusBar()->showMessage(tr("Failed: %1").arg(Q(e.Get("text"))));
    }
    return true;
  } catch (const std::exception& e) {
    statusBar()->showMessage(tr("The fax service cannot be reached: %1").arg(e.what()));
    ShowTransmission(Message());
    return false;
  }
}

void FaxMonitor::ShowTransmission(const Message& job) {
  if (!job.Has("id")) {
    transmission_->hide();
    transmissionBar_->hide();
    return;
  }
  // The page on the line is the one after those the far end confirmed.
  const int pages = static_cast<int>(job.GetInt("pages"));
  const int sent = std::clamp(static_cast<int>(job.GetInt("pages_sent")), 0, std::max(pages, 0));
  transmission_->setText(tr("Sending fax to %1: page %2 of %3")
                             .arg(Q(job.Get("number")))
                             .arg(std::min(sent + 1, std::max(pages, 1)))
                             .arg(pages));
  transmissionBar_->setRange(0, std::max(pages, 1));
  transmissionBar_->setValue(sent);
  transmission_->show();
  transmissionBar_->show();
}

void FaxMonitor::ViewFax(bool incoming, int row) {
  QStandardItemModel* model = incoming ? received_ : sent_;
  if (row < 0 || row >= model->rowCount()) return;
  QStringList report;
  for (int c = 0; c < model->columnCount(); ++c)
    report << model->horizontalHeaderItem(c)->text() + ": " + model->item(row, c)->text();
  // The archives belong to the fax service: it opens the fax for us, if
  // it is ours to read.
  std::string id = model->item(row, 0)->data(Qt::UserRole).toString().toStdString();
  int fd = -1;
  std::string why;
  try {
    if (!server_) Call(Message("hello"));
    fd = server_->OpenFax(incoming, id);
  } catch (const std::exception& e) {
    why = e.what();
  }
  auto* viewer =
      new FaxViewer(fd, (incoming ? "received fax " : "sent fax ") + id, why, report.join("   "), this);
  platform::UniqueFd(fd).reset();  // the viewer has read what it shows
  viewer->setAttribute(Qt::WA_DeleteOnClose);
  viewer->show();
}

void FaxMonitor::QueueAction(const char* action) {
  int row = Selected(queueView_);
  if (row < 0) return;
  try {
    Call(Message("job_op").Set("id", queue_->item(row, 0)->text().toStdString()).Set("action", action));
  } catch (const std::exception& e) {
    statusBar()->showMessage(e.what());
  }
  Refresh();
}

void FaxMonitor::ResendFailure() {
  int row = Selected(failuresView_);
  if (row < 0) return;
  try {
    Call(Message("job_op").Set("id", failures_->item(row, 0)->text().toStdString()).Set("action", "restart"));
  } catch (const std::exception& e) {
    statusBar()->showMessage(e.what());
  }
  Refresh();
}

void FaxMonitor::ToggleQueue() {
  try {
    bool paused = Call(Message("queue_get")).Get("paused") == "1";
    Call(Message("queue_set").Set("paused", paused ? "0" : "1"));
  } catch (const std::exception& e) {
    statusBar()->showMessage(e.what());
  }
  Refresh();
}

void FaxMonitor::SetReceiveMode(int mode) {
  try {
    Call(Message("device_set").Set("id", SelectedDevice()).Set("receive_mode", mode));
  } catch (const std::exception& e) {
    statusBar()->showMessage(e.what());
  }
  Refresh();
}

void FaxMonitor::AnswerCall() {
  try {
    Call(Message("answer").Set("id", SelectedDevice()));
  } catch (const std::exception& e) {
    statusBar()->showMessage(e.what());
  }
  Refresh();
}

long long FaxMonitor::SelectedDevice() {
  int row = std::max(0, Selected(devicesView_));
  if (row >= devices_->rowCount()) return 0;
  return devices_->item(row, 0)->data(Qt::UserRole).toLongLong();
}

QString FaxMonitor::AskDevice(const QString& title) {
  bool ok = false;
  QString device = QInputDialog::getText(
      this, title, tr("The modem's device (a USB fax modem is /dev/ttyACM0 or /dev/ttyUSB0):"),
      QLineEdit::Normal, "/dev/ttyACM0", &ok);
  return ok ? device.trimmed() : QString();
}

QString FaxMonitor::ProbeModem(const QString& device) {
  try {
    Message r = Call(Message("modem_probe").Set("device", device.toStdString()));
    return tr("%1: %2, a Class 1 fax modem, up to %3 bit/s")
        .arg(device, Q(r.Get("modem")), Q(r.Get("max_rate")));
  } catch (const std::exception& e) {
    return Q(e.what());
  }
}

QString FaxMonitor::AddLine(const QString& device) {
  QString text;
  try {
    Message r = Call(Message("line_add").Set("device", device.toStdString()));
    text = tr("Line %1 added: %2 on %3, up to %4 bit/s")
               .arg(Q(r.Get("id")), Q(r.Get("modem")), device, Q(r.Get("max_rate")));
  } catch (const std::exception& e) {
    text = Q(e.what());
  }
  Refresh();
  return text;
}

QString FaxMonitor::RemoveLine(int row) {
  QString text;
  try {
    if (row < 0 || row >= devices_->rowCount()) return tr("No line is selected.");
    qlonglong id = devices_->item(row, 0)->data(Qt::UserRole).toLongLong();
    Call(Message("line_remove").Set("id", static_cast<long long>(id)));
    text = tr("Line %1 removed.").arg(id);
  } catch (const std::exception& e) {
    text = Q(e.what());
  }
  Refresh();
  return text;
}

}  // namespace brevant::faxmon
