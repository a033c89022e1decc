// Writes pictures of the shipped cover page templates (filled with a
// realistic fax) and of the two settings windows, for the documentation:
//   cover-screenshots OUTPUT_FOLDER TEMPLATE_FOLDER
// Run it with BREVANT_REGISTRY_DIR and BREVANT_PROGRAM_DIR pointing to a
// scratch folder: it writes the settings the windows show.
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QPushButton>
#include <QThread>
#include <cstdio>
#include <fstream>
#include <string>

#include "common/CWinReg.h"
#include "common/ClientConfig.h"
#include "common/Folders.h"
#include "receive/ui/frmConfigureClient.h"
#include "render/cover/CoverImage.h"
#include "render/cover/CoverPage.h"
#include "wizard/frmSetCover.h"

using namespace brevant;
using brevant::configui::frmConfigureClient;

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: cover-screenshots OUTPUT_FOLDER TEMPLATE_FOLDER\n");
    return 2;
  }
  QApplication app(argc, argv);
  QDir out(QString::fromLocal8Bit(argv[1]));
  out.mkpath(".");
  cover::CoverFields f{{"RecName", "Dr. Helena Markovic"},
                       {"RecFaxNumber", "+49 30 5557 1290"},
                       {"RecCompany", "Lindqvist & Partner Architects"},
                       {"SdrName", "Jonas Bergmann"},
                       {"SdrTitle", "Project Manager"},
                       {"SdrCompany", "Brevant Engineering GmbH"},
                       {"SdrAddress", "Hafenstrasse 12\n20457 Hamburg, Germany"},
                       {"SdrFaxNumber", "+49 40 5550 1999"},
                       {"SdrOfficePhone", "+49 40 5550 1900"},
                       {"SdrEmail", "j.bergmann@example.com"},
                       {"Subject", "Revised floor plans for building C"},
                       {"Note",
                        "Dear Dr. Markovic,\nplease find attached the revised floor plans for the "
                        "second and third storey. The stairwell has moved two metres to the east, "
                        "as agreed in Tuesday's meeting.\nKind regards, Jonas Bergmann"},
                       {"TimeSent", "2026-12-06 09:30"},
                       {"PageCount", "4"}};
  int failures = 0;
  QDir templates(QString::fromLocal8Bit(argv[2]));
  for (const QFileInfo& fi : templates.entryInfoList({"*.cov"}, QDir::Files, QDir::Name)) {
    std::vector<cover::Problem> problems;
    QImage image =
        cover::RenderCoverImage(fi.absoluteFilePath().toStdString(), f, QSize(620, 860), &problems);
    for (auto& p : problems) std::fprintf(stderr, "%s: %s\n", qPrintable(fi.fileName()), p.text.c_str());
    QString name = out.filePath("cover-" + fi.baseName().toLower() + ".png");
    if (image.isNull() || !image.save(name)) ++failures;
    // The fax page itself, as the receiver gets it.
    emf::Page page;
    if (cover::RenderPage(fi.absoluteFilePath().toStdString(), f, &page, nullptr)) {
      QImage fax(page.width, page.height, QImage::Format_Mono);
      fax.setColorTable({qRgb(255, 255, 255), qRgb(0, 0, 0)});
      for (int y = 0; y < page.height; ++y)
        std::copy_n(page.bits.data() + std::size_t(y) * page.Stride(), page.Stride(), fax.scanLine(y));
      fax.convertToFormat(QImage::Format_Grayscale8)
          .scaled(864, 1146, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
          .save(out.filePath("fax-" + fi.baseName().toLower() + ".png"));
    }
  }

  // The settings windows, showing a configured user's values.
  auto set = [](std::uint32_t root, const char* key, const char* value, const std::string& data) {
    CWinReg reg;
    if (reg.InitForWrite(root, key, true)) reg.SetString(value, data);
  };
  std::string folder = templates.absolutePath().toStdString();
  set(CWinReg::HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders",
      "Common AppData", folder);
  set(CWinReg::HKEY_CURRENT_USER, kUserInfoKey, "CoverPageFile", folder + "/Urgent.cov");
  set(CWinReg::HKEY_CURRENT_USER, kPelorinKey, "SetCoverPage", "1");
  set(CWinReg::HKEY_CURRENT_USER, kPelorinKey, "CoverPageSubject", "Revised floor plans for building C");
  set(CWinReg::HKEY_CURRENT_USER, kPelorinKey, "CoverPageNote",
      "Please check the stairwell dimensions before Friday.");
  {
    std::ofstream xml(GetProgramFolder() + "/FaxGroup.xml");
    xml << "<Groups><EmailFax>office@talvane.example</EmailFax><ReceiveAll>True</ReceiveAll>"
           "<ProgramType>1</ProgramType><FaxDevice></FaxDevice><CoverFolder></CoverFolder>"
           "<FaxGroupConnect>False</FaxGroupConnect></Groups>";
  }
  Config().FaxDevice = "faxhost";
  Config().ForwardEmail = "jonas@example.com";
  Config().InboxPath = "/home/jonas/Maildir/.Faxes";
  Config().SentPath = "/home/jonas/Maildir/.Sent Faxes";
  auto shoot = [&](QWidget& w, const char* file) {
    w.show();
    for (int i = 0; i < 20; ++i) {
      QApplication::processEvents();
      QThread::msleep(10);
    }
    if (!w.grab().save(out.filePath(file))) ++failures;
    w.hide();
  };
  {
    configui::frmConfigureClient dlg(nullptr);
    dlg.chkAllIncoming->setChecked(true);
    dlg.cmdDisconnect->setEnabled(true);
    shoot(dlg, "dialog-config.png");
  }
  {
    configui::frmSetCover dlg(nullptr);
    shoot(dlg, "dialog-setcover.png");
  }
  return failures == 0 ? 0 : 1;
}
