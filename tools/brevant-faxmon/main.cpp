// brevant-faxmon: the fax service's console (devices, queue, sent and
// received faxes). "--queue" opens on the outgoing queue.
#include <QApplication>

#include "tools/brevant-faxmon/FaxMonitor.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  bool queueFirst = app.arguments().contains("--queue");
  brevant::faxmon::FaxMonitor monitor(queueFirst);
  monitor.show();
  return app.exec();
}
