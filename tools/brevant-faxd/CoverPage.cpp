#include "tools/brevant-faxd/CoverPage.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <sstream>
#include <vector>

#include "platform/fs/TempFiles.h"
#include "platform/process/Process.h"

namespace brevant::faxd {

namespace {

// A PostScript string literal: parentheses and backslashes escaped, other
// control characters dropped, long texts cut to the line.
std::string PsString(const std::string& s, std::size_t max = 80) {
  std::string out = "(";
  for (std::size_t i = 0; i < s.size() && i < max; ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c == '(' || c == ')' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 32) {
      out += static_cast<char>(c);
    }
  }
  return out + ")";
}

// Splits a note into lines of at most width characters at blanks.
std::vector<std::string> Wrap(const std::string& text, std::size_t width) {
  std::vector<std::string> lines;
  std::string line, word;
  auto flushWord = [&] {
    if (word.empty()) return;
    if (!line.empty() && line.size() + 1 + word.size() > width) {
      lines.push_back(line);
      line.clear();
    }
    line += (line.empty() ? "" : " ") + word;
    word.clear();
  };
  for (char c : text) {
    if (c == '\n') {
      flushWord();
      lines.push_back(line);
      line.clear();
    } else if (c == ' ' || c == '\t' || c == '\r') {
      flushWord();
    } else {
      word += c;
    }
  }
  flushWord();
  if (!line.empty()) lines.push_back(line);
  return lines;
}

}  // namespace

bool MakeCoverPage(const faxsvc::Message& f, int documentPages, const std::string& tiffPath, std::string* why) {
  std::string ps = tiffPath + ".ps";
  {
    std::ostringstream out;
    out << "%!PS\n/F { findfont exch scalefont setfont } def\n"
        << "/L { moveto show } def\n"
        << "36 /Helvetica-Bold F " << PsString("FAX") << " 60 760 L\n"
        << "4 setlinewidth 60 745 moveto 535 745 lineto stroke\n";
    std::time_t now = std::time(nullptr);
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M", std::localtime(&now));
    struct Row {
      const char* label;
      std::string value;
    };
    std::string sender = f.Get("sender_name");
    if (!f.Get("sender_company").empty()) sender += (sender.empty() ? "" : ", ") + f.Get("sender_company");
    std::vector<Row> rows = {
        {"To:", f.Get("name")},
        {"Fax number:", f.Get("number")},
        {"From:", sender},
        {"Fax:", f.Get("sender_fax")},
        {"Phone:", f.Get("sender_office_phone")},
        {"E-mail:", f.Get("sender_email")},
        {"Date:", date},
        {"Pages:", std::to_string(documentPages + 1) + " including this cover page"},
        {"Subject:", f.Get("subject")},
    };
    int y = 700;
    for (const Row& r : rows) {
      out << "13 /Helvetica-Bold F " << PsString(r.label) << " 60 " << y << " L\n"
          << "13 /Helvetica F " << PsString(r.value) << " 160 " << y << " L\n";
      y -= 24;
    }
    y -= 20;
    out << "2 setlinewidth 60 " << y + 12 << " moveto 535 " << y + 12 << " lineto stroke\n";
    for (const std::string& line : Wrap(f.Get("note"), 75)) {
      y -= 18;
      if (y < 60) break;
      out << "12 /Helvetica F " << PsString(line) << " 60 " << y << " L\n";
    }
    out << "showpage\n";
    // A new file next to the page, never one a link left there.
    if (!platform::WriteFreshFile(ps, out.str(), 0600, why)) return false;
  }
  auto r = platform::Spawn({"gs", "-q", "-dNOPAUSE", "-dBATCH", "-dSAFER", "-sDEVICE=tiffg4", "-r204x196",
                            "-sPAPERSIZE=a4", "-dFIXEDMEDIA", "-sOutputFile=" + tiffPath, ps},
                           "", true, 30000);
  std::error_code ec;
  std::filesystem::remove(ps, ec);
  if (!r.started || r.timedOut || r.exitCode != 0) {
    *why = !r.started ? "Ghostscript (gs) cannot be started: " + r.error
                      : r.timedOut ? "Ghostscript did not finish the cover page" : "Ghostscript failed on the cover page";
    return false;
  }
  return true;
}

}  // namespace brevant::faxd
