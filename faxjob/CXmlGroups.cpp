#include "faxjob/CXmlGroups.h"

#include <pugixml.hpp>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <sstream>

#include "common/ClientConfig.h"
#include "common/Errors.h"
#include "common/Folders.h"

namespace brevant {

struct CXmlGroups::Nodes {
  pugi::xml_node propertyParent;
  pugi::xml_node itemContainer;
  pugi::xml_node currentItem;
};

namespace {

std::string Trim(const std::string& s) {
  auto b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  auto e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

pugi::xml_node ChildAt(pugi::xml_node parent, long index0) {
  if (!parent || index0 < 0) throw VbError(kErrObjectNotSet, "Object variable not set");
  long i = 0;
  for (pugi::xml_node n = parent.first_child(); n; n = n.next_sibling(), ++i)
    if (i == index0) return n;
  throw VbError(kErrObjectNotSet, "Object variable not set");
}

}  // namespace

std::int16_t XmlTextToInt16(const std::string& text) {
  std::string t = Trim(text);
  char* end = nullptr;
  double d = t.empty() ? 0 : std::strtod(t.c_str(), &end);
  if (t.empty() || *end != '\0' || std::isnan(d))
    throw VbError(kErrTypeMismatch, "Type mismatch: \"" + text + "\" is not a number");
  d = std::nearbyint(d);  // round half to even
  if (d < -32768 || d > 32767) throw VbError(6, "Overflow: " + text);
  return std::int16_t(d);
}

bool XmlTextToBool(const std::string& text) {
  std::string t = Trim(text);
  for (char& c : t) c = char(std::tolower(static_cast<unsigned char>(c)));
  if (t == "true") return true;
  if (t == "false") return false;
  throw VbError(kErrTypeMismatch, "Type mismatch: \"" + text + "\" is not True or False");
}

CXmlGroups::CXmlGroups()
    : doc_(std::make_unique<pugi::xml_document>()),
      nodes_(std::make_unique<Nodes>()),
      fileName_(GetProgramFolder() + "/FaxGroup.xml") {}

CXmlGroups::~CXmlGroups() = default;

void CXmlGroups::CreateItem() {
  if (!nodes_->itemContainer) throw VbError(kErrObjectNotSet, "Object variable not set");
  nodes_->currentItem = nodes_->itemContainer.append_child("item");
}

void CXmlGroups::WriteItemProp(const std::string& strName, const std::string& strValue) {
  if (!nodes_->propertyParent) throw VbError(kErrObjectNotSet, "Object variable not set");
  pugi::xml_node n = nodes_->propertyParent.append_child(strName.c_str());
  if (!n) throw VbError(kErrInvalidCall, "invalid element name: " + strName);
  n.text().set(strValue.c_str());
}

long CXmlGroups::GetItemsCount() {
  if (!nodes_->itemContainer) throw VbError(kErrObjectNotSet, "Object variable not set");
  long n = 0;
  for (pugi::xml_node c = nodes_->itemContainer.first_child(); c; c = c.next_sibling()) ++n;
  return n;
}

void CXmlGroups::SetCurItem(long index) { nodes_->currentItem = ChildAt(nodes_->itemContainer, index - 1); }

std::string CXmlGroups::ReadItemPropS(const std::string& strName) {
  if (!nodes_->propertyParent) return "";
  pugi::xml_node n = nodes_->propertyParent.child(strName.c_str());
  return n ? n.text().get() : std::string();
}

std::string CXmlGroups::ReadItemProp(long index) {
  return ChildAt(nodes_->currentItem, index - 1).text().get();
}

void CXmlGroups::WriteCfgProps() {
  const ClientConfig& c = Config();
  Create();
  WriteItemProp("EmailFax", c.EmailFax);
  WriteItemProp("ReceiveAll", c.ReceiveAll ? "True" : "False");
  WriteItemProp("ProgramType", std::to_string(c.ProgramType));
  WriteItemProp("FaxDevice", c.FaxDevice);
  WriteItemProp("CoverFolder", c.CoverFolder);
  WriteItemProp("FaxGroupConnect", c.FaxGroupConnect ? "True" : "False");
  Save();
}

bool CXmlGroups::ReadCfgProps() {
  ClientConfig& c = Config();
  bool loaded = Load();
  if (loaded) {
    c.EmailFax = ReadItemPropS("EmailFax");
    std::string t = ReadItemPropS("ProgramType");
    c.ProgramType = t.empty() ? 0 : XmlTextToInt16(t);
    c.CoverFolder = ReadItemPropS("CoverFolder");
    t = ReadItemPropS("ReceiveAll");
    c.ReceiveAll = t.empty() ? true : XmlTextToBool(t);
    t = ReadItemPropS("FaxGroupConnect");
    c.FaxGroupConnect = t.empty() ? true : XmlTextToBool(t);
  } else {
    c.ProgramType = 0;
    c.ReceiveAll = true;
    c.FaxGroupConnect = true;
  }
  if (c.CoverFolder.empty()) c.CoverFolder = GetProgramFolder() + "/coverpage/";
  c.FaxGroupConnect = false;
  return loaded;
}

void CXmlGroups::Create() {
  doc_->reset();
  nodes_->propertyParent = doc_->append_child("Groups");
  nodes_->itemContainer = pugi::xml_node();
  nodes_->currentItem = pugi::xml_node();
}

void CXmlGroups::Delete() {
  std::error_code ec;
  std::filesystem::remove(fileName_, ec);
}

void CXmlGroups::Save() {
  if (IsEmpty()) {
    Delete();
    return;
  }
  // Written beside the old file and renamed over it: a failed write never
  // leaves a half-written "FaxGroup.xml".
  std::string tmp = fileName_ + ".tmp";
  if (!doc_->save_file(tmp.c_str(), "", pugi::format_raw | pugi::format_no_declaration)) {
    std::error_code ec;
    std::filesystem::remove(tmp, ec);
    throw VbError(kErrPathFileAccess, "Path/File access error: cannot write " + fileName_);
  }
  std::error_code ec;
  std::filesystem::rename(tmp, fileName_, ec);
  if (ec) {
    std::filesystem::remove(tmp, ec);
    throw VbError(kErrPathFileAccess, "Path/File access error: cannot replace " + fileName_);
  }
}

bool CXmlGroups::IsEmpty() { return !nodes_->propertyParent || !nodes_->propertyParent.first_child(); }

std::string CXmlGroups::XML() {
  std::ostringstream os;
  doc_->save(os, "", pugi::format_raw | pugi::format_no_declaration);
  return os.str();
}

void CXmlGroups::SetXML(const std::string& strXML) {
  std::string text;
  for (std::size_t i = 0; i < strXML.size(); ++i) {
    if (strXML[i] == '\r' && i + 1 < strXML.size() && strXML[i + 1] == '\n') {
      ++i;
      continue;
    }
    text += strXML[i];
  }
  pugi::xml_parse_result r = doc_->load_string(text.c_str());
  if (!r) throw VbError(kErrInvalidCall, std::string("XML parse error: ") + r.description());
  nodes_->propertyParent = nodes_->itemContainer = doc_->document_element();
}

bool CXmlGroups::Load() {
  pugi::xml_parse_result r = doc_->load_file(fileName_.c_str());
  if (!r || !doc_->document_element()) return false;
  nodes_->propertyParent = nodes_->itemContainer = doc_->document_element();
  nodes_->currentItem = pugi::xml_node();
  return true;
}

}  // namespace brevant
