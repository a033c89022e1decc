#pragma once
// The service's files: its state folder with the queue copies, the far-end
// station's faxes and incoming faxes being received, and the two archive
// folders the local-machine registry names (the received store, "Store
// Directory", and the sent archive, "ArchiveDirectory"; by default
// STATE/Received and STATE/Sent).
//
// Every folder the service writes into belongs to the service's user and
// nobody else may write to it (nor to the folder holding it, unless that
// one is sticky); a folder that fails the check is not used. Every file is
// made new (O_CREAT|O_EXCL|O_NOFOLLOW, mode 0600) through the descriptor of
// its checked folder and gets its final name only when complete, without
// replacing anything: nothing a user left behind is ever followed,
// overwritten or handed out.
#include <sys/types.h>

#include <string>

#include "platform/fs/Files.h"

namespace brevant::faxd {

// The largest document a client may hand over.
constexpr long long kMaxDocumentBytes = 64ll << 20;

// A checked folder, held open.
class Folder {
 public:
  // Opens path as a folder of the service, made with `mode` when missing.
  // With tighten, a folder of the service's user with a wider mode is
  // narrowed to `mode` (the service's own state folders); otherwise such a
  // folder is refused. False with *why.
  static bool Open(const std::string& path, mode_t mode, bool tighten, Folder* out, std::string* why);
  const std::string& Path() const { return path_; }
  int Fd() const { return fd_.get(); }

  // A new file of the folder, for reading and writing; -1 with *why.
  int Create(const std::string& name, std::string* why) const;
  // Starts a new file of the folder that is to be named `name` (written
  // as ".name.part"); false with *why.
  bool Begin(const std::string& name, platform::AtomicFile* file, std::string* why) const;
  // Gives the written file the name `name` (or name-2, name-3, ... when
  // taken: nothing is replaced); the name it got, "" with *why.
  std::string Publish(platform::AtomicFile& file, const std::string& name, std::string* why) const;
  // A regular file of the service in the folder, opened for reading; -1
  // with *why for anything else (a link, another user's file, a hard link).
  int OpenOwn(const std::string& name, std::string* why) const;

 private:
  platform::UniqueFd fd_;
  std::string path_;
};

class Archive {
 public:
  // Opens (making) the state folder and its queue/, farend/ and incoming/
  // folders, mode 0700; false with *why.
  bool Start(const std::string& stateDir, std::string* why);
  const Folder& Queue() const { return queue_; }
  const std::string& StateDir() const { return state_.Path(); }
  std::string FarEndDir() const { return farend_.Path(); }

  // A client's document, read from the descriptor it handed over (a
  // regular file of at most kMaxDocumentBytes, and of at most `limit`
  // bytes: the size it had when it was counted against its owner's share),
  // copied into a new file of the queue. Returns its path; throws Refused.
  std::string TakeDocument(int fd, const std::string& prefix, long long limit = kMaxDocumentBytes) const;
  // A new empty file of the queue or of incoming/; throws Refused.
  std::string NewQueueFile(const std::string& prefix) const;
  std::string NewIncomingFile(const std::string& prefix) const;

  // Files a copy of source (a file of the state folder) into the sent
  // archive or the received store as `name`, with the image description
  // set; *stored gets its full path. False with *why.
  bool File(bool sent, const std::string& source, const std::string& name, const std::string& description,
            std::string* stored, std::string* why) const;
  // A stored fax (a path the service recorded), opened for reading; -1
  // with *why.
  int OpenStored(const std::string& path, std::string* why) const;
  // The folders the registry names (or the defaults in the state folder).
  std::string StoreFolder() const;
  std::string ArchiveFolder() const;
  // Names the default folders (Received/ and Sent/ in the state folder) in
  // the registry where no folder is named yet, so that whoever reads the
  // faxes as files while the service does not run looks where the service
  // put them. A registry the service may not write leaves them unnamed.
  void RegisterFolders() const;

 private:
  std::string DefaultFolder(bool incoming) const;
  std::string NewFile(const Folder& folder, const std::string& prefix) const;
  Folder state_, queue_, farend_, incoming_;
};

}  // namespace brevant::faxd
