#include "tests/mail/FaxWorld.h"

#include <sys/stat.h>
#include <utime.h>

#include <chrono>
#include <filesystem>

#include "common/ClientConfig.h"
#include "common/FaxJob.h"
#include "common/MailSessions.h"
#include "faxservice/client/FaxService.h"
#include "faxservice/protocol/FaxTiff.h"
#include "tests/mail/MailTestSupport.h"

namespace fs = std::filesystem;

namespace brevant::test {

void FaxWorld::SetUp() {
  ::setenv("BREVANT_MAILDIR", (world.Root() + "/Maildir").c_str(), 1);
  fs::create_directories(Store());
  fs::create_directories(Archive());
  ASSERT_TRUE(faxsvc::RegisterFaxFolder(true, Store()) && faxsvc::RegisterFaxFolder(false, Archive()));
  if (!fs::exists(BinDir() + "/quorrender")) {  // else the real console tool of this tree
    std::string tool = world.Root() + "/quorrender";
    // A JPEG start-of-image, a marker and end-of-image: enough to be told apart.
    TestWorld::WriteFile(tool,
                         "#!/bin/sh\n"
                         "[ \"$1\" = \"convert;\" ] || exit 2\n"
                         "tiffinfo \"$2\" >/dev/null 2>&1 || exit 1\n"
                         "printf '\\377\\330\\377\\340standin\\377\\331' > \"$(dirname \"$2\")/Fax.jpg\"\n");
    fs::permissions(tool, fs::perms::owner_all);
    ::setenv("BREVANT_QUORRENDER", tool.c_str(), 1);
  }
  FaxJob().SenderFullName = "Fiona Fax";
  FaxJob().SenderfaxNumber = "+49 30 999";
  Config() = ClientConfig();
  mCommon::Dispose();
}

void FaxWorld::TearDown() {
  mCommon::Dispose();
  ::unsetenv("BREVANT_QUORRENDER");
}

std::string FaxWorld::AddFax(const std::string& folder, const std::string& name, const std::string& csid,
                             const std::string& tsid, double hoursAgo) {
  std::string path = folder + "/" + name;
  std::string why;
  faxsvc::FaxPage page = faxsvc::BlankPage();
  for (int x = 100; x < 400; ++x) page.pixels[static_cast<std::size_t>(200) * page.width + x] = 1;
  EXPECT_TRUE(faxsvc::WriteFaxTiff(path, {page}, "CSID=" + csid + "\nTSID=" + tsid, &why)) << why;
  SetModified(path, hoursAgo);
  return path;
}

void FaxWorld::SetModified(const std::string& path, double hoursAgo) {
  auto t = std::chrono::system_clock::now() - std::chrono::seconds(static_cast<long>(hoursAgo * 3600));
  std::time_t tt = std::chrono::system_clock::to_time_t(t);
  utimbuf times{tt, tt};
  ::utime(path.c_str(), &times);
}

std::vector<mail::MailItem> FaxWorld::Items(int number) const {
  return ItemsOf(Folder(number));
}

}  // namespace brevant::test
