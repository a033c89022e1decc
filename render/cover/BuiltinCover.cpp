// The built-in cover page: drawn when a template cannot be used, so the
// fax still carries its cover page fields. A plain list of every field.
#include "render/cover/CoverPage_p.h"

namespace brevant::cover::detail {

const std::string& BuiltinTemplate() {
  static const std::string svg =
      R"SVG(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 2150 2970" font-family="DejaVu Sans">
<text x="160" y="300" font-size="120" font-weight="bold">Fax</text>
<rect x="160" y="350" width="1830" height="10"/>
<g font-size="40" font-weight="bold">
<text x="160" y="480">To:</text><text x="160" y="560">Fax number:</text><text x="160" y="640">Company:</text>
<text x="160" y="760">From:</text><text x="160" y="840">Company:</text><text x="160" y="920">Fax number:</text>
<text x="160" y="1000">Phone:</text><text x="160" y="1080">E-mail:</text><text x="160" y="1200">Date:</text>
<text x="160" y="1280">Pages:</text><text x="160" y="1400">Subject:</text><text x="160" y="1520">Note:</text>
</g>
<g font-size="44">
<text x="600" y="480" data-fit-width="1390">{{RecName}}</text>
<text x="600" y="560" data-fit-width="1390">{{RecFaxNumber}}</text>
<text x="600" y="640" data-fit-width="1390">{{RecCompany}}</text>
<text x="600" y="760" data-fit-width="1390">{{SdrName}}</text>
<text x="600" y="840" data-fit-width="1390">{{SdrCompany}}</text>
<text x="600" y="920" data-fit-width="1390">{{SdrFaxNumber}}</text>
<text x="600" y="1000" data-fit-width="1390">{{SdrOfficePhone}}</text>
<text x="600" y="1080" data-fit-width="1390">{{SdrEmail}}</text>
<text x="600" y="1200" data-fit-width="1390">{{TimeSent}}</text>
<text x="600" y="1280" data-fit-width="1390">{{PageCount}}</text>
<text x="600" y="1400" data-fit-width="1390" font-weight="bold">{{Subject}}</text>
<text x="600" y="1520" data-fit-width="1390" data-lines="18" data-line-height="64">{{Note}}</text>
</g>
</svg>)SVG";
  return svg;
}

}  // namespace brevant::cover::detail
