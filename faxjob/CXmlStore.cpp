#include "faxjob/CXmlStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <pugixml.hpp>

#include "common/Errors.h"
#include "platform/fs/Files.h"

namespace brevant {

struct CXmlStore::Nodes {
  pugi::xml_node propertyParent;
  pugi::xml_node itemContainer;
  pugi::xml_node currentItem;
};

namespace {

constexpr unsigned kWriteFlags = pugi::format_raw | pugi::format_no_declaration;
// A value of blanks or line breaks only is still a value.
constexpr unsigned kParseFlags = pugi::parse_default | pugi::parse_ws_pcdata_single;

[[noreturn]] void NotSet() {
  throw VbError(kErrObjectNotSet, "Object variable or With block variable not set");
}

pugi::xml_node ChildAt(pugi::xml_node parent, long index0) {
  if (!parent || index0 < 0) NotSet();
  long i = 0;
  for (pugi::xml_node n = parent.first_child(); n; n = n.next_sibling(), ++i)
    if (i == index0) return n;
  NotSet();
}

// XML names: a letter, "_", ":" or any non-ASCII character first; then also
// digits, "-" and ".". Non-ASCII bytes are let through as name characters.
bool IsXmlName(const std::string& name) {
  if (name.empty()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    bool start = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' || c >= 0x80;
    bool more = (c >= '0' && c <= '9') || c == '-' || c == '.';
    if (!(start || (i > 0 && more))) return false;
  }
  return true;
}

// Length of the valid UTF-8 sequence at s[i] (0 when invalid): no overlong
// forms, no surrogates, nothing above U+10FFFF, and not U+FFFE/U+FFFF,
// which XML does not allow.
std::size_t Utf8Length(const std::string& s, std::size_t i) {
  auto at = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = at(i);
  std::size_t len;
  std::uint32_t cp;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF)
    len = 2, cp = c & 0x1F;
  else if (c >= 0xE0 && c <= 0xEF)
    len = 3, cp = c & 0x0F;
  else if (c >= 0xF0 && c <= 0xF4)
    len = 4, cp = c & 0x07;
  else
    return 0;
  if (i + len > s.size()) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    if ((at(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (at(i + k) & 0x3F);
  }
  if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))) return 0;
  if ((cp >= 0xD800 && cp <= 0xDFFF) || cp == 0xFFFE || cp == 0xFFFF) return 0;
  return len;
}

// Whether the text can stand in an XML document as it is: no control
// characters other than tab, CR and LF, and valid UTF-8.
bool XmlSafe(const std::string& s) {
  for (std::size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c < 0x80) {
      ++i;
    } else if (c < 0x20) {
      if (c != '\t' && c != '\n' && c != '\r') return false;
      ++i;
    } else {
      std::size_t n = Utf8Length(s, i);
      if (n == 0) return false;
      i += n;
    }
  }
  return true;
}

// The text as it can stand in an XML document (see WriteItemProp).
std::string XmlSafeText(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x20) {
      if (c == '\t' || c == '\n' || c == '\r') out += char(c);
      ++i;
      continue;
    }
    std::size_t n = Utf8Length(s, i);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(s, i, n);
      i += n;
    }
  }
  return out;
}

struct StringWriter : pugi::xml_writer {
  explicit StringWriter(std::size_t expected) { text.reserve(expected); }
  std::string text;
  void write(const void* data, std::size_t size) override {
    text.append(static_cast<const char*>(data), size);
  }
};

long ErrnoToError(int e) {
  switch (e) {
    case EACCES:
    case EPERM:
    case EROFS:
      return kErrPermission;
    case ENOENT:
    case ENOTDIR:
      return kErrPathNotFound;
    default:
      return kErrPathFileAccess;
  }
}

[[noreturn]] void ThrowWrite(int e, const std::string& path) {
  throw VbError(ErrnoToError(e), "cannot write " + path + ": " + std::strerror(e));
}

// Writes text to path in one step: a file beside it, then renamed over it.
// An existing file keeps its permissions; a folder or a file that may not be
// written is not replaced.
void ReplaceFile(const std::string& path, const std::string& text) {
  if (path.empty()) throw VbError(kErrBadFileName, "Bad file name: no file name set");
  struct stat old {};
  bool had = ::stat(path.c_str(), &old) == 0;
  if (had && S_ISDIR(old.st_mode)) ThrowWrite(EISDIR, path);
  if (had && ::access(path.c_str(), W_OK) != 0) ThrowWrite(errno, path);

  // A new file gets what the user's umask gives; a replaced one keeps its
  // permissions exactly.
  const auto options = platform::AtomicOptions(had ? (old.st_mode & 07777) : 0666).Exact(had);
  std::string why;
  platform::AtomicFile file;
  if (!file.Begin(path, options, &why) || !file.Write(text, &why) || !file.Commit(&why))
    throw VbError(ErrnoToError(errno), why);
}

// VB-style number text: blanks, sign, digits, optional fraction and
// exponent.
double NumberText(const std::string& text) {
  std::size_t b = text.find_first_not_of(" \t\r\n");
  std::size_t e = text.find_last_not_of(" \t\r\n");
  std::string t = b == std::string::npos ? "" : text.substr(b, e - b + 1);
  std::size_t i = 0;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
  std::size_t digits = 0;
  while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) ++i, ++digits;
  if (i < t.size() && t[i] == '.') {
    ++i;
    while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) ++i, ++digits;
  }
  if (digits > 0 && i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    std::size_t j = i + 1;
    if (j < t.size() && (t[j] == '+' || t[j] == '-')) ++j;
    std::size_t expDigits = 0;
    while (j < t.size() && std::isdigit(static_cast<unsigned char>(t[j]))) ++j, ++expDigits;
    if (expDigits > 0) i = j;
  }
  if (digits == 0 || i != t.size())
    throw VbError(kErrTypeMismatch, "Type mismatch: \"" + text + "\" is not a number");
  return std::strtod(t.c_str(), nullptr);
}

template <class Int>
Int IntegerText(const std::string& text) {
  double d = std::nearbyint(NumberText(text));  // half to even
  if (!(d >= double(std::numeric_limits<Int>::min()) && d <= double(std::numeric_limits<Int>::max())))
    throw VbError(kErrOverflow, "Overflow: \"" + text + "\"");
  return Int(d);
}

}  // namespace

std::string XmlNodeText(pugi::xml_node node) {
  std::string text;
  if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata) return node.value();
  for (pugi::xml_node c = node.first_child(); c; c = c.next_sibling()) text += XmlNodeText(c);
  return text;
}

std::int16_t XmlTextToInt16(const std::string& text) {
  return IntegerText<std::int16_t>(text);
}
std::int32_t XmlTextToInt32(const std::string& text) {
  return IntegerText<std::int32_t>(text);
}

bool XmlTextToBool(const std::string& text) {
  std::string t;
  for (char c : text)
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n')
      t += char(std::tolower(static_cast<unsigned char>(c)));
  if (t == "true") return true;
  if (t == "false") return false;
  try {
    return NumberText(text) != 0;
  } catch (const VbError&) {
    throw VbError(kErrTypeMismatch, "Type mismatch: \"" + text + "\" is not True or False");
  }
}

CXmlStore::CXmlStore(const Layout& layout, std::string fileName)
    : layout_(layout),
      doc_(std::make_unique<pugi::xml_document>()),
      nodes_(std::make_unique<Nodes>()),
      fileName_(std::move(fileName)) {}

CXmlStore::~CXmlStore() = default;

pugi::xml_node CXmlStore::PropertyParent() const {
  return nodes_->propertyParent;
}

void CXmlStore::CreateItem() {
  if (!nodes_->itemContainer) NotSet();
  nodes_->currentItem = nodes_->itemContainer.append_child("item");
}

void CXmlStore::WriteItemProp(const std::string& strName, const std::string& strValue) {
  if (!nodes_->propertyParent) NotSet();
  if (!IsXmlName(strName))
    throw VbError(kErrInvalidCall, "Invalid procedure call: \"" + strName + "\" is not an element name");
  pugi::xml_node n = nodes_->propertyParent.append_child(strName.c_str());
  if (strValue.empty()) return;
  pugi::xml_node text = n.append_child(pugi::node_pcdata);
  if (XmlSafe(strValue))
    text.set_value(strValue.c_str());
  else
    text.set_value(XmlSafeText(strValue).c_str());
}

long CXmlStore::GetItemsCount() {
  if (!nodes_->itemContainer) NotSet();
  long n = 0;
  for (pugi::xml_node c = nodes_->itemContainer.first_child(); c; c = c.next_sibling()) ++n;
  return n;
}

void CXmlStore::SetCurItem(long index) {
  nodes_->currentItem = ChildAt(nodes_->itemContainer, index - 1);
}

std::string CXmlStore::ReadItemPropS(const std::string& strName) {
  pugi::xml_node n;
  if (nodes_->propertyParent) n = nodes_->propertyParent.child(strName.c_str());
  if (!n) {
    if (layout_.missingReadsEmpty) return "";
    throw VbError(kErrObjectNotSet,
                  "Object variable or With block variable not set: no element \"" + strName + "\"");
  }
  return XmlNodeText(n);
}

std::string CXmlStore::ReadItemProp(long index) {
  return XmlNodeText(ChildAt(nodes_->currentItem, index - 1));
}

void CXmlStore::ClearNodes() {
  *nodes_ = Nodes();
}

void CXmlStore::Create() {
  ClearNodes();
  doc_->reset();
  nodes_->propertyParent = doc_->append_child(layout_.rootName);
}

void CXmlStore::Delete() {
  std::error_code ec;
  std::filesystem::remove(fileName_, ec);
}

void CXmlStore::Save() {
  if (IsEmpty()) {
    Delete();
    return;
  }
  ReplaceFile(fileName_, XML());
}

bool CXmlStore::IsEmpty() {
  return !nodes_->propertyParent || !nodes_->propertyParent.first_child();
}

std::string CXmlStore::XML() {
  // The text of the last document serialised is a fair guess of the size
  // of the next one; it saves growing a long text step by step.
  static std::atomic<std::size_t> lastSize{0};
  StringWriter w(lastSize.load(std::memory_order_relaxed) + 256);
  doc_->save(w, "", kWriteFlags, pugi::encoding_utf8);
  lastSize.store(w.text.size(), std::memory_order_relaxed);
  return std::move(w.text);
}

// Where the values are after parsing. Documents of the groups store keep
// them under the root. Fax job documents may wrap them in one element under
// the root; that element is the root's first child and it has element
// children of its own. The fax job XML this program writes has its values
// directly under the root, so a first child that holds only text means the
// root itself is the parent - both layouts read back.
void CXmlStore::Anchor() {
  pugi::xml_node root = doc_->document_element();
  if (!root) NotSet();
  pugi::xml_node parent = root;
  if (!layout_.valuesUnderRoot) {
    pugi::xml_node first = root.first_child();
    if (first && first.type() == pugi::node_element &&
        first.find_child([](pugi::xml_node c) { return c.type() == pugi::node_element; }))
      parent = first;
  }
  nodes_->propertyParent = nodes_->itemContainer = parent;
  nodes_->currentItem = pugi::xml_node();
}

void CXmlStore::SetXML(const std::string& strXML) {
  ClearNodes();
  std::string text;
  if (layout_.stripLineBreaks) {
    text.reserve(strXML.size());
    for (std::size_t i = 0; i < strXML.size(); ++i) {
      if (strXML[i] == '\r' && i + 1 < strXML.size() && strXML[i + 1] == '\n') {
        ++i;
        continue;
      }
      text += strXML[i];
    }
  }
  const std::string& in = layout_.stripLineBreaks ? text : strXML;
  pugi::xml_parse_result r = doc_->load_buffer(in.data(), in.size(), kParseFlags);
  if (!r) throw VbError(kErrInvalidCall, std::string("XML parse error: ") + r.description());
  Anchor();
}

bool CXmlStore::Load() {
  ClearNodes();
  pugi::xml_parse_result r = doc_->load_file(fileName_.c_str(), kParseFlags);
  if (!r || !doc_->document_element()) return false;
  Anchor();
  return true;
}

}  // namespace brevant
