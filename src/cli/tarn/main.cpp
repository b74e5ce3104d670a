// tarn: a command line for scripts and today's habits, over libtarn's C
// interface only. It makes the same archives as tarnc.
#include <cstdio>
#include <string>
#include <vector>

#include "cli/tarn/commands.h"
#include "cli/tarn/options.h"
#include "cli/tarn/report.h"
#include "tarn/tarn.h"

namespace {

using namespace tarn_cli;

const char USAGE[] =
    "Usage: tarn COMMAND [OPTIONS] ARCHIVE [PATH|PATTERN...]\n"
    "\n"
    "Commands:\n"
    "  create, c   pack files and directories (directories with all below them)\n"
    "  add, a      add files to an archive, replacing entries of the same name\n"
    "  delete, d   remove entries by name or pattern\n"
    "  extract, x  extract entries (-C DIR, --stdout)\n"
    "  cat         write entries' bytes to standard output\n"
    "  list, l     list entries (-l long form, --json)\n"
    "  test, t     check every entry's bytes\n"
    "  info, i     tell about the archive (--json)\n"
    "  bench       size and speed of every method on FILE...\n"
    "\n"
    "Options (in any position; '--' ends them):\n"
    "  -0 ... -6, --method=NAME  store, quickest, fast, normal (default), good,\n"
    "                            superb, extreme\n"
    "      --no-solid            pack every file on its own (default: solid groups)\n"
    "      --exclude=PATTERN     leave out matching paths or entries (repeatable)\n"
    "  -j, --threads=N           worker threads (default: one per core)\n"
    "      --name=NAME           the entry name of standard input ('-')\n"
    "  -C, --directory=DIR       extract below DIR\n"
    "      --stdout              extract to standard output\n"
    "  -f, --overwrite           replace existing files on extract\n"
    "      --skip-existing       keep existing files, quietly\n"
    "      --keep-newer          keep existing files newer than the entry\n"
    "  -l, --long                the long listing\n"
    "      --json                list or info as JSON\n"
    "  -q, --quiet               no progress, no notes but errors\n"
    "  -v, --verbose             name every entry worked on\n"
    "  -h, --help                this help (tarn COMMAND --help for a command)\n"
    "  -V, --version             the version\n"
    "\n"
    "An input '-' packs standard input as one entry. The archive must be a file.\n"
    "Patterns: '*' any characters (also '/'), '?' one; a directory's name selects\n"
    "everything below it.\n"
    "\n"
    "Exit status: 0 all done; 1 an error (usage, I/O, a refused or missing input,\n"
    "an entry not written); 2 damaged data (CRC errors, damaged pieces).\n";

const char* command_help(Command c) {
  switch (c) {
    case Command::CREATE:
      return "Usage: tarn create [OPTIONS] ARCHIVE PATH...\n"
             "Packs files and directories (with all below them) into a new ARCHIVE,\n"
             "written beside it and renamed into place. '-' packs standard input as one\n"
             "entry (--name=NAME, default 'stdin').\n"
             "Options: -0..-6, --method=NAME, --no-solid, --exclude=PATTERN, -j N, --name=NAME,\n"
             "-q, -v\n";
    case Command::ADD:
      return "Usage: tarn add [OPTIONS] ARCHIVE PATH...\n"
             "Adds files to ARCHIVE, replacing entries of the same name. Pieces that do not\n"
             "change are copied byte for byte; a solid group with a replaced member is\n"
             "packed again. New entries use the archive's method.\n"
             "Options: --no-solid, --exclude=PATTERN, -j N, --name=NAME, -q, -v\n";
    case Command::DELETE:
      return "Usage: tarn delete [OPTIONS] ARCHIVE NAME|PATTERN...\n"
             "Removes the entries named (a directory with all below it). When a name\n"
             "matches nothing, the archive is left as it was.\n"
             "Options: -j N, -q, -v\n";
    case Command::EXTRACT:
      return "Usage: tarn extract [OPTIONS] ARCHIVE [NAME|PATTERN...]\n"
             "Extracts entries below DIR (-C, default '.'), or to standard output (--stdout).\n"
             "An existing file is kept, and the run ends with status 1, unless -f.\n"
             "Options: -C DIR, --stdout, -f, --skip-existing, --keep-newer, --exclude=PATTERN,\n"
             "-j N, -q, -v\n";
    case Command::CAT:
      return "Usage: tarn cat [OPTIONS] ARCHIVE [NAME|PATTERN...]\n"
             "Writes the entries' bytes to standard output, in the archive's order.\n"
             "Options: --exclude=PATTERN, -j N, -q\n";
    case Command::LIST:
      return "Usage: tarn list [OPTIONS] ARCHIVE [NAME|PATTERN...]\n"
             "Lists entries: size, packed size, ratio, time (ISO 8601, UTC), mode, CRC-32\n"
             "and the full name. -l adds attributes and groups; -q gives names only;\n"
             "--json gives one JSON array (keys in tarn(1)).\n"
             "Options: -l, --json, --exclude=PATTERN, -q\n";
    case Command::TEST:
      return "Usage: tarn test [OPTIONS] ARCHIVE [NAME|PATTERN...]\n"
             "Decodes entries and checks their CRC-32; status 2 when any is damaged.\n"
             "Options: --exclude=PATTERN, -j N, -q, -v\n";
    case Command::INFO:
      return "Usage: tarn info [OPTIONS] ARCHIVE\n"
             "Tells the archive's method, entries, sizes and pieces. Options: --json\n";
    case Command::BENCH:
      return "Usage: tarn bench [OPTIONS] FILE...\n"
             "Packs and unpacks each FILE in memory with every method (or the one of\n"
             "-0..-6 or --method) and shows sizes and speeds side by side.\n";
    case Command::NONE: break;
  }
  return USAGE;
}

}  // namespace

int main(int argc, char** argv) {
  // An interrupted run leaves no temporary, and a file-size limit is an error.
  tarn_remove_temporaries_on_signals();
  const std::vector<std::string> words(argv + (argc > 0 ? 1 : 0), argv + argc);
  Options o;
  std::string error;
  if (!parse_options(words, o, error)) {
    message(error);
    std::fputs("Try 'tarn --help'.\n", stderr);
    return EXIT_ERROR;
  }
  if (o.help) {
    std::fputs(command_help(o.command), stdout);
    if (o.command != Command::NONE) std::puts("Exit status: 0 all done; 1 an error; 2 damaged data.");
    return EXIT_DONE;
  }
  if (o.version) {
    std::printf("tarn %s (libtarn %s)\n", TARN_VERSION_STRING, tarn_version_string());
    return EXIT_DONE;
  }
  switch (o.command) {
    case Command::CREATE:
    case Command::ADD: return run_create(o);
    case Command::DELETE: return run_delete(o);
    case Command::EXTRACT:
    case Command::CAT: return run_extract(o);
    case Command::LIST: return run_list(o);
    case Command::TEST: return run_test(o);
    case Command::INFO: return run_info(o);
    case Command::BENCH: return run_bench(o);
    case Command::NONE: break;
  }
  message("no command given");
  std::fputs("Try 'tarn --help'.\n", stderr);
  return EXIT_ERROR;
}
