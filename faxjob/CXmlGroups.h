#pragma once
// CXmlGroups: "FaxGroup.xml" in the program folder, the part of the client
// configuration that a group of users shares (delivery path, mail-fax
// address, fax device, cover page folder, two switches). Root "Groups", one
// element per value, no XML declaration.
#include <cstdint>
#include <memory>
#include <string>

namespace pugi {
class xml_document;
class xml_node;
}  // namespace pugi

namespace brevant {

class CXmlGroups {
 public:
  CXmlGroups();  // file name: program folder + "/FaxGroup.xml"
  ~CXmlGroups();
  CXmlGroups(const CXmlGroups&) = delete;
  CXmlGroups& operator=(const CXmlGroups&) = delete;

  void CreateItem();
  void WriteItemProp(const std::string& strName, const std::string& strValue);
  long GetItemsCount();
  void SetCurItem(long index);
  std::string ReadItemPropS(const std::string& strName);
  std::string ReadItemProp(long index);
  // Writes the six file fields of the client configuration.
  void WriteCfgProps();
  // Loads the file into the client configuration; false when it did not
  // load (the defaults then apply). A value that is not a number or not a
  // Boolean raises a VbError to the caller.
  bool ReadCfgProps();
  void Create();
  void Delete();
  void Save();
  std::string GetFilename() const { return fileName_; }
  void SetFilename(const std::string& strFileName) { fileName_ = strFileName; }
  bool IsEmpty();
  std::string XML();
  void SetXML(const std::string& strXML);
  bool Load();

 private:
  struct Nodes;
  std::unique_ptr<pugi::xml_document> doc_;
  std::unique_ptr<Nodes> nodes_;
  std::string fileName_;
};

// Text forms of "FaxGroup.xml" values. Both throw VbError 13 (type
// mismatch) on text that is not a number or Boolean, 6 on overflow.
std::int16_t XmlTextToInt16(const std::string& text);
bool XmlTextToBool(const std::string& text);

}  // namespace brevant
