#pragma once
// The mail store: the user's mail folders as Maildir folders (Maildir++
// layout: the Inbox is the root, every other folder a ".Name" folder beside
// it), each item one MIME message. What Brevant keeps on an item beyond plain
// mail (message class, user properties with their types, the MAPI
// properties that make an item look like a fax) travels in "X-Brevant-"
// headers, so another process, or another mail program, sees the same item.
//
// The store lives in BREVANT_MAILDIR when that is set, else ~/Maildir.
// Items are written atomically (tmp/, then renamed into cur/), so a process
// killed half-way never leaves half an item behind.
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace brevant::mail {

using DateTime = std::chrono::system_clock::time_point;

// The default folders, numbered as the mail client numbers them.
enum DefaultFolder : int {
  olFolderDeletedItems = 3,
  olFolderOutbox = 4,
  olFolderSentMail = 5,
  olFolderInbox = 6,
  olFolderCalendar = 9,
  olFolderContacts = 10,
  olFolderJournal = 11,
  olFolderNotes = 12,
  olFolderTasks = 13,
  olFolderDrafts = 16,
  olFolderJunk = 23,
};

// User property types.
enum PropertyType : int {
  olText = 1,
  olNumber = 3,
  olDateTime = 5,
  olYesNo = 6,
  olDuration = 7,
  olKeywords = 11,
  olPercent = 12,
  olCurrency = 14,
  olInteger = 20,
};

// Item types for creating items.
enum ItemType : int { olMailItem = 0, olPostItem = 6 };

// MAPI property tags Brevant writes on fax items.
namespace tag {
constexpr std::uint32_t ClientSubmitTime = 0x00390040;
constexpr std::uint32_t ReceivedByName = 0x0040001E;
constexpr std::uint32_t SentRepresentingName = 0x0042001E;
constexpr std::uint32_t ReceivedRepresentingName = 0x0044001E;
constexpr std::uint32_t SentRepresentingAddrType = 0x0064001E;
constexpr std::uint32_t SentRepresentingEmail = 0x0065001E;
constexpr std::uint32_t ReceivedByAddrType = 0x0075001E;
constexpr std::uint32_t ReceivedByEmail = 0x0076001E;
constexpr std::uint32_t ReceivedRepresentingAddrType = 0x0077001E;
constexpr std::uint32_t ReceivedRepresentingEmail = 0x0078001E;
constexpr std::uint32_t SenderName = 0x0C1A001E;
constexpr std::uint32_t SenderAddrType = 0x0C1E001E;
constexpr std::uint32_t SenderEmail = 0x0C1F001E;
constexpr std::uint32_t DisplayTo = 0x0E04001E;
constexpr std::uint32_t MessageDeliveryTime = 0x0E060040;
constexpr std::uint32_t Body = 0x1000001E;
constexpr std::uint32_t HtmlBody = 0x1013001E;
constexpr std::uint32_t IconIndex = 0x10800003;
constexpr std::uint32_t CreationTime = 0x30070040;
constexpr std::uint32_t AttachMimeTag = 0x370E001E;
constexpr std::uint32_t AttachContentId = 0x3712001E;
}  // namespace tag

struct Attachment {
  std::string displayName;  // what the mail program shows ("FaxImage")
  std::string fileName;     // file name part of the source path
  std::string mimeType;     // "image/tiff"; guessed from the name when empty
  std::string contentId;    // set for pictures the HTML body shows ("Page")
  std::string data;         // the bytes
};

struct UserProperty {
  std::string name;
  int type = olText;
  std::string value;  // text form: numbers in decimal, Yes/No as "True"/"False"
};

class MailItem {
 public:
  std::string MessageClass = "IPM.Note";
  std::string Subject;
  std::string To;
  std::string Body;
  std::string HTMLBody;
  bool UnRead = true;
  int Importance = 1;  // 0 low, 1 normal, 2 high
  DateTime CreationTime{};
  std::vector<Attachment> Attachments;

  // Adds a file by value at the front (position 1) with a display name.
  // Throws MailError 53 when the file cannot be read.
  Attachment& AddAttachmentFile(const std::string& path, const std::string& displayName);

  // User properties: Find returns null when the item has none of that name
  // (compared without regard to case).
  UserProperty* FindUserProperty(const std::string& name);
  const UserProperty* FindUserProperty(const std::string& name) const;
  UserProperty& AddUserProperty(const std::string& name, int type);
  std::vector<UserProperty> UserProperties;

  // MAPI properties by tag, as text (times as "yyyy-MM-dd HH:mm:ss" UTC,
  // numbers in decimal).
  std::map<std::uint32_t, std::string> Props;
  void SetProp(std::uint32_t tag, const std::string& value) { Props[tag] = value; }
  void SetProp(std::uint32_t tag, long value) { Props[tag] = std::to_string(value); }
  void SetProp(std::uint32_t tag, DateTime value);
  std::string GetProp(std::uint32_t tag) const;

  // Identity in the store; empty until the item is first saved.
  const std::string& EntryID() const { return entryId_; }
  const std::string& FolderEntryID() const { return folderId_; }
  // The file the item was last read from or written to.
  const std::string& FilePath() const { return path_; }

 private:
  friend class Folder;
  friend class Store;
  friend class Items;
  std::string entryId_, folderId_, path_, unique_;
};

class Folder;

// A restricted or full view of a folder's items. Counting is cheap; items
// are read from their files when asked for.
class Items {
 public:
  std::size_t Count() const { return files_.size(); }
  // 1-based, as the mail client numbers them. Throws MailError when the item
  // cannot be read.
  MailItem Item(std::size_t index) const;
  const std::string& File(std::size_t index) const { return files_.at(index - 1); }

 private:
  friend class Folder;
  friend class Store;
  std::string folderDir_, folderId_;
  std::vector<std::string> files_;  // relative: "cur/NAME"
};

class Folder {
 public:
  const std::string& Name() const { return name_; }
  // The folder's Maildir path (ends without "/").
  const std::string& Path() const { return dir_; }
  const std::string& EntryID() const { return id_; }

  Items AllItems() const;
  // The items matching a filter such as
  //   [MessageClass] = 'IPM.Note' And [FaxID] = '1234.tif'
  // Fields are the item's built-in fields (MessageClass, Subject, To, Body,
  // UnRead, Importance) and the user fields defined on the folder.
  // Throws MailError 13 for a filter that does not parse and for a field the
  // folder does not know.
  Items Restrict(const std::string& filter) const;

  // Writes the item into this folder (a new one gets its entry ID; an
  // existing one in this folder is replaced atomically). Throws MailError.
  void Save(MailItem& item) const;
  // Moves a saved item into this folder; the item's entry ID changes.
  void Move(MailItem& item) const;
  // Removes a saved item.
  void Delete(MailItem& item) const;

  // The user fields defined on the folder (name, type).
  std::vector<UserProperty> UserFields() const;
  void AddUserField(const std::string& name, int type) const;

 private:
  friend class Store;
  std::string name_, dir_, id_;
};

// Files items in batches (an import files hundreds at a time). While one
// is open in this process, Save leaves out the flush to disk of each item
// and keeps the folder's index up to date in memory only; Flush, and the
// end of the batch, appends each folder's new index lines in one write and
// flushes the file system once. Restrict sees every saved item throughout.
class SaveBatch {
 public:
  SaveBatch();
  ~SaveBatch();
  SaveBatch(const SaveBatch&) = delete;
  SaveBatch& operator=(const SaveBatch&) = delete;
  void Flush();
};

class Store {
 public:
  // The store at root (created when missing); "" = BREVANT_MAILDIR or ~/Maildir.
  explicit Store(const std::string& root = "");
  const std::string& Root() const { return root_; }
  static std::string DefaultRoot();

  // Throws MailError 5 for a number without a folder.
  Folder GetDefaultFolder(int number) const;
  // A folder by display name ("Sent Items"), created when missing.
  Folder GetFolder(const std::string& name) const;
  // Throws MailError 5 when no item has this entry ID.
  MailItem GetItemFromID(const std::string& entryId) const;
  // The folder holding an item entry ID or a folder entry ID.
  Folder FolderOfEntry(const std::string& entryId) const;
  // A new item not yet in any folder (save it into one).
  static MailItem CreateItem(int itemType);

 private:
  std::string root_;
};

// --- MIME form --------------------------------------------------------------

// Which form of an item ToMime writes: the store's form carries what Brevant
// keeps beyond plain mail in "X-Brevant-" headers; the form that leaves the
// machine (SMTP, a mail handed to another mail program) has none of them.
enum class MimeForm { Store, Outgoing };
// The item as a MIME message: the store's form with LF line ends, as
// Maildir files are on Linux, the outgoing form with CRLF. Either form has
// the headers a mail reader shows: From (the item's sender), To (its mail
// addresses, and its fax addresses "Name[Fax:number]" as
// "Name <number@fax.invalid>"), Date (its creation time) and Subject.
std::string ToMime(const MailItem& item, const std::string& from = "", MimeForm form = MimeForm::Store);
// Reads a MIME message (any mail, not only Brevant's). Throws MailError 13 when
// the text is not a message.
MailItem FromMime(const std::string& text);

// --- Sending ----------------------------------------------------------------

// The mail account to send through, as the program's settings give it
// (common/MailAccount.h reads them). Missing values: localhost, 25, none,
// user@hostname, no login, 30 s.
struct Account {
  std::string server = "localhost";
  int port = 25;
  std::string security = "none";  // "none" | "starttls" | "ssl"
  std::string sender;
  std::string user;
  std::string password;
  long timeoutSeconds = 30;
};

// The addresses of a "To" line ("a@b; c@d", "Name <a@b>") one by one.
std::vector<std::string> SplitAddresses(const std::string& to);

// Connects to the account's server and logs on (STARTTLS and the login when
// the account asks for them), then hangs up; sends nothing. Throws MailError
// with the reason when the server cannot be reached within timeoutSeconds
// or refuses the login.
void Logon(const Account& account, long timeoutSeconds);

// Sends the item over SMTP to every address of its To. Throws MailError with
// the server's or the connection's reason when the mail is not accepted.
void Send(const MailItem& item, const Account& account);

}  // namespace brevant::mail
