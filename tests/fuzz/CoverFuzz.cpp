// Fuzzes cover page templates: any text is filled or refused with a
// problem, and what is filled draws (through the SVG renderer) without
// trouble, however deep its elements nest. Filled values never add markup.
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

#include "render/cover/CoverPage.h"
#include "tests/fuzz/FuzzWorld.h"

using namespace brevant;

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  fuzz::Dir();
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  static QGuiApplication app(*argc, *argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string svg = fuzz::Text(data, size);
  cover::CoverFields fields = cover::SampleFields();
  fields["Subject"] = "<b>&amp;\"x\"</b>]]>";
  cover::FilledTemplate out;
  if (!cover::FillTemplate(svg, fields, "", &out)) {
    FUZZ_CHECK(!out.problems.empty());
    return 0;
  }
  const std::string& value = fields["Subject"];
  if (svg.find(value) == std::string::npos) FUZZ_CHECK(out.svg.find(value) == std::string::npos);
  QSvgRenderer renderer(QByteArray::fromStdString(out.svg));
  if (renderer.isValid()) {
    QImage page(172, 229, QImage::Format_RGB32);
    page.fill(Qt::white);
    QPainter painter(&page);
    renderer.render(&painter, QRectF(0, 0, 172, 229));
  }
  return 0;
}
