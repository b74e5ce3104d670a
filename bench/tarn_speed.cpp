// Whole-program speed of one or more tarnc builds against xz -9e, in one run.
//
//   tarn_speed [--rounds N] [--mb M] [--only corpus|chain|swapped] TARNC [TARNC ...]
//   tarn_speed [--mb M] --write-text chain|swapped FILE
//
// Inputs: the corpus texts (the .txt files of tests/data/canterbury, packed
// as one archive of several files) and two large texts of M MB (default 10)
// made from them, each one file: a word chain and a copy with swapped words
// (word_chain_text and swapped_words_text below). Every round runs
// each build in turn -- the order alternating from round to round, so that
// a change in the machine's load hits every build alike -- through `c -mn`,
// `x` of that archive (the output is compared with the input), `c -me` and
// `t` of that archive, and `xz -9e` and `xz -d` once. Each run is a child
// process; its wall time and peak resident size are its own. The table
// gives medians in MB/s of input, the peak memory, and every build's speed
// as a ratio to xz and to the first build.
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

// The .txt files of the corpus, in name order.
struct Run {
  double seconds = 0;
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
  double peak_mib = 0;
  void add(const Run& r) {
    seconds.push_back(r.seconds);
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
  std::vector<std::string> builds;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
      rounds = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--mb") == 0 && i + 1 < argc) {
      megabytes = static_cast<size_t>(std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--write-text") == 0 && i + 2 < argc) {
      write_kind = argv[++i];
      write_text = argv[++i];
    } else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
      only = argv[++i];
    } else {
      builds.push_back(fs::absolute(argv[i]).string());
    }
  }
  if (!write_text.empty()) {
    std::string corpus;
    for (const std::string& f : bench::corpus_files(true)) corpus += bench::read_all(f);
    const size_t size = megabytes * 1000000;
    std::ofstream(write_text, std::ios::binary)
        << (write_kind == "chain" ? word_chain_text(corpus, size) : swapped_words_text(corpus, size));
    return 0;
  }
  if (builds.empty() || rounds < 1) {
    std::fprintf(stderr, "usage: tarn_speed [--rounds N] [--mb M] [--only corpus|chain|swapped] TARNC [TARNC ...]\n"
                         "       tarn_speed [--mb M] --write-text chain|swapped FILE\n");
    return 2;
  }

  const fs::path work = fs::temp_directory_path() / ("tarn-speed-" + std::to_string(getpid()));
  fs::create_directories(work / "corpus");
  std::vector<std::string> corpus_copies;
  for (const std::string& f : bench::corpus_files(true)) {
    const fs::path copy = work / "corpus" / fs::path(f).filename();
    fs::copy_file(f, copy);
    corpus_copies.push_back(copy.string());
  }
  const std::string chain_name = (work / "chain" / "chain.txt").string();
  const std::string swapped_name = (work / "swapped" / "swapped.txt").string();
  fs::create_directories(work / "chain");
  fs::create_directories(work / "swapped");
  // Made by a child, and the outputs compared by cmp: a started program's
  // peak memory counts this process's, so this one stays small.
  for (const auto& [kind, name] : {std::pair{"chain", chain_name}, std::pair{"swapped", swapped_name}}) {
    if (!run({argv[0], "--mb", std::to_string(megabytes), "--write-text", kind, name}).ok) {
      std::fprintf(stderr, "cannot make %s\n", name.c_str());
      return 2;
    }
  }

  struct Input {
    std::string label;
    std::vector<std::string> files;
  };
  std::vector<Input> inputs;
  if (only.empty() || only == "corpus") inputs.push_back({"corpus texts", corpus_copies});
  const std::string mb = std::to_string(megabytes) + " MB ";
  if (only.empty() || only == "chain") inputs.push_back({mb + "text, word chain", {chain_name}});
  if (only.empty() || only == "swapped") inputs.push_back({mb + "text, swapped words", {swapped_name}});

  const char* ops[] = {"c -mn", "x", "c -me", "t"};
  int status = 0;
  for (const Input& input : inputs) {
    uint64_t total = 0;
    for (const std::string& f : input.files) total += fs::file_size(f);
    std::map<std::string, Series> xz;
    std::vector<std::map<std::string, Series>> tarn(builds.size());
    for (int round = 0; round < rounds; ++round) {
      for (size_t k = 0; k < builds.size(); ++k) {
        const size_t b = round % 2 == 0 ? k : builds.size() - 1 - k;
        const std::string normal = (work / "n.trn").string();
        const std::string extreme = (work / "e.trn").string();
        const fs::path out = work / "out";
        fs::remove(normal);
        fs::remove(extreme);
        fs::remove_all(out);
        // Packed by name in their directory, so that x puts them in out/.
        const std::string where = fs::path(input.files.front()).parent_path().string();
        std::vector<std::string> c_mn = {builds[b], "c", "-mn", normal};
        std::vector<std::string> c_me = {builds[b], "c", "-me", extreme};
        for (const std::string& name : names_of(input.files)) {
          c_mn.push_back(name);
          c_me.push_back(name);
        }
        const Run runs[4] = {run(c_mn, where), run({builds[b], "x", "-o" + out.string(), normal, "*"}),
                             run(c_me, where), run({builds[b], "t", extreme, "*"})};
        for (int op = 0; op < 4; ++op) {
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
      xz["c"].add({pack, peak, true});
      xz["x"].add({unpack, 0, true});
    }

    const double mb = static_cast<double>(total) / 1e6;
    std::printf("\n%s: %zu file(s), %llu bytes, %d round(s), medians\n", input.label.c_str(), input.files.size(),
                static_cast<unsigned long long>(total), rounds);
    const double xz_pack = median(xz["c"].seconds);
    const double xz_unpack = median(xz["x"].seconds);
    std::printf("  %-34s %-6s %8.3f s %7.2f MB/s  peak %6.1f MiB\n", "xz -9e", "pack", xz_pack, mb / xz_pack,
                xz["c"].peak_mib);
    std::printf("  %-34s %-6s %8.3f s %7.2f MB/s\n", "xz -d", "unpack", xz_unpack, mb / xz_unpack);
    for (const char* op : ops) {
      for (size_t b = 0; b < builds.size(); ++b) {
        const double s = median(tarn[b][op].seconds);
        const double first = median(tarn[0][op].seconds);
        const double versus_xz = std::string(op).front() == 'c' ? xz_pack / s : xz_unpack / s;
        std::printf("  %-34s %-6s %8.3f s %7.2f MB/s  peak %6.1f MiB  x%.2f of xz", builds[b].c_str(), op, s, mb / s,
                    tarn[b][op].peak_mib, versus_xz);
        if (b > 0) std::printf("  x%.3f of the first", first / s);
        std::printf("\n");
      }
    }
  }
  fs::remove_all(work);
  return status;
}
