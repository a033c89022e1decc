// quorrender-viewer: a TIFF shown page by page with zoom. Kept out of the
// console tool so only viewing loads the window libraries.
#include <QAction>
#include <QApplication>
#include <QImage>
#include <QKeySequence>
#include <QLabel>
#include <QMainWindow>
#include <QMessageBox>
#include <QPixmap>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStatusBar>
#include <QToolBar>
#include <algorithm>

#include "faxservice/protocol/FaxTiff.h"
#include "platform/env/Environment.h"

namespace {

class TiffViewer : public QMainWindow {
 public:
  explicit TiffViewer(const QString& path) {
    setWindowTitle(path.section('/', -1) + " - Pelorin Fax Viewer");
    image_ = new QLabel;
    image_->setObjectName("page");
    image_->setBackgroundRole(QPalette::Base);
    scroll_ = new QScrollArea;
    scroll_->setWidget(image_);
    scroll_->setAlignment(Qt::AlignCenter);
    setCentralWidget(scroll_);
    QToolBar* bar = addToolBar("Pages");
    bar->setObjectName("pages");
    Add(bar, "actPrevious", "&Previous", QKeySequence::MoveToPreviousPage, [this] { Show(page_ - 1); });
    Add(bar, "actNext", "&Next", QKeySequence::MoveToNextPage, [this] { Show(page_ + 1); });
    bar->addSeparator();
    Add(bar, "actZoomIn", "Zoom &In", QKeySequence::ZoomIn, [this] { Zoom(zoom_ * 1.25); });
    Add(bar, "actZoomOut", "Zoom &Out", QKeySequence::ZoomOut, [this] { Zoom(zoom_ / 1.25); });
    Add(bar, "actFitWidth", "Fit &Width", QKeySequence(Qt::CTRL | Qt::Key_0), [this] { FitWidth(); });
    // As tall as a page wants, on a screen that leaves room for it.
    const QScreen* screen = QGuiApplication::primaryScreen();
    resize(screen ? QSize(900, 1000).boundedTo(screen->availableGeometry().size() * 0.95) : QSize(900, 1000));
    std::string error;
    if (!reader_.Open(path.toStdString(), &error)) {
      error_ = QString::fromStdString(error);
      return;
    }
    Show(0);
    FitWidth();
  }
  const QString& Error() const { return error_; }

 private:
  template <class F>
  void Add(QToolBar* bar, const char* name, const QString& text, const QKeySequence& key, F f) {
    QAction* a = bar->addAction(text);
    a->setObjectName(name);
    a->setShortcut(key);
    connect(a, &QAction::triggered, this, f);
  }

  void Show(int index) {
    if (index < 0 || index >= reader_.PageCount()) return;
    brevant::faxsvc::GreyPage grey;
    std::string error;
    if (!reader_.ReadPage(index, &grey, &error)) {
      statusBar()->showMessage(QString::fromStdString(error));
      return;
    }
    QImage img(grey.pixels.data(), grey.width, grey.height, grey.width, QImage::Format_Grayscale8);
    page_ = index;
    // Fax pages have a lower vertical resolution: stretch them so the page
    // keeps its paper shape.
    double aspect = grey.xdpi > 0 && grey.ydpi > 0 ? grey.xdpi / grey.ydpi : 1.0;
    original_ =
        img.scaled(grey.width, int(grey.height * aspect), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    Zoom(zoom_);
    statusBar()->showMessage(QString("Page %1 of %2").arg(page_ + 1).arg(reader_.PageCount()));
  }

  void Zoom(double z) {
    zoom_ = std::clamp(z, 0.05, 8.0);
    if (original_.isNull()) return;
    QImage shown =
        original_.scaledToWidth(std::max(1, int(original_.width() * zoom_)), Qt::SmoothTransformation);
    image_->setPixmap(QPixmap::fromImage(shown));
    image_->resize(shown.size());
  }

  void FitWidth() {
    if (original_.isNull()) return;
    int room = scroll_->viewport()->width() - 4;
    Zoom(double(std::max(room, 50)) / original_.width());
  }

  brevant::faxsvc::TiffPageReader reader_;
  QLabel* image_ = nullptr;
  QScrollArea* scroll_ = nullptr;
  QImage original_;
  QString error_;
  int page_ = 0;
  double zoom_ = 1.0;
};

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  brevant::faxsvc::QuietLibTiff();
  if (argc < 2) {
    QMessageBox::warning(nullptr, "Pelorin", "No TIFF file was named.");
    return 2;
  }
  TiffViewer viewer(QString::fromLocal8Bit(argv[1]));
  if (!viewer.Error().isEmpty()) {
    if (brevant::platform::env::Get(brevant::platform::env::Var::Unattended) == "1") {
      fprintf(stderr, "%s\n", viewer.Error().toLocal8Bit().constData());
    } else {
      QMessageBox::warning(nullptr, "Pelorin", viewer.Error());
    }
    return 1;
  }
  viewer.show();
  // Tests look at the first page and leave.
  if (qEnvironmentVariableIntValue("QUORRENDER_VIEWER_SNAPSHOT") == 1) {
    app.processEvents();
    QString shot = qEnvironmentVariable("QUORRENDER_VIEWER_SNAPSHOT_FILE");
    if (!shot.isEmpty()) viewer.grab().save(shot);
    return 0;
  }
  return app.exec();
}
