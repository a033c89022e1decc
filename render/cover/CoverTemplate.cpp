// Filling a cover page template: placeholders in text content become the
// field values, and a value too long for its place is cut (one line) or
// wrapped and cut (several lines) so the page layout never breaks.
//
// The template is parsed as XML and written back by the XML library, so a
// value is always text content: "<", "&" and quotes come out escaped and
// cannot add elements or attributes.
#include <QFont>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QString>
#include <QStringList>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <pugixml.hpp>
#include <regex>
#include <set>
#include <sstream>

#include "common/Errors.h"
#include "render/cover/CoverDraw.h"
#include "render/cover/CoverPage_p.h"

namespace brevant::cover {

const std::vector<std::string>& FieldNames() {
  static const std::vector<std::string> names{
      "RecName",           "RecFaxNumber",   "RecCompany",     "RecStreetAddress", "RecCity",
      "RecState",          "RecZip",         "RecCountry",     "RecTitle",         "RecDepartment",
      "RecOfficeLocation", "RecHomePhone",   "RecOfficePhone", "SdrName",          "SdrFaxNumber",
      "SdrCompany",        "SdrAddress",     "SdrTitle",       "SdrDepartment",    "SdrOfficeLocation",
      "SdrHomePhone",      "SdrOfficePhone", "SdrEmail",       "SdrBillingCode",   "Note",
      "Subject",           "TimeSent",       "PageCount"};
  return names;
}
namespace {

std::string LocalName(const pugi::xml_node& n) {
  std::string name = n.name();
  auto colon = name.find(':');
  return colon == std::string::npos ? name : name.substr(colon + 1);
}

std::string Trim(const std::string& s) {
  auto b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  auto e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

// A presentation property of n: its attribute, else its "style" entry.
std::string OwnProperty(const pugi::xml_node& n, const std::string& prop) {
  if (auto a = n.attribute(prop.c_str())) return Trim(a.value());
  std::string style = n.attribute("style").value();
  std::stringstream ss(style);
  std::string decl;
  while (std::getline(ss, decl, ';')) {
    auto colon = decl.find(':');
    if (colon == std::string::npos) continue;
    if (Trim(decl.substr(0, colon)) == prop) return Trim(decl.substr(colon + 1));
  }
  return "";
}

// The same property as inherited from the nearest element that sets it.
// The SVG renderer takes no text properties from the root element, so
// neither does measuring.
std::string InheritedProperty(pugi::xml_node n, const std::string& prop) {
  for (; n && n.type() == pugi::node_element && n.parent().type() == pugi::node_element; n = n.parent()) {
    std::string v = OwnProperty(n, prop);
    if (!v.empty() && v != "inherit") return v;
  }
  return "";
}

double Number(const std::string& text, double fallback) {
  if (text.empty()) return fallback;
  const char* s = text.c_str();
  char* end = nullptr;
  double v = std::strtod(s, &end);
  if (end == s || !std::isfinite(v)) return fallback;
  std::string unit = Trim(end);
  if (unit == "pt") v *= 4.0 / 3.0;
  return v;
}

QStringList FamilyList(const std::string& value) {
  QStringList out;
  for (const QString& part : QString::fromStdString(value).split(',')) {
    QString f = part.trimmed();
    if (f.size() >= 2 && (f.front() == '\'' || f.front() == '"')) f = f.mid(1, f.size() - 2);
    if (!f.isEmpty()) out << f;
  }
  return out;
}

bool IsGenericFamily(const QString& f) {
  static const QStringList generic{"serif",   "sans-serif", "monospace", "cursive",
                                   "fantasy", "sans",       "system-ui"};
  return generic.contains(f.toLower());
}

// Measures text as the SVG renderer draws it: the font size is in user
// units of the drawing.
class TextMeasure {
 public:
  explicit TextMeasure(const pugi::xml_node& textElement) {
    size_ = Number(InheritedProperty(textElement, "font-size"), 16.0);
    if (size_ <= 0) size_ = 16.0;
    QFont font;
    QStringList families = FamilyList(InheritedProperty(textElement, "font-family"));
    if (!families.isEmpty()) font.setFamilies(families);
    font.setPixelSize(100);
    std::string weight = InheritedProperty(textElement, "font-weight");
    if (weight == "bold" || weight == "bolder" || Number(weight, 400) >= 600) font.setBold(true);
    std::string style = InheritedProperty(textElement, "font-style");
    if (style == "italic" || style == "oblique") font.setItalic(true);
    metrics_ = std::make_unique<QFontMetricsF>(font);
  }
  double Width(const QString& s) const { return metrics_->horizontalAdvance(s) * size_ / 100.0; }
  double Size() const { return size_; }

 private:
  double size_ = 16.0;
  std::unique_ptr<QFontMetricsF> metrics_;
};

const QString kEllipsis = QString(QChar(0x2026));

// The longest head of value that fits into width, with an ellipsis when cut.
QString CutToWidth(const TextMeasure& m, const QString& fixed, const QString& value, double width) {
  if (m.Width(fixed + value) <= width) return value;
  int lo = 0, hi = static_cast<int>(value.size());
  while (lo < hi) {
    int mid = (lo + hi + 1) / 2;
    if (m.Width(fixed + value.left(mid) + kEllipsis) <= width)
      lo = mid;
    else
      hi = mid - 1;
  }
  if (lo == 0) return m.Width(fixed + kEllipsis) <= width ? kEllipsis : QString();
  // Do not leave a lone half of a surrogate pair behind.
  if (value.at(lo - 1).isHighSurrogate()) --lo;
  return value.left(lo).trimmed() + kEllipsis;
}

// Wraps text into at most maxLines lines of width; the last line is cut
// with an ellipsis when text remains.
QStringList WrapToLines(const TextMeasure& m, const QString& text, double width, int maxLines) {
  QStringList lines;
  const QStringList paragraphs = text.split('\n');
  bool more = false;
  for (int p = 0; p < paragraphs.size(); ++p) {
    QStringList words = paragraphs[p].simplified().split(' ', Qt::SkipEmptyParts);
    QString line;
    int w = 0;
    while (w < words.size()) {
      QString candidate = line.isEmpty() ? words[w] : line + ' ' + words[w];
      if (m.Width(candidate) <= width) {
        line = candidate;
        ++w;
        continue;
      }
      if (line.isEmpty()) {
        // A word longer than the line: break it where it stops fitting.
        QString cut = CutToWidth(m, QString(), words[w], width);
        if (cut.endsWith(kEllipsis)) cut.chop(1);
        if (cut.isEmpty()) cut = words[w].left(1);
        line = cut;
        words[w] = words[w].mid(cut.size());
      }
      lines << line;
      line.clear();
      if (lines.size() == maxLines) break;
    }
    if (lines.size() == maxLines) {
      more = w < words.size() || p + 1 < paragraphs.size() || !line.isEmpty();
      break;
    }
    lines << line;
    if (lines.size() == maxLines) {
      more = p + 1 < paragraphs.size();
      break;
    }
  }
  while (!lines.isEmpty() && lines.back().isEmpty() && lines.size() > 1) lines.pop_back();
  if (more && !lines.isEmpty()) {
    QString last = lines.back();
    while (!last.isEmpty() && m.Width(last + kEllipsis) > width) last.chop(1);
    if (!last.isEmpty() && last.back().isHighSurrogate()) last.chop(1);
    lines.back() = last.trimmed() + kEllipsis;
  }
  return lines;
}

struct Substituted {
  pugi::xml_node node;  // the pcdata node
  QString fixed;        // its text without the substituted values
  QString text;         // its text with them
};

const std::regex& PlaceholderPattern() {
  static const std::regex re(R"(\{\{\s*([A-Za-z][A-Za-z0-9_]*)\s*\}\})");
  return re;
}

// Replaces the placeholders of one text; counts them and notes unknown names.
std::string Substitute(const std::string& text, const CoverFields& fields, bool oneLine, int* count,
                       std::string* fixedPart, std::set<std::string>* unknown) {
  const auto& names = FieldNames();
  std::string out, fixed;
  auto begin = std::sregex_iterator(text.begin(), text.end(), PlaceholderPattern());
  std::size_t last = 0;
  for (auto it = begin; it != std::sregex_iterator(); ++it) {
    const auto& m = *it;
    std::string lead = text.substr(last, std::size_t(m.position()) - last);
    out += lead;
    fixed += lead;
    std::string name = m[1].str();
    ++*count;
    if (std::find(names.begin(), names.end(), name) == names.end()) unknown->insert(name);
    auto f = fields.find(name);
    std::string value = f == fields.end() ? "" : f->second;
    if (oneLine) {
      std::string flat;
      for (std::size_t i = 0; i < value.size(); ++i) {
        char c = value[i];
        if (c == '\r') continue;
        if (c == '\n') {
          if (!flat.empty() && flat.back() != ' ') flat += ", ";
          continue;
        }
        flat += c;
      }
      value = flat;
    }
    // Characters XML cannot carry at all are dropped.
    value.erase(std::remove_if(value.begin(), value.end(),
                               [](char c) {
                                 unsigned char u = static_cast<unsigned char>(c);
                                 return u < 0x20 && c != '\n' && c != '\t';
                               }),
                value.end());
    out += value;
    last = std::size_t(m.position() + m.length());
  }
  out += text.substr(last);
  fixed += text.substr(last);
  if (fixedPart) *fixedPart = fixed;
  return out;
}

// How deep elements nest, counted without recursion: the template's own
// walks and the SVG renderer recurse once per level.
int NestingDepth(const pugi::xml_document& doc) {
  int deepest = 0;
  std::vector<std::pair<pugi::xml_node, int>> stack{{doc, 0}};
  while (!stack.empty()) {
    auto [n, depth] = stack.back();
    stack.pop_back();
    deepest = std::max(deepest, depth);
    if (depth > detail::kMaxTemplateNesting) break;
    for (pugi::xml_node c = n.first_child(); c; c = c.next_sibling())
      if (c.type() == pugi::node_element) stack.emplace_back(c, depth + 1);
  }
  return deepest;
}

void CollectPcdata(pugi::xml_node n, std::vector<pugi::xml_node>* out) {
  for (pugi::xml_node c = n.first_child(); c; c = c.next_sibling()) {
    if (c.type() == pugi::node_pcdata || c.type() == pugi::node_cdata)
      out->push_back(c);
    else if (c.type() == pugi::node_element)
      CollectPcdata(c, out);
  }
}

struct ViewBox {
  double x = 0, y = 0, width = 2150, height = 2970;
};

ViewBox ReadViewBox(const pugi::xml_node& svg) {
  ViewBox vb;
  std::string text = svg.attribute("viewBox").value();
  std::replace(text.begin(), text.end(), ',', ' ');
  std::stringstream ss(text);
  double v[4];
  if (ss >> v[0] >> v[1] >> v[2] >> v[3] && v[2] > 0 && v[3] > 0) {
    vb = {v[0], v[1], v[2], v[3]};
  } else {
    vb.width = Number(svg.attribute("width").value(), vb.width);
    vb.height = Number(svg.attribute("height").value(), vb.height);
  }
  return vb;
}

double FirstCoordinate(const pugi::xml_node& n, const char* attr, double fallback) {
  std::string v = n.attribute(attr).value();
  std::replace(v.begin(), v.end(), ',', ' ');
  return Number(Trim(v).substr(0, Trim(v).find(' ')), fallback);
}

// Fits one text element whose content was filled in.
void FitTextElement(pugi::xml_node text, std::vector<Substituted>& parts, const ViewBox& vb) {
  TextMeasure m(text);
  double x = FirstCoordinate(text, "x", vb.x);
  double y = FirstCoordinate(text, "y", vb.y);
  std::string anchor = InheritedProperty(text, "text-anchor");
  double width = Number(text.attribute("data-fit-width").value(), -1);
  if (width <= 0) {
    double margin = m.Size() * 0.5;
    if (anchor == "middle")
      width = 2 * std::min(x - vb.x, vb.x + vb.width - x) - 2 * margin;
    else if (anchor == "end")
      width = x - vb.x - margin;
    else
      width = vb.x + vb.width - x - margin;
  }
  width = std::max(width, 0.0);
  int lines = static_cast<int>(Number(text.attribute("data-lines").value(), 1));
  lines = std::clamp(lines, 1, 60);

  if (lines == 1) {
    // All text of the element on one line: cut the filled values from the
    // last one backwards until the whole line fits.
    std::vector<pugi::xml_node> all;
    CollectPcdata(text, &all);
    auto lineText = [&]() {
      QString s;
      for (auto& n : all) s += QString::fromUtf8(n.value());
      return s;
    };
    for (auto it = parts.rbegin(); it != parts.rend() && m.Width(lineText()) > width; ++it) {
      QString others;
      for (auto& n : all)
        if (n != it->node) others += QString::fromUtf8(n.value());
      QString value = it->text;
      // Cut only what the placeholders added: the literal text stays.
      QString cut = CutToWidth(m, others, value, width);
      if (cut.size() < it->fixed.size()) cut = it->fixed;  // never below the literal text
      it->node.set_value(cut.toUtf8().constData());
    }
    return;
  }

  // Several lines: the element's text is wrapped into tspans.
  QString whole;
  {
    std::vector<pugi::xml_node> all;
    CollectPcdata(text, &all);
    for (auto& n : all) whole += QString::fromUtf8(n.value());
  }
  double lineHeight = Number(text.attribute("data-line-height").value(), m.Size() * 1.3);
  QStringList wrapped = WrapToLines(m, whole, width, lines);
  // The SVG renderer places tspans as one run, so each line becomes a text
  // element of its own with the original's attributes and its own baseline.
  pugi::xml_node parent = text.parent();
  pugi::xml_node after = text;
  char buf[64];
  for (int i = 0; i < wrapped.size(); ++i) {
    pugi::xml_node line = parent.insert_copy_after(text, after);
    while (pugi::xml_node c = line.first_child()) line.remove_child(c);
    std::snprintf(buf, sizeof buf, "%g", x);
    line.attribute("x") ? line.attribute("x").set_value(buf) : line.append_attribute("x").set_value(buf);
    std::snprintf(buf, sizeof buf, "%g", y + i * lineHeight);
    line.attribute("y") ? line.attribute("y").set_value(buf) : line.append_attribute("y").set_value(buf);
    line.remove_attribute("data-lines");
    line.append_child(pugi::node_pcdata).set_value(wrapped[i].toUtf8().constData());
    after = line;
  }
  parent.remove_child(text);
}

void CheckFonts(const pugi::xml_node& root, std::vector<Problem>* problems) {
  std::set<std::string> seen;
  const QStringList installed = QFontDatabase::families();
  auto check = [&](const pugi::xml_node& n) {
    std::string value = OwnProperty(n, "font-family");
    if (value.empty() || !seen.insert(value).second) return;
    for (const QString& f : FamilyList(value)) {
      if (IsGenericFamily(f)) return;
      for (const QString& have : installed)
        if (have.compare(f, Qt::CaseInsensitive) == 0) return;
    }
    problems->push_back({kErrFileNotFound, "Font not installed: " + value});
  };
  std::vector<pugi::xml_node> stack{root};
  while (!stack.empty()) {
    pugi::xml_node n = stack.back();
    stack.pop_back();
    check(n);
    for (pugi::xml_node c = n.first_child(); c; c = c.next_sibling())
      if (c.type() == pugi::node_element) stack.push_back(c);
  }
}

// Images must be embedded or files that exist; others are removed so the
// page draws without them (and nothing is fetched from a network).
void CheckImages(pugi::xml_node root, const std::string& baseFolder, std::vector<Problem>* problems) {
  std::vector<pugi::xml_node> images;
  std::vector<pugi::xml_node> stack{root};
  while (!stack.empty()) {
    pugi::xml_node n = stack.back();
    stack.pop_back();
    if (LocalName(n) == "image") images.push_back(n);
    for (pugi::xml_node c = n.first_child(); c; c = c.next_sibling())
      if (c.type() == pugi::node_element) stack.push_back(c);
  }
  for (pugi::xml_node img : images) {
    pugi::xml_attribute href = img.attribute("xlink:href");
    if (!href) href = img.attribute("href");
    std::string ref = Trim(href.value());
    if (ref.rfind("data:", 0) == 0) continue;
    std::string path = ref.rfind("file://", 0) == 0 ? ref.substr(7) : ref;
    bool remote = ref.find("://") != std::string::npos && ref.rfind("file://", 0) != 0;
    std::error_code ec;
    if (!remote && !path.empty()) {
      std::filesystem::path p(path);
      if (p.is_relative() && !baseFolder.empty()) p = std::filesystem::path(baseFolder) / p;
      if (std::filesystem::is_regular_file(p, ec)) {
        href.set_value(p.string().c_str());
        continue;
      }
    }
    problems->push_back({kErrFileNotFound, "Image not found: " + ref});
    img.parent().remove_child(img);
  }
}

}  // namespace

bool FillTemplate(const std::string& svgText, const CoverFields& fields, const std::string& baseFolder,
                  FilledTemplate* out) {
  *out = FilledTemplate();
  if (svgText.size() > detail::kMaxTemplateBytes) {
    out->problems.push_back(
        {kErrOutOfMemory, "Cover page template too large: " + std::to_string(svgText.size()) + " bytes"});
    return false;
  }
  if (!detail::EnsureGuiApplication()) {
    out->problems.push_back({kErrNotAvailable, "No text drawing in this process"});
    return false;
  }
  pugi::xml_document doc;
  pugi::xml_parse_result parsed =
      doc.load_buffer(svgText.data(), svgText.size(), pugi::parse_default | pugi::parse_ws_pcdata_single);
  if (!parsed) {
    out->problems.push_back({kErrTypeMismatch, std::string("Cover page template is not SVG: ") +
                                                   parsed.description() + " at offset " +
                                                   std::to_string(parsed.offset)});
    return false;
  }
  if (int depth = NestingDepth(doc); depth > detail::kMaxTemplateNesting) {
    out->problems.push_back({kErrTypeMismatch, "Cover page template nests elements " + std::to_string(depth) +
                                                   " deep (at most " +
                                                   std::to_string(detail::kMaxTemplateNesting) + ")"});
    return false;
  }
  pugi::xml_node svg = doc.document_element();
  if (LocalName(svg) != "svg") {
    out->problems.push_back(
        {kErrTypeMismatch, "Cover page template is not SVG: root element <" + std::string(svg.name()) + ">"});
    return false;
  }
  ViewBox vb = ReadViewBox(svg);
  CheckFonts(svg, &out->problems);
  CheckImages(svg, baseFolder, &out->problems);

  // Each text element (the outermost "text") with the filled parts in it.
  std::set<std::string> unknown;
  std::vector<pugi::xml_node> texts;
  std::vector<pugi::xml_node> stack{svg};
  while (!stack.empty()) {
    pugi::xml_node n = stack.back();
    stack.pop_back();
    if (LocalName(n) == "text") {
      texts.push_back(n);
      continue;
    }
    for (pugi::xml_node c = n.last_child(); c; c = c.previous_sibling())
      if (c.type() == pugi::node_element) stack.push_back(c);
  }
  for (pugi::xml_node text : texts) {
    bool oneLine = Number(text.attribute("data-lines").value(), 1) <= 1;
    std::vector<pugi::xml_node> pcdata;
    CollectPcdata(text, &pcdata);
    std::vector<Substituted> parts;
    for (pugi::xml_node n : pcdata) {
      std::string value = n.value();
      if (value.find("{{") == std::string::npos) continue;
      int before = out->placeholders;
      std::string fixed;
      std::string filled = Substitute(value, fields, oneLine, &out->placeholders, &fixed, &unknown);
      if (out->placeholders == before) continue;
      // CDATA would end at "]]>" in a value: make it plain text instead.
      if (n.type() == pugi::node_cdata) {
        pugi::xml_node plain = n.parent().insert_child_before(pugi::node_pcdata, n);
        n.parent().remove_child(n);
        n = plain;
      }
      n.set_value(filled.c_str());
      parts.push_back({n, QString::fromUtf8(fixed.c_str()), QString::fromUtf8(filled.c_str())});
    }
    if (!parts.empty()) FitTextElement(text, parts, vb);
  }
  for (const auto& name : unknown)
    out->problems.push_back({kErrInvalidCall, "Unknown cover page field: {{" + name + "}}"});
  if (out->placeholders == 0) out->problems.push_back({kErrInvalidCall, "Cover page template has no fields"});

  std::ostringstream os;
  doc.save(os, "", pugi::format_raw | pugi::format_no_declaration);
  out->svg = os.str();
  return true;
}

}  // namespace brevant::cover
