// Cover pages drawn as fax pages: values kept as text, long ones cut, bad
// templates. The fax's own cover page is judged where it arrives (tests/arrival).
#include <gtest/gtest.h>

#include <functional>
#include <pugixml.hpp>
#include <string>

#include "platform/emf/Emf.h"
#include "render/cover/CoverPage.h"
#include "tests/support/TestWorld.h"

using namespace brevant;
using brevant::test::TestWorld;

namespace {

std::string Shipped(const std::string& name) {
  return test::SourceDir() + "/coverpage/" + name;
}

cover::CoverFields RealFields() {
  return {{"RecName", "Dr. Helena Markovic"},     {"RecFaxNumber", "+49 30 5557 1290"},
          {"RecCompany", "Lindqvist & Partner"},  {"SdrName", "Jonas Bergmann"},
          {"SdrCompany", "Brevant Engineering"},  {"SdrFaxNumber", "+49 40 5550 1999"},
          {"SdrOfficePhone", "+49 40 5550 1900"}, {"SdrEmail", "j.bergmann@example.com"},
          {"Subject", "Revised floor plans"},     {"Note", "Please call me back.\nThanks."},
          {"TimeSent", "2026-12-06 09:30"},       {"PageCount", "4"}};
}

// Where a field's text element sits in a template (viewBox units).
struct FieldBox {
  double x = 0, y = 0, width = 0, size = 0;
  int lines = 1;
  double lineHeight = 0;
};
FieldBox FindField(const std::string& templatePath, const std::string& field) {
  pugi::xml_document doc;
  EXPECT_TRUE(doc.load_file(templatePath.c_str()));
  FieldBox box;
  std::function<bool(pugi::xml_node, double)> walk = [&](pugi::xml_node n, double size) -> bool {
    if (n.attribute("font-size")) size = n.attribute("font-size").as_double();
    if (std::string(n.name()) == "text" &&
        std::string(n.child_value()).find("{{" + field + "}}") != std::string::npos) {
      box = {n.attribute("x").as_double(),
             n.attribute("y").as_double(),
             n.attribute("data-fit-width").as_double(),
             size,
             n.attribute("data-lines").as_int(1),
             n.attribute("data-line-height").as_double(size * 1.3)};
      return true;
    }
    for (pugi::xml_node c : n.children())
      if (c.type() == pugi::node_element && walk(c, size)) return true;
    return false;
  };
  EXPECT_TRUE(walk(doc.document_element(), 16)) << field << " not in " << templatePath;
  return box;
}

// Bounding box (page pixels) of the pixels that differ between two pages.
struct Diff {
  int count = 0, left = 1 << 30, right = -1, top = 1 << 30, bottom = -1;
};
Diff Compare(const emf::Page& a, const emf::Page& b) {
  Diff d;
  for (int y = 0; y < a.height; ++y)
    for (int x = 0; x < a.width; ++x)
      if (a.Black(x, y) != b.Black(x, y))
        d = {d.count + 1, std::min(d.left, x), std::max(d.right, x), std::min(d.top, y),
             std::max(d.bottom, y)};
  return d;
}

double PageX(double units) {
  return units * cover::kPageWidth / 2150.0;
}
double PageY(double units) {
  return units * cover::kPageHeight / 2970.0;
}

}  // namespace

TEST(CoverPages, ValuesStayTextWhateverTheyContain) {
  TestWorld world;
  std::string tmpl = R"(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 2150 2970">)"
                     R"(<text x="100" y="200" font-size="40" data-fit-width="1900">To: {{RecName}}</text>)"
                     R"(<text x="100" y="300" font-size="40"><![CDATA[Re: {{Subject}}]]></text>)"
                     R"(<rect x="0" y="0" width="10" height="10" title="{{Note}}"/></svg>)";
  cover::FilledTemplate plain;
  ASSERT_TRUE(cover::FillTemplate(tmpl, {{"RecName", "Ann"}, {"Subject", "Hi"}}, "", &plain));
  pugi::xml_document plainDoc;
  ASSERT_TRUE(plainDoc.load_string(plain.svg.c_str()));

  const std::string attacks[] = {R"(</text><rect width="2150" height="2970" fill="black"/><text>)",
                                 R"(A & B <C> "quoted" 'single' &amp; &lt;)",
                                 R"(]]><image href="file:///etc/passwd"/><![CDATA[)",
                                 "<!-- comment --><?pi x?>\x01\x02 tail"};
  for (const auto& attack : attacks) {
    SCOPED_TRACE(attack);
    cover::FilledTemplate out;
    ASSERT_TRUE(
        cover::FillTemplate(tmpl, {{"RecName", attack}, {"Subject", attack}, {"Note", attack}}, "", &out));
    EXPECT_EQ(out.placeholders, 2);  // the attribute is not a place for fields
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(out.svg.c_str())) << out.svg;
    EXPECT_EQ(doc.select_nodes("//*").size(), plainDoc.select_nodes("//*").size()) << "a value added markup";
    std::string expected = attack;
    expected.erase(std::remove_if(expected.begin(), expected.end(), [](char c) { return c > 0 && c < 0x20; }),
                   expected.end());
    auto texts = doc.document_element().children("text");
    auto it = texts.begin();
    EXPECT_EQ(std::string(it->child_value()), "To: " + expected);
    ++it;
    EXPECT_EQ(std::string(it->text().get()), "Re: " + expected);
    EXPECT_EQ(std::string(doc.document_element().child("rect").attribute("title").value()), "{{Note}}");
  }
}

TEST(CoverPages, ShippedTemplatesDrawEachFieldInItsPlaceAndCutLongValuesThere) {
  TestWorld world;
  std::string huge;
  for (int i = 0; i < 1000; ++i) huge += "Wilhelmina ";  // 11,000 characters
  std::string generic = Shipped("Generic.cov");

  cover::CoverFields empty = RealFields();
  empty["RecName"] = "";
  empty["Note"] = "";
  cover::CoverFields longOnes = empty;
  longOnes["RecName"] = huge;
  longOnes["Note"] = huge;

  emf::Page a, b;
  ASSERT_TRUE(cover::RenderPage(generic, empty, &a, nullptr));
  ASSERT_TRUE(cover::RenderPage(generic, longOnes, &b, nullptr));

  // The name sits on its baseline; a long one fills up to its edge, no further.
  FieldBox note = FindField(generic, "Note");
  for (const char* name : {"Generic.cov", "Urgent.cov", "Confidential.cov"}) {
    SCOPED_TRACE(name);
    FieldBox box = FindField(Shipped(name), "RecName");
    emf::Page none, nameOnly;
    std::vector<cover::Problem> problems;
    cover::CoverFields justName = empty;
    ASSERT_TRUE(cover::RenderPage(Shipped(name), justName, &none, nullptr));
    justName["RecName"] = "Dr. Helena Markovic";
    ASSERT_TRUE(cover::RenderPage(Shipped(name), justName, &nameOnly, &problems));
    EXPECT_TRUE(problems.empty()) << problems.front().text;
    Diff d = Compare(none, nameOnly);
    EXPECT_GT(d.count, 500);
    EXPECT_NEAR(d.bottom, PageY(box.y), PageY(box.size) * 0.4);
    EXPECT_GE(d.top, PageY(box.y - box.size * 1.1));
    EXPECT_GE(d.left, PageX(box.x) - 2);
    justName["RecName"] = huge;
    ASSERT_TRUE(cover::RenderPage(Shipped(name), justName, &nameOnly, nullptr));
    Diff dn = Compare(none, nameOnly);
    EXPECT_GT(dn.count, 1000);
    EXPECT_LE(dn.right, PageX(box.x + box.width) + 2);
    EXPECT_GT(dn.right, PageX(box.x + box.width * 0.8));
    EXPECT_GT(dn.top, PageY(box.y - box.size * 1.2));
    EXPECT_LT(dn.bottom, PageY(box.y + box.size * 0.4));
  }

  // The note fills its lines and stops at the last one.
  Diff dall = Compare(a, b);
  EXPECT_LE(dall.bottom, PageY(note.y + (note.lines - 1) * note.lineHeight + note.size * 0.4));
  EXPECT_GT(dall.bottom, PageY(note.y + (note.lines - 2) * note.lineHeight));
  EXPECT_LE(dall.right, PageX(note.x + note.width) + 2);
}

TEST(CoverPages, UnusableTemplatesAreReportedAndTheFieldsStillShow) {
  TestWorld world;
  std::string dir = world.Root() + "/covers/";
  TestWorld::WriteFile(dir + "Text.cov", "This is a plain text file {{RecName}}\n");
  TestWorld::WriteFile(
      dir + "Static.cov",
      R"(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 100 100"><text x="5" y="50">Fax</text></svg>)");
  TestWorld::WriteFile(
      dir + "Assets.cov",
      R"(<svg xmlns="http://www.w3.org/2000/svg" xmlns:xlink="http://www.w3.org/1999/xlink" viewBox="0 0 2150 2970">)"
      R"(<image x="0" y="0" width="400" height="200" xlink:href="logo-missing.png"/>)"
      R"(<image x="0" y="0" width="400" height="200" href="http://example.com/x.png"/>)"
      R"(<text x="100" y="600" font-size="80" font-family="Nonexistent Typeface">{{RecName}}</text></svg>)");
  std::string big = R"(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 10 10"><text>{{RecName}}</text>)";
  big += std::string(5 * 1024 * 1024, ' ') + "</svg>";
  TestWorld::WriteFile(dir + "Huge.cov", big);

  struct Case {
    const char* file;
    const char* expected;
  } cases[] = {{"Text.cov", "is not SVG"},
               {"Static.cov", "has no fields"},
               {"Assets.cov", "Image not found: logo-missing.png"},
               {"Assets.cov", "Font not installed: Nonexistent Typeface"},
               {"Huge.cov", "too large"},
               {"Missing.cov", "File not found"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    std::vector<cover::Problem> problems;
    emf::Page page, blank;
    ASSERT_TRUE(cover::RenderPage(dir + c.file, RealFields(), &page, &problems));
    bool found = false;
    for (const auto& p : problems) found = found || p.text.find(c.expected) != std::string::npos;
    EXPECT_TRUE(found) << c.expected;
    cover::CoverFields none = RealFields();
    none["RecName"] = "";
    ASSERT_TRUE(cover::RenderPage(dir + c.file, none, &blank, nullptr));
    EXPECT_EQ(page.width, 1728);
    EXPECT_GT(Compare(page, blank).count, 300) << "the recipient's name is not on the page";
  }
}
