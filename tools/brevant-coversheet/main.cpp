// brevant-coversheet: draws the fax service's cover sheet with the
// program's cover page drawing. brevant-faxd runs it as an unprivileged
// user for each fax that asks for one, so that no template, font or picture
// code runs with the service's rights and Qt never loads into the service.
//
// Standard input: the cover page fields as "name", NUL, "value", NUL pairs
// (CoverDraw.h names the fields). Standard output: the page as a raw PBM
// (P4), 1728 pixels wide at 204 x 196 dpi. Exit status 0; otherwise 1 with
// the reason on standard error.
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "render/cover/CoverDraw.h"

namespace {

// More than the fields of any fax (the service bounds each field).
constexpr std::size_t kMaxInput = 1u << 20;

bool ReadFields(brevant::cover::CoverFields* fields) {
  std::string in;
  char buf[65536];
  for (ssize_t n; (n = ::read(0, buf, sizeof buf)) != 0;) {
    if (n < 0) return false;
    in.append(buf, static_cast<std::size_t>(n));
    if (in.size() > kMaxInput) return false;
  }
  std::vector<std::string> parts;
  for (std::size_t at = 0; at < in.size();) {
    std::size_t end = in.find('\0', at);
    if (end == std::string::npos) return false;
    parts.push_back(in.substr(at, end - at));
    at = end + 1;
  }
  if (parts.size() % 2 != 0) return false;
  for (std::size_t i = 0; i < parts.size(); i += 2) (*fields)[parts[i]] = parts[i + 1];
  return true;
}

}  // namespace

int main() {
  brevant::cover::CoverFields fields;
  if (!ReadFields(&fields)) {
    std::fputs("brevant-coversheet: the fields are not name/value pairs\n", stderr);
    return 1;
  }
  // The built-in cover page: every field as a plain list.
  brevant::emf::Page page;
  std::vector<brevant::cover::Problem> problems;
  if (!brevant::cover::RenderPage("", fields, &page, &problems)) {
    std::string why = problems.empty() ? std::string("nothing could be drawn") : problems.back().text;
    std::fprintf(stderr, "brevant-coversheet: %s\n", why.c_str());
    return 1;
  }
  const std::string header = "P4\n" + std::to_string(page.width) + " " + std::to_string(page.height) + "\n";
  if (std::fwrite(header.data(), 1, header.size(), stdout) != header.size() ||
      std::fwrite(page.bits.data(), 1, page.bits.size(), stdout) != page.bits.size() ||
      std::fflush(stdout) != 0) {
    std::fputs("brevant-coversheet: the page could not be handed over\n", stderr);
    return 1;
  }
  return 0;
}
