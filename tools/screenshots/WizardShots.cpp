// Draws each wizard page and dialog with sample data and writes one PNG per
// window into the folder given as the first argument (scripts/screenshots
// runs it under Xvfb). Everything it stores goes to a private temporary
// world, never to the user's registry.
#include <stdlib.h>

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QTextEdit>
#include <QTimer>
#include <QTreeWidget>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/Init.h"
#include "app/WindowsModule.h"
#include "common/CWinReg.h"
#include "common/FaxJob.h"
#include "common/SenderInfo.h"
#include "wizard/QtWindows.h"
#include "wizard/frmCover.h"
#include "wizard/frmEditRecipient.h"
#include "wizard/frmFinish.h"
#include "wizard/frmNew.h"
#include "wizard/frmSend.h"
#include "wizard/frmSender.h"

namespace fs = std::filesystem;
using namespace brevant;
using namespace brevant::wizard;

namespace {

std::string g_out;

void Shot(QWidget* w, const char* name) {
  w->show();
  w->raise();
  for (int i = 0; i < 5; ++i) QApplication::processEvents();
  std::string path = g_out + "/" + name + ".png";
  if (!w->grab().save(QString::fromStdString(path)))
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
  else
    std::printf("%s\n", path.c_str());
}

void SetReg(std::uint32_t root, const char* key, const char* value, const std::string& data) {
  CWinReg reg;
  if (reg.InitForWrite(root, key, true)) reg.SetString(value, data);
}

void Sample(const std::string& world) {
  std::string covers = world + "/common/Coverpages";
  fs::create_directories(covers);
  const char* svg =
      "<svg xmlns='http://www.w3.org/2000/svg' width='850' height='1100'>"
      "<rect width='850' height='1100' fill='white'/>"
      "<rect x='60' y='60' width='730' height='150' fill='#1d3557'/>"
      "<text x='90' y='160' font-size='90' font-family='DejaVu Sans' fill='white'>FAX</text>"
      "<g stroke='#888' stroke-width='6'><line x1='60' y1='300' x2='790' y2='300'/>"
      "<line x1='60' y1='380' x2='790' y2='380'/><line x1='60' y1='460' x2='790' y2='460'/>"
      "<line x1='60' y1='540' x2='790' y2='540'/></g></svg>";
  for (const char* n : {"Generic.cov", "Urgent.cov", "Confidential.cov"})
    std::ofstream(covers + "/" + n) << svg;
  SetReg(CWinReg::HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders",
         "Common AppData", world + "/common");
  SetReg(CWinReg::HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Fax\\Setup", "ServerCoverPageDir", "Coverpages");
  const char* info = "Software\\Microsoft\\Fax\\UserInfo";
  SetReg(CWinReg::HKEY_CURRENT_USER, info, "FullName", "Ann Example");
  SetReg(CWinReg::HKEY_CURRENT_USER, info, "FaxNumber", "+49 30 1234 5679");
  SetReg(CWinReg::HKEY_CURRENT_USER, info, "MailBox", "ann@example.org");
  SetReg(CWinReg::HKEY_CURRENT_USER, info, "Company", "Norvane Trading");
  SetReg(CWinReg::HKEY_CURRENT_USER, info, "Title", "Buyer");
  SetReg(CWinReg::HKEY_CURRENT_USER, info, "OfficePhone", "+49 30 1234 5678");
  SetReg(CWinReg::HKEY_CURRENT_USER, info, "Address", "Hauptstrasse 1\n10115 Berlin");
  SetReg(CWinReg::HKEY_CURRENT_USER, "Software\\Norvane\\Pelorin", "SetCoverPage", "1");
  SetReg(CWinReg::HKEY_CURRENT_USER, "Software\\Norvane\\Pelorin", "CoverPageSubject", "Quarterly figures");
  SetReg(CWinReg::HKEY_CURRENT_USER, "Software\\Norvane\\Pelorin", "CoverPageNote",
         "Please find the figures for the third quarter attached.");
  FaxJobRecord& job = FaxJob();
  for (auto [name, number] :
       {std::pair{"Bob Miller", "+1 (555) 123-4567"}, std::pair{"Carol Jones", "555 9876"}}) {
    job.g_arrFaxName.Append(name);
    job.g_arrFaxNumber.Append(number);
  }
  job.g_arrFiles.Append("/home/ann/Documents/figures-q3.pdf");
  job.g_arrFiles.Append("/home/ann/Pictures/chart.png");
  job.FaxPriority = 1;
  job.FaxSchedule = 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s OUTPUT-FOLDER\n", argv[0]);
    return 2;
  }
  g_out = argv[1];
  fs::create_directories(g_out);
  std::string tmpl = (fs::temp_directory_path() / "brevant-shots-XXXXXX").string();
  std::string world = ::mkdtemp(tmpl.data());
  ::setenv("BREVANT_REGISTRY_DIR", (world + "/reg").c_str(), 1);
  ::setenv("BREVANT_PROGRAM_DIR", (world + "/prog").c_str(), 1);
  ::setenv("BREVANT_RUNTIME_DIR", (world + "/run").c_str(), 1);
  for (const char* d : {"/reg", "/prog", "/run"}) fs::create_directories(world + d);
  ::unsetenv("BREVANT_UNATTENDED");
  QApplication app(argc, argv);
  if (!QtWindows()) return 1;
  Sample(world);
  mCommon::GetSenderInfo();

  frmNew* page = frmNew::Load();
  Shot(page, "frmNew");
  page->lvRecipients->setCurrentItem(page->lvRecipients->topLevelItem(0));
  auto* edit = new frmEditRecipient(page);
  edit->txtName->setText("Bob Miller");
  edit->txtNumber->setText("+1 (555) 123-4567");
  Shot(edit, "frmEditRecipient");
  edit->Unload();
  page->Unload();

  frmCover* cover = frmCover::Load();
  cover->move(0, 0);
  Shot(cover, "frmCover");
  cover->hide();
  frmSend* send = frmSend::Load();
  Shot(send, "frmSend");
  send->Unload();
  FaxJob().FaxSubject = "Quarterly figures";
  FaxJob().CoverIndex = 1;
  frmFinish* finish = frmFinish::Load();
  Shot(finish, "frmFinish");
  finish->hide();
  frmSender* sender = frmSender::Open(false);
  Shot(sender, "frmSender");
  sender->hide();
  fs::remove_all(world);
  std::fflush(stdout);
  std::_Exit(0);  // the shots are written; skip tearing the windows down
}
