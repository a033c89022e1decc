// The MIME form of an item, written and read with GMime, which is loaded on
// the first call (GMimeApi.h). Only this file sees GMime.
#include <algorithm>
#include <cstring>
#include <ctime>
#include <mutex>

#include "platform/mail/GMimeApi.h"
#include "platform/mail/MailError.h"
#include "platform/mail/MailStore.h"
#include "platform/mail/Mime_p.h"

namespace brevant::mail {

namespace {

void InitGMime() {
  static std::once_flag once;
  std::call_once(once, [] { g_mime_init(); });
}

// Header values are kept as one ASCII token: bytes outside printable ASCII,
// blanks, "%" and ";" are written as %XX so that folding, unfolding and
// charset handling of any mail program leave them as they were.
std::string Escape(const std::string& s) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  out.reserve(s.size());
  for (unsigned char c : s) {
    if (c <= 0x20 || c >= 0x7F || c == '%' || c == ';') {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string Unescape(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size()) {
      int a = HexDigit(s[i + 1]), b = HexDigit(s[i + 2]);
      if (a >= 0 && b >= 0) {
        out += static_cast<char>(a * 16 + b);
        i += 2;
        continue;
      }
    }
    if (s[i] == ' ' || s[i] == '\t' || s[i] == '\r' || s[i] == '\n') continue;  // folding
    out += s[i];
  }
  return out;
}

std::string Trim(const std::string& s) {
  auto b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  auto e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

std::string ToLf(std::string s) {
  s.erase(std::remove(s.begin(), s.end(), '\r'), s.end());
  return s;
}

struct Unref {
  void operator()(void* p) const {
    if (p) g_object_unref(p);
  }
};
template <class T>
using Ref = std::unique_ptr<T, Unref>;

GMimePart* NewPart(const std::string& mimeType, const std::string& data, bool text) {
  std::string type = mimeType, sub = "octet-stream";
  if (auto slash = mimeType.find('/'); slash != std::string::npos) {
    type = mimeType.substr(0, slash);
    sub = mimeType.substr(slash + 1);
  } else {
    type = "application";
  }
  GMimePart* part;
  if (text) {
    GMimeTextPart* tp = g_mime_text_part_new_with_subtype(sub.c_str());
    g_mime_text_part_set_text(tp, data.c_str());  // sets charset utf-8 when needed
    part = GMIME_PART(tp);
    g_mime_part_set_content_encoding(part, GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE);
    return part;
  }
  part = g_mime_part_new_with_type(type.c_str(), sub.c_str());
  Ref<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(data.data(), data.size()));
  Ref<GMimeDataWrapper> wrapper(
      g_mime_data_wrapper_new_with_stream(stream.get(), GMIME_CONTENT_ENCODING_DEFAULT));
  g_mime_part_set_content(part, wrapper.get());
  g_mime_part_set_content_encoding(part, GMIME_CONTENT_ENCODING_BASE64);
  return part;
}

std::string PartBytes(GMimePart* part) {
  GMimeDataWrapper* w = g_mime_part_get_content(part);
  if (!w) return "";
  Ref<GMimeStream> mem(g_mime_stream_mem_new());
  g_mime_data_wrapper_write_to_stream(w, mem.get());
  GByteArray* arr = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(mem.get()));
  return std::string(reinterpret_cast<const char*>(arr->data), arr->len);
}

std::string Header(GMimeObject* obj, const char* name) {
  const char* v = g_mime_object_get_header(obj, name);
  return v ? v : "";
}

void SetHeader(GMimeObject* obj, const char* name, const std::string& value) {
  g_mime_object_set_header(obj, name, value.c_str(), nullptr);
}

void Walk(GMimeObject* obj, MailItem& item, bool inRelated) {
  if (GMIME_IS_MULTIPART(obj)) {
    GMimeMultipart* mp = GMIME_MULTIPART(obj);
    GMimeContentType* ct = g_mime_object_get_content_type(obj);
    bool related = ct && g_mime_content_type_is_type(ct, "multipart", "related");
    int n = g_mime_multipart_get_count(mp);
    for (int i = 0; i < n; ++i) Walk(g_mime_multipart_get_part(mp, i), item, related || inRelated);
    return;
  }
  if (GMIME_IS_MESSAGE_PART(obj)) {
    GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(obj));
    Attachment a;
    a.mimeType = "message/rfc822";
    a.fileName = "message.eml";
    a.displayName = a.fileName;
    if (inner) {
      Ref<GMimeStream> mem(g_mime_stream_mem_new());
      g_mime_object_write_to_stream(GMIME_OBJECT(inner), nullptr, mem.get());
      GByteArray* arr = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(mem.get()));
      a.data.assign(reinterpret_cast<const char*>(arr->data), arr->len);
    }
    item.Attachments.push_back(std::move(a));
    return;
  }
  if (!GMIME_IS_PART(obj)) return;
  GMimePart* part = GMIME_PART(obj);
  GMimeContentType* ct = g_mime_object_get_content_type(obj);
  const char* cid = g_mime_object_get_content_id(obj);
  bool attachment = g_mime_part_is_attachment(part) || (cid && *cid && inRelated);
  bool isHtml = ct && g_mime_content_type_is_type(ct, "text", "html");
  bool isPlain = ct && g_mime_content_type_is_type(ct, "text", "plain");
  if (!attachment && GMIME_IS_TEXT_PART(obj) && (isHtml || isPlain)) {
    char* text = g_mime_text_part_get_text(GMIME_TEXT_PART(obj));
    std::string s = text ? text : "";
    g_free(text);
    if (isHtml && item.HTMLBody.empty()) {
      item.HTMLBody = ToLf(s);
      return;
    }
    if (isPlain && item.Body.empty()) {
      item.Body = ToLf(s);
      return;
    }
  }
  Attachment a;
  if (ct) {
    char* mt = g_mime_content_type_get_mime_type(ct);
    a.mimeType = mt ? mt : "application/octet-stream";
    g_free(mt);
  }
  const char* fn = g_mime_part_get_filename(part);
  a.fileName = fn ? fn : "";
  const char* desc = g_mime_part_get_content_description(part);
  std::string stored = Header(obj, "X-Brevant-DisplayName");
  a.displayName = !stored.empty() ? Unescape(Trim(stored)) : desc ? desc : a.fileName;
  a.contentId = cid ? cid : "";
  a.data = PartBytes(part);
  item.Attachments.push_back(std::move(a));
}

std::string FormatUtc(DateTime t) {
  std::time_t tt = std::chrono::system_clock::to_time_t(t);
  std::tm tm{};
  gmtime_r(&tt, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}

// A fax address as a mailbox a mail reader shows: the number's digits (and
// a leading "+") at the reserved domain "fax.invalid", which no mail
// server delivers to, so a reply cannot go astray.
void AddFaxMailbox(GMimeMessage* msg, GMimeAddressType type, const std::string& name,
                   const std::string& number) {
  std::string local;
  for (char c : number)
    if (std::isdigit(static_cast<unsigned char>(c)) || (c == '+' && local.empty())) local += c;
  if (local.empty() || local == "+") local = "fax";
  std::string shown = name.empty() ? number : name;
  g_mime_message_add_mailbox(msg, type, shown.c_str(), (local + "@fax.invalid").c_str());
}

void AddAddresses(GMimeMessage* msg, GMimeAddressType type, const std::string& text) {
  InternetAddressList* l = internet_address_list_parse(nullptr, text.c_str());
  if (!l) return;
  internet_address_list_append(g_mime_message_get_addresses(msg, type), l);
  g_object_unref(l);
}

}  // namespace

std::string FormatPropTime(DateTime t) {
  return FormatUtc(t);
}

std::string MimeTypeForName(const std::string& name) {
  auto dot = name.find_last_of('.');
  std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
  for (auto& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (ext == "tif" || ext == "tiff") return "image/tiff";
  if (ext == "jpg" || ext == "jpeg") return "image/jpeg";
  if (ext == "png") return "image/png";
  if (ext == "gif") return "image/gif";
  if (ext == "pdf") return "application/pdf";
  if (ext == "txt") return "text/plain";
  if (ext == "htm" || ext == "html") return "text/html";
  if (ext == "xml") return "text/xml";
  return "application/octet-stream";
}

std::string ToMime(const MailItem& item, const std::string& from, MimeForm form) {
  InitGMime();
  Ref<GMimeMessage> msg(g_mime_message_new(TRUE));
  GMimeObject* top = GMIME_OBJECT(msg.get());

  // From: the given sender, else the item's sender (a fax address unless
  // it is a mail address).
  if (from.empty()) {
    std::string name = item.GetProp(tag::SenderName);
    std::string addr = item.GetProp(tag::SenderEmail);
    if (addr.find('@') != std::string::npos)
      g_mime_message_add_mailbox(msg.get(), GMIME_ADDRESS_TYPE_FROM, name.c_str(), addr.c_str());
    else if (!name.empty() || !addr.empty())
      AddFaxMailbox(msg.get(), GMIME_ADDRESS_TYPE_FROM, name, addr);
  } else {
    AddAddresses(msg.get(), GMIME_ADDRESS_TYPE_FROM, from);
  }
  // To: every part of the To text that is a mail address or a fax address
  // ("Name[Fax:number]"); a bare name is the one the item was received by,
  // with its fax number when the item has one.
  for (const std::string& a : SplitAddresses(item.To)) {
    auto fax = a.rfind("[Fax:");
    if (fax != std::string::npos && a.back() == ']') {
      std::string number = a.substr(fax + 5, a.size() - fax - 6);
      if (!number.empty()) AddFaxMailbox(msg.get(), GMIME_ADDRESS_TYPE_TO, a.substr(0, fax), number);
    } else if (a.find('@') != std::string::npos) {
      AddAddresses(msg.get(), GMIME_ADDRESS_TYPE_TO, a);
    } else if (a == item.GetProp(tag::ReceivedByName) && !item.GetProp(tag::ReceivedByEmail).empty()) {
      AddFaxMailbox(msg.get(), GMIME_ADDRESS_TYPE_TO, a, item.GetProp(tag::ReceivedByEmail));
    }
  }
  g_mime_message_set_subject(msg.get(), item.Subject.c_str(), "utf-8");
  DateTime when = item.CreationTime == DateTime{} ? std::chrono::system_clock::now() : item.CreationTime;
  GDateTime* gd = g_date_time_new_from_unix_utc(std::chrono::system_clock::to_time_t(when));
  g_mime_message_set_date(msg.get(), gd);
  g_date_time_unref(gd);
  char* mid = g_mime_utils_generate_message_id("brevant.localhost");
  g_mime_message_set_message_id(msg.get(), mid);
  g_free(mid);

  SetHeader(top, "Importance", item.Importance == 2 ? "High" : item.Importance == 0 ? "Low" : "Normal");
  // The store's own headers describe the item to Brevant and stay on this
  // machine: another server learns nothing of fax ids or user properties.
  if (form == MimeForm::Store) {
    SetHeader(top, "X-Brevant-MessageClass", Escape(item.MessageClass));
    SetHeader(top, "X-Brevant-To", Escape(item.To));
    for (const auto& p : item.UserProperties)
      g_mime_object_append_header(
          top, "X-Brevant-UserProperty",
          (Escape(p.name) + ";" + std::to_string(p.type) + ";" + Escape(p.value)).c_str(), nullptr);
    for (const auto& [t, v] : item.Props) {
      char hex[16];
      std::snprintf(hex, sizeof hex, "%08X", t);
      g_mime_object_append_header(top, "X-Brevant-Prop", (std::string(hex) + ";" + Escape(v)).c_str(),
                                  nullptr);
    }
  }

  // Body: plain, HTML, or both as alternatives; pictures the HTML shows go
  // with it in a multipart/related; the rest as attachments in a mixed.
  Ref<GMimeObject> body;
  if (!item.HTMLBody.empty() && !item.Body.empty()) {
    GMimeMultipart* alt = g_mime_multipart_new_with_subtype("alternative");
    Ref<GMimePart> p(NewPart("text/plain", item.Body, true));
    Ref<GMimePart> h(NewPart("text/html", item.HTMLBody, true));
    g_mime_multipart_add(alt, GMIME_OBJECT(p.get()));
    g_mime_multipart_add(alt, GMIME_OBJECT(h.get()));
    body.reset(GMIME_OBJECT(alt));
  } else if (!item.HTMLBody.empty()) {
    body.reset(GMIME_OBJECT(NewPart("text/html", item.HTMLBody, true)));
  } else {
    body.reset(GMIME_OBJECT(NewPart("text/plain", item.Body, true)));
  }
  bool hasInline = false, hasAttach = false;
  for (const auto& a : item.Attachments) (a.contentId.empty() ? hasAttach : hasInline) = true;
  auto makePart = [form](const Attachment& a, bool inlined) {
    std::string type = a.mimeType.empty() ? MimeTypeForName(a.fileName) : a.mimeType;
    GMimePart* part = NewPart(type, a.data, false);
    g_mime_part_set_filename(part, a.fileName.empty() ? a.displayName.c_str() : a.fileName.c_str());
    // Mail readers list an attachment by its description when it has one:
    // in the store they show the file name ("Fax.jpg"), and the display
    // name ("Page") waits in a header of its own for Brevant to read.
    if (!a.displayName.empty() && a.displayName != a.fileName) {
      if (form == MimeForm::Store)
        SetHeader(GMIME_OBJECT(part), "X-Brevant-DisplayName", Escape(a.displayName));
      else
        g_mime_part_set_content_description(part, a.displayName.c_str());
    }
    g_mime_object_set_disposition(GMIME_OBJECT(part), inlined ? "inline" : "attachment");
    if (inlined) g_mime_object_set_content_id(GMIME_OBJECT(part), a.contentId.c_str());
    return part;
  };
  if (hasInline) {
    GMimeMultipart* rel = g_mime_multipart_new_with_subtype("related");
    g_mime_multipart_add(rel, body.get());
    for (const auto& a : item.Attachments)
      if (!a.contentId.empty()) {
        Ref<GMimePart> p(makePart(a, true));
        g_mime_multipart_add(rel, GMIME_OBJECT(p.get()));
      }
    body.reset(GMIME_OBJECT(rel));
  }
  if (hasAttach) {
    GMimeMultipart* mixed = g_mime_multipart_new_with_subtype("mixed");
    g_mime_multipart_add(mixed, body.get());
    for (const auto& a : item.Attachments)
      if (a.contentId.empty()) {
        Ref<GMimePart> p(makePart(a, false));
        g_mime_multipart_add(mixed, GMIME_OBJECT(p.get()));
      }
    body.reset(GMIME_OBJECT(mixed));
  }
  g_mime_message_set_mime_part(msg.get(), body.get());

  GMimeFormatOptions* opts = g_mime_format_options_new();
  // Maildir files have the system's line ends; mail on the wire has CRLF.
  g_mime_format_options_set_newline_format(
      opts, form == MimeForm::Store ? GMIME_NEWLINE_FORMAT_UNIX : GMIME_NEWLINE_FORMAT_DOS);
  Ref<GMimeStream> mem(g_mime_stream_mem_new());
  g_mime_object_write_to_stream(top, opts, mem.get());
  g_mime_format_options_free(opts);
  GByteArray* arr = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(mem.get()));
  return std::string(reinterpret_cast<const char*>(arr->data), arr->len);
}

MailItem FromMime(const std::string& text) {
  InitGMime();
  Ref<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(text.data(), text.size()));
  Ref<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
  Ref<GMimeMessage> msg(g_mime_parser_construct_message(parser.get(), nullptr));
  if (!msg) throw MailError(13, "Not a mail message");
  GMimeObject* top = GMIME_OBJECT(msg.get());
  MailItem item;
  item.MessageClass = "IPM.Note";
  const char* subj = g_mime_message_get_subject(msg.get());
  item.Subject = subj ? subj : "";
  GDateTime* gd = g_mime_message_get_date(msg.get());
  if (gd) item.CreationTime = std::chrono::system_clock::from_time_t(g_date_time_to_unix(gd));
  std::string imp = Header(top, "Importance");
  if (strcasecmp(imp.c_str(), "high") == 0)
    item.Importance = 2;
  else if (strcasecmp(imp.c_str(), "low") == 0)
    item.Importance = 0;
  bool haveTo = false;
  GMimeHeaderList* hl = g_mime_object_get_header_list(top);
  int n = g_mime_header_list_get_count(hl);
  for (int i = 0; i < n; ++i) {
    GMimeHeader* h = g_mime_header_list_get_header_at(hl, i);
    const char* name = g_mime_header_get_name(h);
    const char* rawv = g_mime_header_get_value(h);
    std::string v = rawv ? Trim(rawv) : "";
    if (strcasecmp(name, "X-Brevant-MessageClass") == 0) {
      item.MessageClass = Unescape(v);
    } else if (strcasecmp(name, "X-Brevant-To") == 0) {
      item.To = Unescape(v);
      haveTo = true;
    } else if (strcasecmp(name, "X-Brevant-UserProperty") == 0) {
      auto a = v.find(';');
      auto b = a == std::string::npos ? a : v.find(';', a + 1);
      if (b == std::string::npos) continue;  // not ours to understand
      UserProperty p;
      p.name = Unescape(v.substr(0, a));
      p.type = std::atoi(v.substr(a + 1, b - a - 1).c_str());
      p.value = Unescape(v.substr(b + 1));
      item.UserProperties.push_back(std::move(p));
    } else if (strcasecmp(name, "X-Brevant-Prop") == 0) {
      auto a = v.find(';');
      if (a == std::string::npos) continue;
      std::string hex = v.substr(0, a);
      char* end = nullptr;
      unsigned long t = std::strtoul(hex.c_str(), &end, 16);
      if (!hex.empty() && end && *end == '\0')
        item.Props[static_cast<std::uint32_t>(t)] = Unescape(v.substr(a + 1));
    }
  }
  if (!haveTo) {
    InternetAddressList* to = g_mime_message_get_addresses(msg.get(), GMIME_ADDRESS_TYPE_TO);
    if (to) {
      char* s = internet_address_list_to_string(to, nullptr, FALSE);
      item.To = s ? s : "";
      g_free(s);
    }
  }
  if (GMimeObject* body = g_mime_message_get_mime_part(msg.get())) Walk(body, item, false);
  return item;
}

}  // namespace brevant::mail
