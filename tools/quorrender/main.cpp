// quorrender: the suite's rendering console tool. The command line is one
// text, as the suite writes it; the words are joined back with blanks.
#include <string>

#include "tools/quorrender/Quorrender.h"

int main(int argc, char** argv) {
  std::string line;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) line += ' ';
    std::string word = argv[i];
    // A path that the shell unquoted keeps its quotes, so blanks inside it
    // do not split it.
    bool quote = word.find(' ') != std::string::npos && word.find('"') == std::string::npos;
    line += quote ? "\"" + word + "\"" : word;
  }
  return brevant::quor::Run(line);
}
