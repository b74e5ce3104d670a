// tarn's command line: the command, its options and its operands.
//
// Options may come anywhere, before or after the command and the operands;
// "--" ends them. Short options can be joined ("-qv", "-j4"); a value may
// follow its option as the next word ("-C dir", "--threads 4") or after '='
// ("--threads=4").
#pragma once

#include <string>
#include <vector>

namespace tarn_cli {

enum class Command { NONE, CREATE, ADD, DELETE, EXTRACT, CAT, LIST, TEST, INFO, BENCH };

enum class Overwrite { NEVER, ALWAYS, SKIP, KEEP_NEWER };

struct Options {
  Command command = Command::NONE;
  bool help = false;
  bool version = false;
  int method = 3;  // Normal
  bool method_given = false;
  bool solid = true;
  std::vector<std::string> excludes;
  unsigned threads = 0;  // one per core
  bool quiet = false;
  bool verbose = false;
  bool long_form = false;
  bool json = false;
  bool to_stdout = false;
  std::string directory = ".";
  std::string stdin_name = "stdin";
  Overwrite overwrite = Overwrite::NEVER;
  std::vector<std::string> operands;  // the archive first, unless bench
};

// The command of a name or its alias ("create", "c"); NONE when unknown.
Command command_named(const std::string& word);
const char* command_name(Command command);

// Parses the words after the program's name. False with `error` set (the
// message without the "tarn: " in front) for a usage error.
bool parse_options(const std::vector<std::string>& words, Options& options, std::string& error);

// The method of a name ("normal") or digit; -1 when unknown.
int method_named(const std::string& name);
const char* method_name(int method);

}  // namespace tarn_cli
