#pragma once
// A private world for the fax item and import tests: a Maildir, the fax
// service's received store and sent archive named in the registry store,
// the sender details, and the console tool that turns a TIFF into
// "Fax.jpg" (the built quorrender when this tree has one, else a stand-in
// that checks the TIFF with tiffinfo and writes a small JPEG).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/mail/MailStore.h"
#include "tests/support/TestWorld.h"

namespace brevant::test {

class FaxWorld : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::string Store() const { return world.Root() + "/faxstore"; }
  std::string Archive() const { return world.Root() + "/faxarchive"; }
  // A real fax TIFF with these station ids; its time is hoursAgo before now.
  std::string AddFax(const std::string& folder, const std::string& name, const std::string& csid,
                     const std::string& tsid, double hoursAgo = 0);
  static void SetModified(const std::string& path, double hoursAgo);
  mail::Folder Folder(int number) const { return mail::Store().GetDefaultFolder(number); }
  std::vector<mail::MailItem> Items(int number) const;

  TestWorld world;
};

}  // namespace brevant::test
