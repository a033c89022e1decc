#pragma once
// Fax items in the mail store: every sent, received or imported fax becomes
// a mail item with its pages as a picture in the HTML body, the TIFF
// attached as "FaxImage", its fax id in the user property "FaxID" and the
// MAPI properties of a fax address. A fax whose "FaxID" is already in the
// target folder is never filed again.
//
// Each item is put together completely and then filed with one atomic
// rename, so an item without its "FaxID" never appears in a folder, even
// when the process is killed half-way: a rerun files exactly what is
// missing.
#include <memory>
#include <optional>
#include <string>

#include "platform/mail/MailStore.h"

namespace brevant {

namespace faxsvc {
class FaxMessage;
}

// A received fax (a TIFF of the received store, or a message of the fax
// service) into the Inbox. Result not used by callers.
bool GenerateOutlookInboxFax(const std::string& tiffPath);
bool GenerateOutlookInboxFax(std::shared_ptr<faxsvc::FaxMessage> message);
// A sent fax into Sent Items.
bool GenerateOutlookSentFax(const std::string& tiffPath);
bool GenerateOutlookSentFax(std::shared_ptr<faxsvc::FaxMessage> message);

// True when the folder holds a fax item with this fax id.
bool OutlookFaxExists(const mail::Folder& folder, const std::string& faxId);
// The fax items of the folder with this fax id (any printable fax id when
// faxId is ""); defines the "FaxID" field on a folder that lacks it and
// tries once more. Nothing on a second failure.
std::optional<mail::Items> RestrictOutlookFaxes(const mail::Folder& folder, const std::string& faxId);
// Defines a user field on a folder through a throw-away item.
void AddUserProp2Folder(const mail::Folder& folder, long itemType, const std::string& propName, long propType,
                        const std::string& unused);

// Puts the first page of the TIFF into the item as a picture: the console
// tool's "convert;" writes "Fax.jpg", which becomes the inline attachment
// "Page" shown by the HTML body. False when the TIFF does not exist; a TIFF
// that cannot be converted leaves the item without a picture.
bool GenerateFaxMessage(const std::string& tiffPath, mail::MailItem& item);

// Runs a command (program and arguments) in a working folder and waits for
// its end; true when it started and ended. Waits at most timeoutMs (the
// process is ended after that).
bool SuperShell(const std::vector<std::string>& command, const std::string& workFolder,
                long timeoutMs = 120000);

// The plain text of a fax item, the alternative to its picture that mail
// readers without HTML show: whom the fax came from or went to (a station
// id, or "Name[Fax:number];" entries), the pages, the time and the
// subject. Pages 0 and the zero time are left out as unknown.
std::string FaxSummaryText(bool sent, const std::string& parties, long pages, mail::DateTime time,
                           const std::string& subject);
// The number of pages of a fax TIFF; 0 when it cannot be read.
long FaxPageCount(const std::string& tiffPath);

// The page HTML of a fax item: one picture from the attachment "Page".
inline constexpr const char* kPageHtml =
    "<HTML><BODY><P><IMG alt=Page1 align=baseline border=0 hspace=0 src=cid:Page></P></BODY></HTML>";
inline constexpr long kFaxIconIndex = 1545;

}  // namespace brevant
