#include "cli/settings.h"

#include <cctype>

#include "archive/archive_reader.h"

namespace tarn {

namespace {

char upper(char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }

int method_code(char letter) {
  switch (upper(letter)) {
    case '0': return 0;
    case 'Q': return 1;
    case 'F': return 2;
    case 'N': return 3;
    case 'G': return 4;
    case 'S': return 5;
    case 'E': return 6;
    default: return -1;
  }
}

int filter_bit(char letter) {
  switch (upper(letter)) {
    case 'T': return FILTER_TEXT;
    case 'E': return FILTER_EXE;
    case 'M': return FILTER_MM;
    case 'L': return FILTER_LOWRED;
    case 'S': return FILTER_SWAP;
    default: return -1;
  }
}

uint8_t command_code(char letter) {
  switch (upper(letter)) {
    case 'C': return CMD_CREATE;
    case 'X': return CMD_EXTRACT;
    case 'T': return CMD_TEST;
    case 'E': return CMD_EXTRACT_FLAT;
    case 'L': return CMD_LIST;
    case 'I': return CMD_INFO;
    default: return CMD_NONE;
  }
}

bool is_switch(const std::string& arg) {
  if (arg.size() < 2) return false;
  if (arg[0] == '-') return true;
  // "/b" is a switch, "/tmp/a.trn" a path.
  return arg[0] == '/' && arg.find('/', 1) == std::string::npos;
}

// Applies one switch; false when it is unknown or malformed.
bool apply_switch(const std::string& arg, Settings& s) {
  const char kind = upper(arg[1]);
  if (arg.size() == 2) {
    switch (kind) {
      case 'D': s.store_directories = true; return true;
      case 'B': s.solid_blocks = true; return true;
      case 'R': s.recurse = true; return true;
      case 'S': s.self_extracting = true; return true;
      default: return false;
    }
  }
  switch (kind) {
    case 'M': {
      if (arg.size() != 3) return false;
      const int code = method_code(arg[2]);
      if (code < 0) return false;
      s.method = static_cast<uint8_t>(code);
      return true;
    }
    case 'O':
      s.output_dir = arg.substr(2);
      return true;
    case 'F':
      for (size_t i = 2; i < arg.size(); ++i) {
        const int bit = filter_bit(arg[i]);
        if (bit < 0) return false;
        s.filter_disable_mask = static_cast<uint8_t>(s.filter_disable_mask | bit);
      }
      return true;
    default:
      return false;
  }
}

}  // namespace

ParseResult parse_command_line(const std::vector<std::string>& args, Settings& settings) {
  settings = Settings{};
  settings.args = args;
  if (args.size() < 2) return {ParseStatus::USAGE, {}};
  const std::string& command = args[1];
  if (command.size() != 1) return {ParseStatus::UNKNOWN_COMMAND, command};
  settings.command = command_code(command[0]);
  if (settings.command == CMD_NONE) return {ParseStatus::UNKNOWN_COMMAND, command};

  size_t index = 2;
  for (; index < args.size(); ++index) {
    const std::string& arg = args[index];
    if (!is_switch(arg)) break;
    if (arg[1] == '-') {
      ++index;
      break;
    }
    if (!apply_switch(arg, settings)) return {ParseStatus::UNKNOWN_SWITCH, arg};
  }
  settings.operand_index = static_cast<uint32_t>(index);
  return {ParseStatus::RUN, {}};
}

// A letter of -f disables the filter family whose allow bit has the same value.
static_assert(FILTER_TEXT == FILTER_ALLOW_TEXT && FILTER_EXE == FILTER_ALLOW_EXE && FILTER_MM == FILTER_ALLOW_MM &&
              FILTER_LOWRED == FILTER_ALLOW_LOWRED && FILTER_SWAP == FILTER_ALLOW_SWAP);

CodingOptions coding_options(const Settings& settings) {
  CodingOptions options;
  options.method = settings.method;
  options.filters = static_cast<uint8_t>(FILTER_ALLOW_ALL & ~settings.filter_disable_mask);
  return options;
}

std::string add_create_extension(const std::string& name, bool self_extracting) {
  if (has_extension(name, self_extracting ? ".EXE" : ".TRN")) return name;
  return name + (self_extracting ? ".exe" : ".trn");
}

}  // namespace tarn
