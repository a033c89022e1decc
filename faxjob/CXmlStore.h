#pragma once
// CXmlStore: what the fax job XML (CXmlFax) and "FaxGroup.xml" (CXmlGroups)
// share - an XML document with one element per value under a "property
// parent", an optional item container of "item" elements, and a file it is
// loaded from and saved to. The two stores differ only in the details that
// Layout names; each class publishes the operations in its own order.
//
// Documents are kept as UTF-8 text. They are written without an XML
// declaration and without indentation; element text is escaped as usual
// ("&", "<", ">"). Line breaks read back as "\n".
#include <cstdint>
#include <memory>
#include <string>

namespace pugi {
class xml_document;
class xml_node;
}  // namespace pugi

namespace brevant {

class CXmlStore {
 public:
  // How a store differs from the other.
  struct Layout {
    const char* rootName;
    // ReadItemPropS of a missing element gives "" (else error 91).
    bool missingReadsEmpty;
    // After Load and SetXML the root holds the values (else its first child
    // does, see Anchor).
    bool valuesUnderRoot;
    // SetXML removes every CR LF pair before parsing.
    bool stripLineBreaks;
  };

  ~CXmlStore();
  CXmlStore(const CXmlStore&) = delete;
  CXmlStore& operator=(const CXmlStore&) = delete;

  // New element "item" appended to the item container; it becomes the
  // current item. Error 91 when no item container is set.
  void CreateItem();
  // Appends element strName with the text strValue to the property parent.
  // Error 91 without a property parent, 5 when strName is not an XML name.
  // Text that is not valid UTF-8 is stored with U+FFFD in place of the bad
  // bytes, and control characters other than tab, CR and LF are dropped, so
  // that every document written is well-formed.
  void WriteItemProp(const std::string& strName, const std::string& strValue);
  long GetItemsCount();
  // index is 1-based; error 91 when there is no such child.
  void SetCurItem(long index);
  // Text of the first child element strName of the property parent. A
  // missing element reads "" or raises error 91, as the layout says.
  std::string ReadItemPropS(const std::string& strName);
  // Text of child (index - 1) of the current item; error 91 when missing.
  std::string ReadItemProp(long index);
  // A new document holding only the root element, which becomes the
  // property parent; no item container is set.
  void Create();
  // Deletes the file; a missing file is no error.
  void Delete();
  // Delete when the property parent has no children, else writes the
  // document to the file. The file is replaced in one step (written beside
  // it, then renamed over it), so a failed save leaves the old file whole.
  // Raises error 70, 75 or 76 when it cannot be written.
  void Save();
  std::string GetFilename() const { return fileName_; }
  void SetFilename(const std::string& strFileName) { fileName_ = strFileName; }
  bool IsEmpty();
  // The serialised document.
  std::string XML();
  // Parses strXML into the document (error 5 when it is not well-formed
  // XML, 91 when it has no root element).
  void SetXML(const std::string& strXML);
  // Loads the file; false when it cannot be read or parsed or has no root.
  bool Load();

 protected:
  CXmlStore(const Layout& layout, std::string fileName);

  // The element that ReadItemPropS searches; null when none is set.
  pugi::xml_node PropertyParent() const;

 private:
  void Anchor();
  void ClearNodes();

  struct Nodes;
  Layout layout_;
  std::unique_ptr<pugi::xml_document> doc_;
  std::unique_ptr<Nodes> nodes_;
  std::string fileName_;
};

// Text of an element: all its text and CDATA content, in document order.
std::string XmlNodeText(pugi::xml_node node);

// Value texts of the XML stores, read the way the program's number and
// Boolean conversions read them: blanks around the text are ignored, a
// decimal number may have a fraction or exponent and is rounded half to
// even. Error 13 (type mismatch) when the text is not a number or Boolean,
// 6 (overflow) when the number does not fit.
std::int16_t XmlTextToInt16(const std::string& text);
std::int32_t XmlTextToInt32(const std::string& text);
// "True"/"False" in any letter case; a number is True unless it is 0.
bool XmlTextToBool(const std::string& text);

}  // namespace brevant
