#pragma once
// The fax monitor: the fax service's console. Devices, the outgoing queue
// with each fax's progress (and the fax on the line, page by page, in the
// status line), the sent and received faxes (searchable by number, name and
// date, each viewable with its transmission report), and the faxes that
// failed or were cancelled with their reason.
#include <QMainWindow>
#include <memory>

class QLabel;
class QLineEdit;
class QProgressBar;
class QSortFilterProxyModel;
class QStandardItemModel;
class QTableView;
class QTabWidget;
class QTimer;

namespace brevant::faxsvc {
class FaxServer;
class Message;
}  // namespace brevant::faxsvc

namespace brevant::faxmon {

class FaxMonitor : public QMainWindow {
 public:
  explicit FaxMonitor(bool queueFirst = false, QWidget* parent = nullptr);
  ~FaxMonitor() override;

  // Reads everything again from the fax service; false (and a status line)
  // when it cannot be reached.
  bool Refresh();
  // Opens the viewer on a sent (incoming = false) or received fax, by row.
  void ViewFax(bool incoming, int row);
  // The fax lines (administrators): a modem line added on `device` after
  // the service probed it, what a modem says about itself, a line (by its
  // row in Devices()) removed. What the service answered, for the status
  // line: the new line and its modem, the modem's make and rates, or why
  // not.
  QString AddLine(const QString& device);
  QString ProbeModem(const QString& device);
  QString RemoveLine(int row);

  QStandardItemModel* Devices() const { return devices_; }
  // Number and how its calls go (T.38, or G.711 audio), while the service
  // reports the SIP lines' memory (to administrators).
  QStandardItemModel* T38Memory() const { return t38Memory_; }
  QStandardItemModel* Queue() const { return queue_; }
  QStandardItemModel* Sent() const { return sent_; }
  QStandardItemModel* Received() const { return received_; }
  QStandardItemModel* Failures() const { return failures_; }
  QSortFilterProxyModel* SentView() const { return sentProxy_; }
  QSortFilterProxyModel* ReceivedView() const { return receivedProxy_; }
  QLineEdit* SentSearch() const { return sentSearch_; }
  QLineEdit* ReceivedSearch() const { return receivedSearch_; }

 private:
  faxsvc::Message Call(const faxsvc::Message& request);
  // A list request over all its pages.
  faxsvc::Message CallList(const faxsvc::Message& request);
  void QueueAction(const char* action);
  void ResendFailure();
  void ToggleQueue();
  void SetReceiveMode(int mode);
  void AnswerCall();
  // The device id of the selected row of Devices() (the first when none is
  // selected), 0 when there is none.
  long long SelectedDevice();
  // Asks for a modem's device path; empty when cancelled.
  QString AskDevice(const QString& title);
  QWidget* ArchivePage(bool incoming);
  // The status line's part for the job on the line ("Sending fax to 555
  // 0101: page 2 of 3" and its bar); a job without an id hides it.
  void ShowTransmission(const faxsvc::Message& job);

  std::unique_ptr<faxsvc::FaxServer> server_;
  QTabWidget* tabs_ = nullptr;
  QStandardItemModel *devices_, *t38Memory_, *queue_, *sent_, *received_, *failures_;
  QSortFilterProxyModel *sentProxy_, *receivedProxy_;
  QLineEdit *sentSearch_ = nullptr, *receivedSearch_ = nullptr;
  QTableView *devicesView_ = nullptr, *queueView_ = nullptr, *failuresView_ = nullptr;
  QTableView* t38MemoryView_ = nullptr;
  QLabel* t38MemoryLabel_ = nullptr;
  QTableView *sentView_ = nullptr, *receivedView_ = nullptr;
  QLabel* queueState_ = nullptr;
  QLabel* transmission_ = nullptr;
  QProgressBar* transmissionBar_ = nullptr;
  QTimer* timer_ = nullptr;
  long long lastEvent_ = 0;
};

}  // namespace brevant::faxmon
