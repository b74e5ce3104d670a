#include "cli/tarn/options.h"

#include <cstdlib>

namespace tarn_cli {

namespace {

// Which commands an option applies to, one bit per command.
constexpr unsigned bit(Command c) { return 1u << static_cast<unsigned>(c); }
constexpr unsigned WRITING = bit(Command::CREATE) | bit(Command::ADD) | bit(Command::DELETE);
constexpr unsigned READING = bit(Command::EXTRACT) | bit(Command::CAT) | bit(Command::LIST) | bit(Command::TEST);
constexpr unsigned ALL = ~0u;

enum class Id { HELP, VERSION, METHOD, LEVEL, NO_SOLID, EXCLUDE, THREADS, QUIET, VERBOSE, LONG, JSON, STDOUT,
                DIRECTORY, NAME, OVERWRITE, SKIP_EXISTING, KEEP_NEWER };

struct KnownOption {
  Id id;
  char short_name;     // 0: none
  const char* long_name;
  bool takes_value;
  unsigned commands;
};

const KnownOption KNOWN_OPTIONS[] = {
    {Id::HELP, 'h', "help", false, ALL},
    {Id::VERSION, 'V', "version", false, ALL},
    {Id::METHOD, 0, "method", true, bit(Command::CREATE) | bit(Command::BENCH)},
    {Id::NO_SOLID, 0, "no-solid", false, bit(Command::CREATE) | bit(Command::ADD)},
    {Id::EXCLUDE, 0, "exclude", true, WRITING | READING},
    {Id::THREADS, 'j', "threads", true, WRITING | READING},
    {Id::QUIET, 'q', "quiet", false, ALL},
    {Id::VERBOSE, 'v', "verbose", false, ALL},
    {Id::LONG, 'l', "long", false, bit(Command::LIST)},
    {Id::JSON, 0, "json", false, bit(Command::LIST) | bit(Command::INFO)},
    {Id::STDOUT, 0, "stdout", false, bit(Command::EXTRACT)},
    {Id::DIRECTORY, 'C', "directory", true, bit(Command::EXTRACT)},
    {Id::NAME, 0, "name", true, bit(Command::CREATE) | bit(Command::ADD)},
    {Id::OVERWRITE, 'f', "overwrite", false, bit(Command::EXTRACT)},
    {Id::SKIP_EXISTING, 0, "skip-existing", false, bit(Command::EXTRACT)},
    {Id::KEEP_NEWER, 0, "keep-newer", false, bit(Command::EXTRACT)},
};

struct Given {
  const KnownOption* option;
  std::string word;  // as typed, for messages
  std::string value;
};

bool parse_count(const std::string& text, unsigned& out) {
  if (text.empty() || text.size() > 4) return false;
  for (const char c : text)
    if (c < '0' || c > '9') return false;
  out = static_cast<unsigned>(std::atoi(text.c_str()));
  return true;
}

bool apply(const Given& g, Options& o, std::string& error) {
  switch (g.option->id) {
    case Id::HELP: o.help = true; break;
    case Id::VERSION: o.version = true; break;
    case Id::METHOD:
    case Id::LEVEL:
      o.method = method_named(g.value);
      o.method_given = true;
      if (o.method < 0) {
        error = "unknown method '" + g.value + "' (store, quickest, fast, normal, good, superb, extreme or 0 to 6)";
        return false;
      }
      break;
    case Id::NO_SOLID: o.solid = false; break;
    case Id::EXCLUDE: o.excludes.push_back(g.value); break;
    case Id::THREADS:
      if (!parse_count(g.value, o.threads) || o.threads == 0) {
        error = "option '" + g.word + "' wants a number of threads from 1, not '" + g.value + "'";
        return false;
      }
      break;
    case Id::QUIET: o.quiet = true; break;
    case Id::VERBOSE: o.verbose = true; break;
    case Id::LONG: o.long_form = true; break;
    case Id::JSON: o.json = true; break;
    case Id::STDOUT: o.to_stdout = true; break;
    case Id::DIRECTORY: o.directory = g.value; break;
    case Id::NAME: o.stdin_name = g.value; break;
    case Id::OVERWRITE: o.overwrite = Overwrite::ALWAYS; break;
    case Id::SKIP_EXISTING: o.overwrite = Overwrite::SKIP; break;
    case Id::KEEP_NEWER: o.overwrite = Overwrite::KEEP_NEWER; break;
  }
  return true;
}

const KnownOption LEVEL_OPTION = {Id::LEVEL, 0, "method", false, bit(Command::CREATE) | bit(Command::BENCH)};

}  // namespace

Command command_named(const std::string& w) {
  if (w == "create" || w == "c") return Command::CREATE;
  if (w == "add" || w == "a") return Command::ADD;
  if (w == "delete" || w == "d") return Command::DELETE;
  if (w == "extract" || w == "x") return Command::EXTRACT;
  if (w == "cat") return Command::CAT;
  if (w == "list" || w == "l") return Command::LIST;
  if (w == "test" || w == "t") return Command::TEST;
  if (w == "info" || w == "i") return Command::INFO;
  if (w == "bench") return Command::BENCH;
  return Command::NONE;
}

const char* command_name(Command c) {
  switch (c) {
    case Command::CREATE: return "create";
    case Command::ADD: return "add";
    case Command::DELETE: return "delete";
    case Command::EXTRACT: return "extract";
    case Command::CAT: return "cat";
    case Command::LIST: return "list";
    case Command::TEST: return "test";
    case Command::INFO: return "info";
    case Command::BENCH: return "bench";
    case Command::NONE: break;
  }
  return "";
}

static const char* const METHOD_NAMES[] = {"store", "quickest", "fast", "normal", "good", "superb", "extreme"};

int method_named(const std::string& name) {
  if (name.size() == 1 && name[0] >= '0' && name[0] <= '6') return name[0] - '0';
  for (int m = 0; m < 7; ++m)
    if (name == METHOD_NAMES[m]) return m;
  return -1;
}

const char* method_name(int method) { return method >= 0 && method < 7 ? METHOD_NAMES[method] : "unknown"; }

bool parse_options(const std::vector<std::string>& words, Options& o, std::string& error) {
  std::vector<Given> given;
  std::vector<std::string> positional;
  bool options_end = false;
  for (size_t i = 0; i < words.size(); ++i) {
    const std::string& w = words[i];
    if (options_end || w == "-" || w.size() < 2 || w[0] != '-') {
      positional.push_back(w);
      continue;
    }
    if (w == "--") {
      options_end = true;
      continue;
    }
    if (w[1] == '-') {
      const size_t eq = w.find('=');
      const std::string name = w.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
      const KnownOption* option = nullptr;
      for (const KnownOption& s : KNOWN_OPTIONS)
        if (name == s.long_name) option = &s;
      if (option == nullptr) {
        error = "unknown option '" + w.substr(0, eq) + "'";
        return false;
      }
      Given g{option, "--" + name, ""};
      if (option->takes_value) {
        if (eq != std::string::npos) g.value = w.substr(eq + 1);
        else if (i + 1 < words.size()) g.value = words[++i];
        else {
          error = "option '--" + name + "' needs a value";
          return false;
        }
      } else if (eq != std::string::npos) {
        error = "option '--" + name + "' takes no value";
        return false;
      }
      given.push_back(g);
      continue;
    }
    // Short options, joined or not; one with a value takes the rest of the
    // word or the next word.
    for (size_t k = 1; k < w.size(); ++k) {
      const char c = w[k];
      if (c >= '0' && c <= '6') {
        given.push_back(Given{&LEVEL_OPTION, std::string("-") + c, std::string(1, c)});
        continue;
      }
      const KnownOption* option = nullptr;
      for (const KnownOption& s : KNOWN_OPTIONS)
        if (s.short_name != 0 && c == s.short_name) option = &s;
      if (option == nullptr) {
        error = std::string("unknown option '-") + c + "'";
        return false;
      }
      Given g{option, std::string("-") + c, ""};
      if (option->takes_value) {
        if (k + 1 < w.size()) g.value = w.substr(k + 1);
        else if (i + 1 < words.size()) g.value = words[++i];
        else {
          error = std::string("option '-") + c + "' needs a value";
          return false;
        }
        given.push_back(g);
        break;
      }
      given.push_back(g);
    }
  }
  if (!positional.empty()) {
    o.command = command_named(positional.front());
    if (o.command == Command::NONE) {
      error = "unknown command '" + positional.front() + "'";
      return false;
    }
    positional.erase(positional.begin());
  }
  for (const Given& g : given) {
    if (o.command != Command::NONE && (g.option->commands & bit(o.command)) == 0) {
      error = "option '" + g.word + "' does not apply to " + command_name(o.command);
      return false;
    }
    if (!apply(g, o, error)) return false;
  }
  o.operands = std::move(positional);
  return true;
}

}  // namespace tarn_cli
