#include <iostream>

#include "tools/brevant-reg/RegTool.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return brevant::regtool::Run(args, std::cout, std::cerr);
}
