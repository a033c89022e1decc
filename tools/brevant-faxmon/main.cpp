// brevant-faxmon: the fax service's console (devices, queue, sent and
// received faxes). "--queue" opens on the outgoing queue; "--screenshot
// FILE.png" saves the window once it has read the service, then ends.
#include <QApplication>
#include <QTimer>

#include "tools/brevant-faxmon/FaxMonitor.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const QStringList args = app.arguments();
  bool queueFirst = args.contains("--queue");
  brevant::faxmon::FaxMonitor monitor(queueFirst);
  monitor.show();
  int shot = args.indexOf("--screenshot");
  if (shot >= 0 && shot + 1 < args.size()) {
    QString file = args[shot + 1];
    QTimer::singleShot(300, &monitor, [&monitor, file] {
      monitor.grab().save(file);
      QApplication::quit();
    });
  }
  return app.exec();
}
