// tarnc: the command-line archiver. Everything happens in run_tarnc.
#include <string>
#include <vector>

#include "cli/commands.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  return tarn::run_tarnc(args);
}
