// Whole-program speed of one or more tarnc builds against xz -9e, in one run.
//
//   tarn_speed [--rounds N] [--mb M] [--no-xz] [--only corpus|chain|swapped|xml|records] TARNC [TARNC ...]
//   tarn_speed [--mb M] --write-text chain|swapped|xml|records FILE
//
// Inputs: the corpus texts (the .txt files of tests/data/canterbury, packed
// as one archive of several files) and four large files of M MB (default 10)
// made from them, each one file: a word chain, a copy with swapped words, an
// XML page dump and a file of numeric records (word_chain_text,
// swapped_words_text, xml_dump_text and records_text below). Every round
// runs each build in turn -- the order alternating from round to round, so
// that a change in the machine's load hits every build alike -- through
// `c -mq` and `t` of that archive, `c -mn` and `x` of that archive (the
// output is compared with the input), `c -me` and `t` of that archive, and
// `xz -9e` and `xz -d` once (unless --no-xz). Each run is a child process;
// its wall time, CPU time (user and system, all its threads) and peak
// resident size are its own. The table gives medians of wall and CPU
// seconds, MB/s of input, the peak memory, every build's speed as a ratio
// to xz and to the first build (wall and CPU), and each build's CPU ratio
// of packing to unpacking. Pinned to one core (`taskset -c 1 tarn_speed`,
// which the children inherit, so that tarnc starts one worker), the CPU
// seconds are the figure to compare.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "bench_corpus.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// The texts' one source of chance: a fixed xorshift sequence, so that every
// run and every machine makes the same texts.
struct XorShift {
  uint64_t state = 0x9E3779B97F4A7C15ull;
  uint64_t operator()() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  }
};

// A word chain: tokens are words with the blanks behind them, and each next
// token is drawn among those that followed the previous one somewhere in the
// corpus. It reads like English prose and repeats its phrases as prose does
// -- no long verbatim repeats -- and packs about as fast as a novel.
std::string word_chain_text(const std::string& corpus, size_t size) {
  std::vector<std::string> tokens;
  for (size_t i = 0; i < corpus.size();) {
    size_t j = i;
    while (j < corpus.size() && !std::isspace(static_cast<unsigned char>(corpus[j]))) ++j;
    while (j < corpus.size() && std::isspace(static_cast<unsigned char>(corpus[j]))) ++j;
    tokens.push_back(corpus.substr(i, j - i));
    i = j;
  }
  std::map<std::string, std::vector<uint32_t>> followers;
  for (size_t i = 0; i + 1 < tokens.size(); ++i) followers[tokens[i]].push_back(static_cast<uint32_t>(i + 1));
  XorShift next_random;
  std::string text;
  size_t at = 0;
  while (text.size() < size) {
    text += tokens[at];
    const auto& f = followers[tokens[at]];
    at = f.empty() ? next_random() % tokens.size() : f[next_random() % f.size()];
  }
  text.resize(size);
  return text;
}

// The corpus again and again, in every copy after the first half of the
// words swapped among words of about the same frequency (groups of 16 by
// rank), keeping their capitals: it packs to as many bits per byte as
// English prose (about 1.9 at -mn), without the long verbatim repeats a
// plain concatenation would have, and takes the model more effort than a
// novel of one story.
std::string swapped_words_text(const std::string& corpus, size_t size) {
  auto is_letter = [](char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; };
  auto lower = [](std::string w) {
    for (char& c : w) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return w;
  };
  // Alternating runs: other bytes, a word, other bytes, ...
  std::vector<std::string> runs;
  for (size_t i = 0; i < corpus.size();) {
    size_t j = i;
    const bool word = is_letter(corpus[i]);
    while (j < corpus.size() && is_letter(corpus[j]) == word) ++j;
    if (runs.empty() && word) runs.emplace_back();
    runs.push_back(corpus.substr(i, j - i));
    i = j;
  }
  std::map<std::string, size_t> count;
  for (size_t k = 1; k < runs.size(); k += 2) ++count[lower(runs[k])];
  std::vector<std::pair<size_t, std::string>> ranked;
  for (const auto& [w, c] : count) ranked.emplace_back(c, w);
  std::stable_sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
  XorShift next_random;
  std::string text;
  for (int copy = 0; text.size() < size; ++copy) {
    std::map<std::string, std::string> swap;
    for (size_t g = 0; copy > 0 && g < ranked.size(); g += 16) {
      std::vector<std::string> chosen;
      for (size_t k = g; k < g + 16 && k < ranked.size(); ++k)
        if (next_random() % 2 == 0) chosen.push_back(ranked[k].second);
      std::vector<std::string> shuffled = chosen;
      for (size_t k = shuffled.size(); k > 1; --k) std::swap(shuffled[k - 1], shuffled[next_random() % k]);
      for (size_t k = 0; k < chosen.size(); ++k) swap[chosen[k]] = shuffled[k];
    }
    for (size_t k = 0; k < runs.size(); ++k) {
      std::string run = runs[k];
      if (k % 2 == 1) {
        const auto found = swap.find(lower(run));
        if (found != swap.end()) {
          std::string w = found->second;
          const bool capitals = run.size() > 1 && std::isupper(static_cast<unsigned char>(run[1]));
          for (size_t c = 0; c < w.size(); ++c)
            if (capitals || (c == 0 && std::isupper(static_cast<unsigned char>(run[0]))))
              w[c] = static_cast<char>(std::toupper(static_cast<unsigned char>(w[c])));
          run = w;
        }
      }
      text += run;
    }
  }
  text.resize(size);
  return text;
}

// The corpus's words, in order, lower case, without the bytes between them.
std::vector<std::string> corpus_words(const std::string& corpus) {
  std::vector<std::string> words;
  for (size_t i = 0; i < corpus.size();) {
    while (i < corpus.size() && !std::isalpha(static_cast<unsigned char>(corpus[i]))) ++i;
    size_t j = i;
    while (j < corpus.size() && std::isalpha(static_cast<unsigned char>(corpus[j]))) ++j;
    if (j > i) words.push_back(corpus.substr(i, j - i));
    i = j;
  }
  return words;
}

// Pages of an XML dump: a title, ids, a time stamp, a contributor and a
// page of text, the markup alike on every page, as a wiki's export is.
std::string xml_dump_text(const std::string& corpus, size_t size) {
  const std::vector<std::string> words = corpus_words(corpus);
  const std::string prose = word_chain_text(corpus, size);
  XorShift next_random;
  std::string text = "<mediawiki xml:lang=\"en\">\n";
  size_t at = 0;
  uint64_t id = 10;
  while (text.size() < size) {
    id += 1 + next_random() % 40;
    const auto word = [&] { return words[next_random() % words.size()]; };
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "2006-%02u-%02uT%02u:%02u:%02uZ", unsigned(1 + next_random() % 12),
                  unsigned(1 + next_random() % 28), unsigned(next_random() % 24), unsigned(next_random() % 60),
                  unsigned(next_random() % 60));
    const size_t length = 200 + next_random() % 3000;
    const std::string body = prose.substr(at % (prose.size() - length), length);
    at += length;
    text += "  <page>\n    <title>" + word() + " " + word() + "</title>\n    <id>" + std::to_string(id) +
            "</id>\n    <revision>\n      <id>" + std::to_string(id * 7 + next_random() % 7) +
            "</id>\n      <timestamp>" + stamp + "</timestamp>\n      <contributor>\n        <username>" + word() +
            "</username>\n        <id>" + std::to_string(next_random() % 100000) +
            "</id>\n      </contributor>\n      <text xml:space=\"preserve\">" + body +
            "</text>\n    </revision>\n  </page>\n";
  }
  text.resize(size);
  return text;
}

// A file of numeric records, as a chemical structure file holds them: per
// molecule a name, a table of atoms (three coordinates, an element and
// zero columns) and a table of bonds, in fixed-width columns.
std::string records_text(const std::string& corpus, size_t size) {
  const std::vector<std::string> words = corpus_words(corpus);
  static const char* const elements[] = {"C", "C", "C", "H", "H", "O", "N", "S", "Cl"};
  XorShift next_random;
  std::string text;
  char line[128];
  for (uint64_t molecule = 1; text.size() < size; ++molecule) {
    const unsigned atoms = 4 + next_random() % 40;
    const unsigned bonds = atoms - 1 + next_random() % 4;
    text += words[next_random() % words.size()] + "-" + std::to_string(molecule) + "\n  generated\n\n";
    std::snprintf(line, sizeof line, "%3u%3u  0  0  0  0  0  0  0  0999 V2000\n", atoms, bonds);
    text += line;
    for (unsigned a = 0; a < atoms; ++a) {
      const auto coordinate = [&] { return (static_cast<double>(next_random() % 200000) - 100000.0) / 10000.0; };
      const double x = coordinate();
      const double y = coordinate();
      const double z = next_random() % 3 == 0 ? 0.0 : coordinate();
      std::snprintf(line, sizeof line, "%10.4f%10.4f%10.4f %-3s 0  0  0  0  0  0  0  0  0  0  0  0\n", x, y, z,
                    elements[next_random() % 9]);
      text += line;
    }
    for (unsigned b = 0; b < bonds; ++b) {
      const unsigned from = 1 + (b < atoms - 1 ? b : static_cast<unsigned>(next_random() % atoms));
      const unsigned to = b < atoms - 1 ? b + 2 : 1 + static_cast<unsigned>(next_random() % atoms);
      std::snprintf(line, sizeof line, "%3u%3u%3u  0\n", from, to, unsigned(1 + next_random() % 2));
      text += line;
    }
    text += "M  END\n$$$$\n";
  }
  text.resize(size);
  return text;
}

// One child's run: its wall and CPU seconds and its peak resident size.
struct Run {
  double seconds = 0;
  double cpu_seconds = 0;
  double peak_mib = 0;
  bool ok = false;
};

// Runs a program in `directory` (the current one when empty), its standard
// output to `output`. Spawned, not forked, so that its peak memory is its
// own and not this process's.
Run run(const std::vector<std::string>& argv, const std::string& directory = "",
        const std::string& output = "/dev/null") {
  Run r;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (!directory.empty()) posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const auto t0 = Clock::now();
  pid_t child = 0;
  const int spawned = posix_spawnp(&child, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  rusage usage{};
  if (spawned != 0 || wait4(child, &status, 0, &usage) != child) return r;
  r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  const auto seconds_of = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  r.cpu_seconds = seconds_of(usage.ru_utime) + seconds_of(usage.ru_stime);
  r.peak_mib = static_cast<double>(usage.ru_maxrss) / 1024.0;
  r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return r;
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t m = v.size() / 2;
  return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

struct Series {
  std::vector<double> seconds;
  std::vector<double> cpu_seconds;
  double peak_mib = 0;
  void add(const Run& r) {
    seconds.push_back(r.seconds);
    cpu_seconds.push_back(r.cpu_seconds);
    peak_mib = std::max(peak_mib, r.peak_mib);
  }
};

bool same_files(const std::vector<std::string>& inputs, const fs::path& out_dir) {
  for (const std::string& f : inputs)
    if (!run({"cmp", "-s", f, (out_dir / fs::path(f).filename()).string()}).ok) return false;
  return true;
}

// The names of `files` (all in one directory) as given to tarnc there.
std::vector<std::string> names_of(const std::vector<std::string>& files) {
  std::vector<std::string> names;
  for (const std::string& f : files) names.push_back(fs::path(f).filename().string());
  return names;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 3;
  size_t megabytes = 10;
  std::string only;
  std::string write_text;
  std::string write_kind;
  bool with_xz = true;
  std::vector<std::string> builds;
  const auto usage = [](FILE* to, int status) {
    std::fprintf(to,
                 "usage: tarn_speed [--rounds N] [--mb M] [--no-xz] [--only corpus|chain|swapped|xml|records] TARNC "
                 "[TARNC ...]\n"
                 "       tarn_speed [--mb M] --write-text chain|swapped|xml|records FILE\n");
    return status;
  };
  const auto known_kind = [](const std::string& kind) {
    return kind == "chain" || kind == "swapped" || kind == "xml" || kind == "records";
  };
  for (int i = 1; i < argc; ++i) {
    const bool has_value = i + 1 < argc;
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      return usage(stdout, 0);
    } else if (std::strcmp(argv[i], "--rounds") == 0 && has_value) {
      rounds = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--mb") == 0 && has_value) {
      megabytes = static_cast<size_t>(std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--write-text") == 0 && i + 2 < argc) {
      write_kind = argv[++i];
      write_text = argv[++i];
    } else if (std::strcmp(argv[i], "--no-xz") == 0) {
      with_xz = false;
    } else if (std::strcmp(argv[i], "--only") == 0 && has_value) {
      only = argv[++i];
    } else if (argv[i][0] == '-') {  // an unknown option, or one without its value
      std::fprintf(stderr, "tarn_speed: unknown option or missing value: %s\n", argv[i]);
      return usage(stderr, 2);
    } else if (::access(argv[i], X_OK) != 0 || !fs::is_regular_file(argv[i])) {
      std::fprintf(stderr, "tarn_speed: %s is not a program this user may run\n", argv[i]);
      return 2;
    } else {
      builds.push_back(fs::absolute(argv[i]).string());
    }
  }
  if (!write_text.empty()) {
    if (!known_kind(write_kind) || megabytes == 0) return usage(stderr, 2);
    std::string corpus;
    for (const std::string& f : bench::corpus_files(true)) corpus += bench::read_all(f);
    const size_t size = megabytes * 1000000;
    std::string text;
    if (write_kind == "chain") text = word_chain_text(corpus, size);
    else if (write_kind == "swapped") text = swapped_words_text(corpus, size);
    else if (write_kind == "xml") text = xml_dump_text(corpus, size);
    else text = records_text(corpus, size);
    std::ofstream(write_text, std::ios::binary) << text;
    return 0;
  }
  if (builds.empty() || rounds < 1 || megabytes == 0 || (!only.empty() && only != "corpus" && !known_kind(only)))
    return usage(stderr, 2);

  const fs::path work = fs::temp_directory_path() / ("tarn-speed-" + std::to_string(getpid()));
  fs::create_directories(work / "corpus");
  std::vector<std::string> corpus_copies;
  for (const std::string& f : bench::corpus_files(true)) {
    const fs::path copy = work / "corpus" / fs::path(f).filename();
    fs::copy_file(f, copy);
    corpus_copies.push_back(copy.string());
  }
  struct Input {
    std::string label;
    std::vector<std::string> files;
  };
  std::vector<Input> inputs;
  if (only.empty() || only == "corpus") inputs.push_back({"corpus texts", corpus_copies});
  const std::string mb = std::to_string(megabytes) + " MB ";
  const std::pair<const char*, const char*> made[] = {
      {"chain", "text, word chain"}, {"swapped", "text, swapped words"}, {"xml", "XML page dump"},
      {"records", "numeric records"}};
  for (const auto& [kind, label] : made) {
    if (!only.empty() && only != kind) continue;
    const fs::path name = work / kind / (std::string(kind) + ".txt");
    fs::create_directories(name.parent_path());
    // Made by a child, and the outputs compared by cmp: a started program's
    // peak memory counts this process's, so this one stays small.
    if (!run({argv[0], "--mb", std::to_string(megabytes), "--write-text", kind, name.string()}).ok) {
      std::fprintf(stderr, "cannot make %s\n", name.c_str());
      return 2;
    }
    inputs.push_back({mb + label, {name.string()}});
  }

  const char* ops[] = {"c -mq", "t -mq", "c -mn", "x -mn", "c -me", "t -me"};
  constexpr int OPS = 6;
  int status = 0;
  for (const Input& input : inputs) {
    uint64_t total = 0;
    for (const std::string& f : input.files) total += fs::file_size(f);
    std::map<std::string, Series> xz;
    std::vector<std::map<std::string, Series>> tarn(builds.size());
    for (int round = 0; round < rounds; ++round) {
      for (size_t k = 0; k < builds.size(); ++k) {
        const size_t b = round % 2 == 0 ? k : builds.size() - 1 - k;
        const fs::path out = work / "out";
        fs::remove_all(out);
        // Packed by name in their directory, so that x puts them in out/.
        // Each method's archive is unpacked after it: by x for -mn, whose
        // output is compared, by t for the others.
        const std::string where = fs::path(input.files.front()).parent_path().string();
        Run runs[OPS];
        for (int m = 0; m < 3; ++m) {
          const std::string method = std::string("-m") + "qne"[m];
          const std::string archive = (work / (method + ".trn")).string();
          fs::remove(archive);
          std::vector<std::string> pack = {builds[b], "c", method, archive};
          for (const std::string& name : names_of(input.files)) pack.push_back(name);
          runs[2 * m] = run(pack, where);
          runs[2 * m + 1] = m == 1 ? run({builds[b], "x", "-o" + out.string(), archive, "*"})
                                   : run({builds[b], "t", archive, "*"});
        }
        for (int op = 0; op < OPS; ++op) {
          if (!runs[op].ok) {
            std::printf("%s: %s failed\n", builds[b].c_str(), ops[op]);
            status = 1;
          }
          tarn[b][ops[op]].add(runs[op]);
        }
        if (!same_files(input.files, out)) {
          std::printf("%s: x did not restore the input\n", builds[b].c_str());
          status = 1;
        }
      }
      if (!with_xz) continue;
      // xz: every file on its own, as a user would.
      double pack = 0;
      double unpack = 0;
      double peak = 0;
      for (const std::string& f : input.files) {
        const std::string packed = (work / "f.xz").string();
        const Run c = run({"xz", "-9e", "-c", "-T1", f}, "", packed);
        const Run d = run({"xz", "-d", "-c", packed});
        pack += c.seconds;
        unpack += d.seconds;
        peak = std::max(peak, c.peak_mib);
      }
      xz["c"].add({pack, 0, peak, true});
      xz["x"].add({unpack, 0, 0, true});
    }

    const double mb = static_cast<double>(total) / 1e6;
    std::printf("\n%s: %zu file(s), %llu bytes, %d round(s), medians\n", input.label.c_str(), input.files.size(),
                static_cast<unsigned long long>(total), rounds);
    const double xz_pack = median(xz["c"].seconds);
    const double xz_unpack = median(xz["x"].seconds);
    if (with_xz) {
      std::printf("  %-34s %-6s %8.3f s %7.2f MB/s  peak %6.1f MiB\n", "xz -9e", "pack", xz_pack, mb / xz_pack,
                  xz["c"].peak_mib);
      std::printf("  %-34s %-6s %8.3f s %7.2f MB/s\n", "xz -d", "unpack", xz_unpack, mb / xz_unpack);
    }
    for (const char* op : ops) {
      for (size_t b = 0; b < builds.size(); ++b) {
        const double s = median(tarn[b][op].seconds);
        const double cpu = median(tarn[b][op].cpu_seconds);
        std::printf("  %-34s %-6s %8.3f s  CPU %7.3f s %7.2f MB/s  peak %6.1f MiB", builds[b].c_str(), op, s, cpu,
                    mb / s, tarn[b][op].peak_mib);
        if (with_xz) std::printf("  x%.2f of xz", std::string(op).front() == 'c' ? xz_pack / s : xz_unpack / s);
        if (b > 0)
          std::printf("  x%.3f of the first, CPU x%.3f", median(tarn[0][op].seconds) / s,
                      median(tarn[0][op].cpu_seconds) / cpu);
        std::printf("\n");
      }
    }
    // What packing costs beyond unpacking: both run the same model.
    for (size_t b = 0; b < builds.size(); ++b) {
      std::printf("  %-34s CPU pack / unpack", builds[b].c_str());
      for (int op = 0; op < OPS; op += 2)
        std::printf("  %s %.2f", ops[op] + 2,
                    median(tarn[b][ops[op]].cpu_seconds) / median(tarn[b][ops[op + 1]].cpu_seconds));
      std::printf("\n");
    }
  }
  fs::remove_all(work);
  return status;
}
