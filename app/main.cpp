// brevant: one run, one operation, named by the command word.
#include <exception>
#include <iostream>
#include <string>

#include "app/mMisc.h"
#include "common/FaxJob.h"
#include "platform/ui/Ui.h"

int main(int argc, char** argv) {
  // The command line is the program's arguments joined with single blanks.
  std::string commandLine;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) commandLine += ' ';
    commandLine += argv[i];
  }
  try {
    brevant::mMisc::Main(commandLine);
    brevant::ui::RunUntilWindowsClosed();
  } catch (const std::exception& e) {
    std::cerr << "brevant: " << e.what() << std::endl;
    return 1;
  }
  return brevant::Run().ExitStatus;
}
