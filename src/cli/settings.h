// The command line: one command letter, switches, the archive name and the
// wildcards, read into one Settings record for the run.
//
// Switches begin with "-" or "/" and are read only before the archive name;
// "--" ends them. On POSIX an argument that begins with "/" and holds a
// second "/" is a path (the archive name), not a switch.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pipeline/coding_options.h"

namespace tarn {

enum Command : uint8_t {
  CMD_NONE = 0,
  CMD_CREATE = 1,
  CMD_EXTRACT = 2,
  CMD_TEST = 3,
  CMD_EXTRACT_FLAT = 4,
  CMD_LIST = 5,
  CMD_INFO = 6,
};

inline constexpr uint8_t FILTER_TEXT = 1;
inline constexpr uint8_t FILTER_EXE = 2;
inline constexpr uint8_t FILTER_MM = 4;
inline constexpr uint8_t FILTER_LOWRED = 8;
inline constexpr uint8_t FILTER_SWAP = 16;

struct Settings {
  uint8_t command = CMD_NONE;
  uint8_t method = METHOD_NORMAL;
  uint8_t filter_disable_mask = 0;
  bool self_extracting = false;
  bool solid_blocks = false;
  bool recurse = false;
  bool store_directories = false;
  std::string output_dir = ".";
  uint32_t operand_index = 2;
  int64_t start_clock = 0;
  std::vector<std::string> args;  // the whole argument vector, program name first
};

enum class ParseStatus {
  RUN,              // run the command's handler
  USAGE,            // no command: banner and usage, status 1
  UNKNOWN_COMMAND,  // " Unknown command: ..." with `text`, status 1
  UNKNOWN_SWITCH,   // " Unknown switch: ..." with `text`, status 1
};

struct ParseResult {
  ParseStatus status = ParseStatus::RUN;
  std::string text;
};

// Fills `settings` from `args` (program name first). Prints nothing.
ParseResult parse_command_line(const std::vector<std::string>& args, Settings& settings);

// The method and the filters -f leaves allowed, as the pipeline takes them.
CodingOptions coding_options(const Settings& settings);

// Completes an archive name for creation with ".trn" (or ".exe" for a
// self-extracting archive) unless it already ends so, in any letter case.
std::string add_create_extension(const std::string& name, bool self_extracting);

}  // namespace tarn
