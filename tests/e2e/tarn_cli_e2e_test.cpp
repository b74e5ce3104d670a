// The tarn program as a script uses it: every command and option, standard
// input and output through pipes, exit statuses, the JSON of list and info
// read back key by key, add and delete keeping untouched pieces byte for
// byte, interrupted changes leaving the archive as it was, and the rules
// for existing files on extraction.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <thread>

#include "e2e_support.h"

namespace tarn::e2e {
namespace {

std::string tarn_path() { return TARN_PATH; }

RunResult tarn(const Sandbox& box, const std::vector<std::string>& args, const std::string& shell = "") {
  return box.run_program(tarn_path(), args, true, shell);
}

// A run of tarn that ended with `code` and said `part` on standard error;
// the run, for further checks.
RunResult expect_tarn(const RunResult& run, int code, const std::string& part, int line) {
  EXPECT_EQ(run.status, code) << "line " << line << ": " << run.err;
  EXPECT_TRUE(contains(run.err, part)) << "line " << line << ": " << run.err;
  return run;
}
#define EXPECT_TARN(run, code, part) expect_tarn((run), (code), (part), __LINE__)

// ---- A small JSON reader, strict enough to catch malformed output --------

struct Json {
  enum Kind { NUL, BOOL, NUMBER, STRING, ARRAY, OBJECT } kind = NUL;
  bool boolean = false;
  double number = 0;
  std::string text;
  std::vector<Json> items;
  std::vector<std::pair<std::string, Json>> members;  // in their order

  const Json& operator[](const std::string& key) const {
    for (const auto& [k, v] : members)
      if (k == key) return v;
    static const Json missing;
    ADD_FAILURE() << "no key " << key;
    return missing;
  }
  std::vector<std::string> keys() const {
    std::vector<std::string> out;
    for (const auto& m : members) out.push_back(m.first);
    return out;
  }
};

class JsonParser {
 public:
  explicit JsonParser(const std::string& s) : s_(s) {}
  bool parse(Json& out) {
    if (!value(out)) return false;
    space();
    return at_ == s_.size();
  }

 private:
  void space() {
    while (at_ < s_.size() && (s_[at_] == ' ' || s_[at_] == '\n' || s_[at_] == '\t' || s_[at_] == '\r')) ++at_;
  }
  bool literal(const char* word) {
    const std::string w = word;
    if (s_.compare(at_, w.size(), w) != 0) return false;
    at_ += w.size();
    return true;
  }
  static void put_utf8(std::string& out, uint32_t c) {
    if (c < 0x80) out += static_cast<char>(c);
    else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 63));
    } else {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 63));
      out += static_cast<char>(0x80 | (c & 63));
    }
  }
  bool string(std::string& out) {
    if (at_ >= s_.size() || s_[at_] != '"') return false;
    ++at_;
    while (at_ < s_.size() && s_[at_] != '"') {
      const unsigned char c = static_cast<unsigned char>(s_[at_]);
      if (c < 0x20) return false;  // raw control characters are not JSON
      if (c != '\\') {
        out += static_cast<char>(c);
        ++at_;
        continue;
      }
      if (++at_ >= s_.size()) return false;
      const char e = s_[at_++];
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case 'r': out += '\r'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'u': {
          if (at_ + 4 > s_.size()) return false;
          const uint32_t code = static_cast<uint32_t>(std::stoul(s_.substr(at_, 4), nullptr, 16));
          at_ += 4;
          if (code >= 0xD800 && code < 0xE000) return false;  // no lone surrogates
          put_utf8(out, code);
          break;
        }
        default: return false;
      }
    }
    if (at_ >= s_.size()) return false;
    ++at_;
    return true;
  }
  bool value(Json& out) {
    space();
    if (at_ >= s_.size()) return false;
    const char c = s_[at_];
    if (c == '{') {
      out.kind = Json::OBJECT;
      ++at_;
      space();
      if (at_ < s_.size() && s_[at_] == '}') return ++at_, true;
      for (;;) {
        space();
        std::string key;
        if (!string(key)) return false;
        space();
        if (at_ >= s_.size() || s_[at_++] != ':') return false;
        Json v;
        if (!value(v)) return false;
        out.members.emplace_back(key, std::move(v));
        space();
        if (at_ < s_.size() && s_[at_] == ',') { ++at_; continue; }
        return at_ < s_.size() && s_[at_++] == '}';
      }
    }
    if (c == '[') {
      out.kind = Json::ARRAY;
      ++at_;
      space();
      if (at_ < s_.size() && s_[at_] == ']') return ++at_, true;
      for (;;) {
        Json v;
        if (!value(v)) return false;
        out.items.push_back(std::move(v));
        space();
        if (at_ < s_.size() && s_[at_] == ',') { ++at_; continue; }
        return at_ < s_.size() && s_[at_++] == ']';
      }
    }
    if (c == '"') {
      out.kind = Json::STRING;
      return string(out.text);
    }
    if (literal("true")) { out.kind = Json::BOOL; out.boolean = true; return true; }
    if (literal("false")) { out.kind = Json::BOOL; return true; }
    if (literal("null")) return true;
    size_t used = 0;
    try { out.number = std::stod(s_.substr(at_), &used); } catch (...) { return false; }
    out.kind = Json::NUMBER;
    at_ += used;
    return used > 0;
  }

  const std::string& s_;
  size_t at_ = 0;
};

Json parse_json(const std::string& text) {
  Json j;
  EXPECT_TRUE(JsonParser(text).parse(j)) << "not JSON:\n" << text;
  return j;
}

// ---- Helpers -------------------------------------------------------------

// The files most tests pack: text, a larger file, one in a directory.
void make_files(const Sandbox& box) {
  box.write("a.txt", "hello, tarn\n");
  box.write("big.txt", mixed_text(200000, 7));
  box.write("dir/sub/c.txt", random_text(3000, 3));
  box.write("dir/d.txt", mixed_text(5000, 11));
  for (const char* f : {"a.txt", "big.txt", "dir/sub/c.txt", "dir/d.txt"}) box.fix_time(f);
  box.sh("chmod 755 dir dir/sub && touch -d '2003-11-01 12:00:00 UTC' dir/sub dir");
}

// The bytes of an archive's pieces, by the stored name of their first entry.
std::map<std::string, std::string> pieces_of(const Sandbox& box, const std::string& archive) {
  const std::string bytes = box.read(archive);
  std::map<std::string, std::string> pieces;
  const FileList table = testing::read_table(box.path(archive));
  for (const FileEntry& e : table.entries()) {
    if ((e.flags & FLAG_SOLID_CONTINUATION) != 0 || e.is_directory() || e.size == 0) continue;
    pieces[e.name] = bytes.substr(e.offset, e.packed_size);
  }
  return pieces;
}

// The names in the sandbox's top directory but the run's own output files.
std::vector<std::string> names_in(const Sandbox& box) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(box.dir())) {
    const std::string n = e.path().filename().string();
    if (n != "run.out" && n != "run.err") names.push_back(n);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// ---- Conventions ---------------------------------------------------------

TEST(TarnCli, HelpVersionAndUsageErrors) {
  Sandbox box;
  for (const char* h : {"-h", "--help"}) {
    const RunResult r = tarn(box, {h});
    EXPECT_EQ(r.status, 0);
    for (const char* part : {"Usage: tarn COMMAND", "create, c", "bench", "--keep-newer", "Exit status: 0 all done; 1 an error",
                             "2 damaged data"})
      EXPECT_TRUE(contains(r.out, part)) << part;
    EXPECT_EQ(r.err, "");
  }
  for (const char* word : {"extract", "x"}) {
    const RunResult sub = tarn(box, {word, word[1] ? "--help" : "-h"});
    EXPECT_EQ(sub.status, 0);
    EXPECT_TRUE(contains(sub.out, "Usage: tarn extract")) << sub.out;
  }
  for (const char* v : {"-V", "--version"}) {
    const RunResult r = tarn(box, {v});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "tarn 0.75.0 (libtarn 0.75.0)\n");
  }
  // Errors name what was wrong, on stderr only, with status 1.
  const struct {
    std::vector<std::string> args;
    std::string err;
  } usage[] = {
      {{"list", "--bogus", "a.trn"}, "tarn: unknown option '--bogus'\nTry 'tarn --help'.\n"},
      {{"list", "-Z", "a.trn"}, "tarn: unknown option '-Z'\n"},
      {{"frobnicate"}, "tarn: unknown command 'frobnicate'\n"},
      {{"list", "--stdout", "a.trn"}, "tarn: option '--stdout' does not apply to list\n"},
      {{"create", "--method=fastest", "a.trn", "x"}, "tarn: unknown method 'fastest'"},
      {{"create", "-j", "zero", "a.trn", "x"}, "wants a number of threads"},
      {{"list", "--json=yes", "a.trn"}, "tarn: option '--json' takes no value\n"},
      {{"extract", "a.trn", "-C"}, "tarn: option '-C' needs a value\n"},
      {{}, "tarn: no command given\n"},
      {{"list"}, "tarn: no archive named"},
      {{"create", "a.trn"}, "tarn: nothing to pack"},
      {{"delete", "a.trn"}, "tarn: nothing to delete"},
      {{"bench"}, "tarn: nothing to measure"},
  };
  for (const auto& u : usage) EXPECT_EQ(EXPECT_TARN(tarn(box, u.args), 1, u.err).out, "") << u.err;
}

TEST(TarnCli, OptionsInAnyPositionAndDoubleDash) {
  Sandbox box;
  make_files(box);
  box.write("-odd", "a file whose name looks like an option\n");
  box.fix_time("./-odd");
  // Options before the command, between operands, joined; "--" ends them.
  const RunResult c = tarn(box, {"-q", "create", "a.trn", "-0", "a.txt", "--no-solid", "--", "-odd"});
  ASSERT_EQ(c.status, 0) << c.err;
  const std::string names = tarn(box, {"list", "-q", "a.trn"}).out;
  EXPECT_TRUE(names == "-odd\na.txt\n" || names == "a.txt\n-odd\n") << names;
  const Json info = parse_json(tarn(box, {"info", "a.trn", "--json"}).out);
  EXPECT_EQ(info["method"].text, "store");
  EXPECT_EQ(tarn(box, {"cat", "a.trn", "--", "-odd"}).out, box.read("-odd"));
  // Without "--" it is an option, and an unknown one.
  EXPECT_TARN(tarn(box, {"cat", "a.trn", "-odd"}), 1, "tarn: unknown option '-o'");
  // Joined short options and values: -qj2, -Cdir, --threads 2.
  EXPECT_EQ(tarn(box, {"x", "-qj2", "-Cout", "a.trn"}).status, 0);
  EXPECT_EQ(box.read("out/a.txt"), box.read("a.txt"));
  EXPECT_EQ(tarn(box, {"t", "--threads", "2", "a.trn"}).status, 0);
  // The last method given counts.
  ASSERT_EQ(tarn(box, {"c", "-6", "--method=fast", "b.trn", "a.txt"}).status, 0);
  EXPECT_EQ(parse_json(tarn(box, {"i", "--json", "b.trn"}).out)["method"].text, "fast");
}

TEST(TarnCli, MakesTheArchivesTarncMakes) {
  Sandbox box;
  make_files(box);
  const std::vector<std::string> files = {"a.txt", "big.txt", "dir/sub/c.txt", "dir/d.txt"};
  ASSERT_EQ(tarn(box, with_args({"create", "--method=normal", "--no-solid", "t1.trn"}, files)).status, 0);
  ASSERT_EQ(box.tarnc(with_args({"c", "-mn", "c1.trn"}, files)).status, 0);
  EXPECT_EQ(box.read("t1.trn"), box.read("c1.trn"));
  // The defaults: Normal with solid groups, as tarnc c -b.
  ASSERT_EQ(tarn(box, with_args({"create", "t2.trn"}, files)).status, 0);
  ASSERT_EQ(box.tarnc(with_args({"c", "-b", "c2.trn"}, files)).status, 0);
  EXPECT_EQ(box.read("t2.trn"), box.read("c2.trn"));
  EXPECT_NE(box.read("t1.trn"), box.read("t2.trn"));
  // Another method, by number and by name, and any number of threads.
  ASSERT_EQ(tarn(box, with_args({"c", "-2", "-j1", "--no-solid", "t3.trn"}, files)).status, 0);
  ASSERT_EQ(tarn(box, with_args({"c", "--method=fast", "-j", "3", "--no-solid", "t4.trn"}, files)).status, 0);
  ASSERT_EQ(box.tarnc(with_args({"c", "-mf", "c3.trn"}, files)).status, 0);
  EXPECT_EQ(box.read("t3.trn"), box.read("c3.trn"));
  EXPECT_EQ(box.read("t4.trn"), box.read("c3.trn"));
}

// ---- Creating, listing, reading ------------------------------------------

TEST(TarnCli, CreateRecursesExcludesAndListsFullNames) {
  Sandbox box;
  make_files(box);
  box.write("dir/skip.log", "left out\n");
  box.write("dir/sub/deep/x.log", "left out too\n");
  const RunResult c = tarn(box, {"create", "-q", "--exclude=*.log", "--exclude", "big.txt", "a.trn", "dir", "a.txt",
                                 "big.txt"});
  ASSERT_EQ(c.status, 0) << c.err;
  EXPECT_EQ(c.err, "");
  const RunResult names = tarn(box, {"list", "-q", "a.trn"});
  EXPECT_EQ(names.status, 0);
  for (const char* n : {"dir\n", "dir/sub\n", "dir/sub/c.txt\n", "dir/d.txt\n", "a.txt\n", "dir/sub/deep\n"})
    EXPECT_TRUE(contains(names.out, n)) << n << names.out;
  EXPECT_FALSE(contains(names.out, ".log"));
  EXPECT_FALSE(contains(names.out, "big.txt"));
  // The table: sizes, time in ISO 8601 UTC, mode, CRC and the whole name.
  const RunResult table = tarn(box, {"list", "a.trn"});
  EXPECT_TRUE(contains(table.out, "Size")) << table.out;
  EXPECT_TRUE(contains(table.out, "  2003-11-01T12:00:00Z  -rw-r--r--  ")) << table.out;
  char crc[16];
  const std::string d = box.read("dir/d.txt");
  std::snprintf(crc, sizeof crc, "%08x", crc32_of(reinterpret_cast<const uint8_t*>(d.data()), d.size()));
  EXPECT_TRUE(contains(table.out, std::string(crc) + "  dir/d.txt\n")) << table.out;
  EXPECT_TRUE(contains(table.out, "entries\n")) << table.out;
  const RunResult longer = tarn(box, {"list", "-l", "a.trn", "dir/sub"});
  EXPECT_TRUE(contains(longer.out, "Attr")) << longer.out;
  EXPECT_TRUE(contains(longer.out, "D....")) << longer.out;
  EXPECT_TRUE(contains(longer.out, "dir/sub/c.txt\n"));
  EXPECT_FALSE(contains(longer.out, "a.txt"));
  // A pattern that matches nothing is an error; what matched is listed.
  const std::string missing = "tarn: 'nothing*': no such entry in 'a.trn'\n";
  const RunResult listed = EXPECT_TARN(tarn(box, {"list", "-q", "a.trn", "a.txt", "nothing*"}), 1, missing);
  EXPECT_EQ(listed.out + listed.err, "a.txt\n" + missing);
  // Verbose names every entry on stderr; stdout stays empty.
  const RunResult v = tarn(box, {"create", "-v", "b.trn", "a.txt"});
  EXPECT_EQ(v.out, "");
  EXPECT_TRUE(contains(v.err, "packing a.txt\n")) << v.err;
}

TEST(TarnCli, ListAndInfoJson) {
  Sandbox box;
  make_files(box);
  box.write("we\"ird\na\tme", "x");
  box.write(std::string("bad\xff\xfe") + "name", "yy");
  box.write("\xc3\xa9t\xc3\xa9", "zzz");  // valid UTF-8
  for (const char* f : {"we\"ird\na\tme", "bad\xff\xfename", "\xc3\xa9t\xc3\xa9"}) box.fix_time(f);
  ASSERT_EQ(tarn(box, {"create", "--no-solid", "a.trn", "a.txt", "dir", "we\"ird\na\tme", "bad\xff\xfename",
                       "\xc3\xa9t\xc3\xa9"})
                .status,
            0);
  const Json list = parse_json(tarn(box, {"list", "--json", "a.trn"}).out);
  ASSERT_EQ(list.kind, Json::ARRAY);
  ASSERT_EQ(list.items.size(), 8u);
  const std::vector<std::string> keys = {"name", "name_hex", "size", "packed_size", "mtime", "mtime_unix", "mode",
                                         "attributes", "crc32", "directory", "stored", "group", "group_size"};
  std::map<std::string, const Json*> by_name;
  for (const Json& e : list.items) {
    EXPECT_EQ(e.keys(), keys);
    by_name[e["name"].text] = &e;
  }
  ASSERT_TRUE(by_name.count("a.txt"));
  const Json& a = *by_name["a.txt"];
  EXPECT_EQ(a["size"].number, 12);
  EXPECT_EQ(a["mtime"].text, "2003-11-01T12:00:00Z");
  EXPECT_EQ(a["mtime_unix"].number, 1067688000);
  EXPECT_EQ(a["mode"].text, "0644");
  char crc[16];
  std::snprintf(crc, sizeof crc, "%08x", crc32_of(reinterpret_cast<const uint8_t*>("hello, tarn\n"), 12));
  EXPECT_EQ(a["crc32"].text, crc);
  EXPECT_EQ(a["directory"].kind, Json::BOOL);
  EXPECT_FALSE(a["directory"].boolean);
  EXPECT_EQ(a["name_hex"].text, "612e747874");
  EXPECT_EQ(a["group_size"].number, 1);
  ASSERT_TRUE(by_name.count("dir/sub/c.txt"));
  EXPECT_EQ((*by_name["dir/sub/c.txt"])["size"].number, 3000);
  ASSERT_TRUE(by_name.count("dir/sub"));
  EXPECT_TRUE((*by_name["dir/sub"])["directory"].boolean);
  EXPECT_EQ((*by_name["dir/sub"])["mode"].text, "0755");
  // Names are escaped as JSON; bytes that are not UTF-8 become U+FFFD, and
  // name_hex keeps the stored bytes.
  ASSERT_TRUE(by_name.count("we\"ird\na\tme"));
  ASSERT_TRUE(by_name.count("\xc3\xa9t\xc3\xa9"));
  const std::string replaced = "bad\xef\xbf\xbd\xef\xbf\xbdname";
  ASSERT_TRUE(by_name.count(replaced));
  EXPECT_EQ((*by_name[replaced])["name_hex"].text, "626164fffe6e616d65");
  const RunResult raw = tarn(box, {"list", "--json", "a.trn"});
  EXPECT_TRUE(contains(raw.out, "\"we\\\"ird\\na\\tme\"")) << raw.out;
  // A selection lists only what it selects; an empty one is [].
  const Json one = parse_json(tarn(box, {"list", "--json", "a.trn", "a.txt"}).out);
  ASSERT_EQ(one.items.size(), 1u);
  const Json none = parse_json(tarn(box, {"list", "--json", "--exclude=*", "a.trn"}).out);
  EXPECT_EQ(none.kind, Json::ARRAY);
  EXPECT_TRUE(none.items.empty());

  const Json info = parse_json(tarn(box, {"info", "--json", "a.trn"}).out);
  EXPECT_EQ(info.keys(), (std::vector<std::string>{"archive", "method", "method_number", "entries", "files",
                                                    "directories", "total_size", "packed_size", "archive_size",
                                                    "header_offset", "pieces", "solid_groups"}));
  EXPECT_EQ(info["archive"].text, "a.trn");
  EXPECT_EQ(info["method"].text, "normal");
  EXPECT_EQ(info["method_number"].number, 3);
  EXPECT_EQ(info["entries"].number, 8);
  EXPECT_EQ(info["files"].number, 6);
  EXPECT_EQ(info["directories"].number, 2);
  EXPECT_EQ(info["total_size"].number, 12 + 3000 + 5000 + 1 + 2 + 3);
  EXPECT_EQ(info["archive_size"].number, static_cast<double>(box.read("a.trn").size()));
  EXPECT_EQ(info["header_offset"].number, 0);
  EXPECT_EQ(info["solid_groups"].number, 0);
  const RunResult text = tarn(box, {"info", "a.trn"});
  EXPECT_TRUE(contains(text.out, "Method:        normal (3)\n")) << text.out;
  EXPECT_TRUE(contains(text.out, "Entries:       8 (6 files, 2 directories)\n")) << text.out;
}

TEST(TarnCli, PipesBothWays) {
  Sandbox box;
  make_files(box);
  // Standard input as one entry, its length known only at its end.
  const RunResult in = tarn(box, {"create", "s.trn", "-", "--name=dir/numbers.txt", "a.txt"}, "seq 1 200000 | ");
  ASSERT_EQ(in.status, 0) << in.err;
  box.sh("seq 1 200000 > numbers.txt");
  const Json list = parse_json(tarn(box, {"list", "--json", "s.trn"}).out);
  ASSERT_EQ(list.items.size(), 2u);
  EXPECT_EQ(list.items[0]["name"].text == "dir/numbers.txt" || list.items[1]["name"].text == "dir/numbers.txt", true);
  EXPECT_EQ(tarn(box, {"cat", "s.trn", "dir/numbers.txt"}).out, box.read("numbers.txt"));
  // No name given: "stdin".
  ASSERT_EQ(tarn(box, {"c", "n.trn", "-"}, "printf 'piped' | ").status, 0);
  EXPECT_EQ(tarn(box, {"l", "-q", "n.trn"}).out, "stdin\n");
  EXPECT_EQ(tarn(box, {"cat", "n.trn"}).out, "piped");
  // An empty standard input is an empty entry.
  ASSERT_EQ(tarn(box, {"c", "e.trn", "-", "--name", "empty"}, ": | ").status, 0);
  EXPECT_EQ(parse_json(tarn(box, {"l", "--json", "e.trn"}).out).items[0]["size"].number, 0);
  // Standard input only once.
  EXPECT_TARN(tarn(box, {"c", "t.trn", "-", "-"}, "printf x | "), 1, "standard input ('-') can be packed only once");
  EXPECT_FALSE(box.exists("t.trn"));
  // cat and extract --stdout write the entries in table order into a pipe.
  const RunResult cat = tarn(box, {"cat", "s.trn"}, "");
  EXPECT_EQ(cat.out.size(), box.read("numbers.txt").size() + box.read("a.txt").size());
  box.sh(box.in_dir(quote(tarn_path()) + " cat s.trn a.txt | wc -c > count.txt"));
  EXPECT_EQ(std::stoi(box.read("count.txt")), 12);
  const RunResult x = tarn(box, {"extract", "--stdout", "s.trn", "a.txt"});
  EXPECT_EQ(x.status, 0);
  EXPECT_EQ(x.out, "hello, tarn\n");
  EXPECT_FALSE(box.exists("a.txt.tmp"));
  // Piping an archive in or out is refused: the archive must be a file.
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"list", "-"}, {"x", "-"}, {"create", "-", "a.txt"}, {"add", "-", "a.txt"}, {"delete", "-", "a.txt"}}) {
    EXPECT_EQ(EXPECT_TARN(tarn(box, args, "cat s.trn | "), 1, "an archive must be a file: '-'").out, "");
  }
}

TEST(TarnCli, ExtractAndTestWithExitStatuses) {
  Sandbox box;
  make_files(box);
  ASSERT_EQ(tarn(box, {"create", "--no-solid", "a.trn", "a.txt", "big.txt", "dir"}).status, 0);
  const RunResult x = tarn(box, {"extract", "-C", "out", "a.trn"});
  ASSERT_EQ(x.status, 0) << x.err;
  EXPECT_EQ(x.out, "");
  for (const char* f : {"a.txt", "big.txt", "dir/sub/c.txt", "dir/d.txt"})
    EXPECT_EQ(box.read(std::string("out/") + f), box.read(f)) << f;
  struct stat st {};
  ::stat(box.path("out/dir/d.txt").c_str(), &st);
  EXPECT_EQ(st.st_mtime, 1067688000);
  // A selection by directory name, and --exclude.
  ASSERT_EQ(tarn(box, {"x", "--directory=sel", "--exclude=*c.txt", "a.trn", "dir"}).status, 0);
  EXPECT_TRUE(box.exists("sel/dir/d.txt"));
  EXPECT_FALSE(box.exists("sel/dir/sub/c.txt"));
  EXPECT_FALSE(box.exists("sel/a.txt"));
  const RunResult t = tarn(box, {"test", "a.trn"});
  EXPECT_EQ(t.status, 0);
  EXPECT_EQ(t.out + t.err, "tarn: 'a.trn': 6 entries OK\n");
  EXPECT_EQ(tarn(box, {"t", "-q", "a.trn"}).err, "");
  // A missing archive: status 1, the name and the reason.
  const std::string no_archive = "tarn: cannot open 'x.trn': No such file or directory\n";
  EXPECT_EQ(EXPECT_TARN(tarn(box, {"list", "x.trn"}), 1, no_archive).err, no_archive);
  box.write("junk.trn", std::string(100, 'j'));
  EXPECT_EQ(tarn(box, {"t", "junk.trn"}).status, 1);
  // Damaged data: status 2 from test, extract and cat, with the entry named;
  // the other entries are still written.
  std::string bytes = box.read("a.trn");
  const FileList table = testing::read_table(box.path("a.trn"));
  for (const FileEntry& e : table.entries())
    if (e.name == "big.txt") bytes[e.offset + e.packed_size / 2] ^= 0x55;
  box.write("bad.trn", bytes);
  EXPECT_TARN(tarn(box, {"test", "bad.trn"}), 2, "tarn: 'big.txt': damaged");
  const RunResult bx = tarn(box, {"x", "-C", "bad", "bad.trn"});
  EXPECT_EQ(bx.status, 2);
  EXPECT_EQ(box.read("bad/a.txt"), box.read("a.txt"));
  EXPECT_EQ(tarn(box, {"cat", "bad.trn", "big.txt"}).status, 2);
  EXPECT_EQ(tarn(box, {"t", "bad.trn", "a.txt"}).status, 0);  // the damage is elsewhere
  // A cut archive and a damaged table are damaged data too.
  const std::string whole = box.read("a.trn");
  box.write("cut.trn", whole.substr(0, whole.size() / 2));
  std::string table_hit = whole;
  table_hit[table_hit.size() - 10] ^= 0x5a;
  box.write("table.trn", table_hit);
  for (const char* damaged : {"cut.trn", "table.trn"}) {
    for (const auto& args : std::vector<std::vector<std::string>>{{"test"}, {"list"}, {"x", "-C", "never"}}) {
      SCOPED_TRACE(args[0]);
      EXPECT_TARN(tarn(box, with_args(args, {damaged})), 2, std::string("tarn: cannot open '") + damaged + "': ");
    }
  }
  EXPECT_FALSE(box.exists("never"));
  // A refused (missing) input: status 1, named; the rest is packed.
  const std::string refused = "tarn: cannot add 'nope.txt': No such file or directory\n";
  EXPECT_EQ(EXPECT_TARN(tarn(box, {"create", "p.trn", "a.txt", "nope.txt"}), 1, refused).err, refused);
  EXPECT_EQ(tarn(box, {"l", "-q", "p.trn"}).out, "a.txt\n");
}

TEST(TarnCli, ExistingFilesOnExtract) {
  Sandbox box;
  make_files(box);
  ASSERT_EQ(tarn(box, {"create", "a.trn", "a.txt", "dir/d.txt"}).status, 0);
  ASSERT_EQ(tarn(box, {"x", "-C", "out", "a.trn"}).status, 0);
  // Never replaced by default: a note per file, the run goes on, status 1.
  box.write("out/a.txt", "mine\n");
  box.sh("rm out/dir/d.txt");
  const RunResult kept = EXPECT_TARN(tarn(box, {"x", "-C", "out", "a.trn"}), 1, "1 existing files not replaced");
  EXPECT_TRUE(contains(kept.err, "tarn: 'a.txt': skipped: a file of that name exists\n")) << kept.err;
  EXPECT_EQ(box.read("out/a.txt"), "mine\n");
  EXPECT_EQ(box.read("out/dir/d.txt"), box.read("dir/d.txt"));  // the missing one is written
  // --skip-existing: kept without a word, status 0.
  EXPECT_EQ(EXPECT_TARN(tarn(box, {"x", "--skip-existing", "-C", "out", "a.trn"}), 0, "").err, "");
  EXPECT_EQ(box.read("out/a.txt"), "mine\n");
  // --keep-newer: a newer file stays (with a note), an older one is replaced.
  box.sh("touch -d '2020-01-01 00:00:00 UTC' out/a.txt");
  box.write("out/dir/d.txt", "old\n");
  box.sh("touch -d '1999-01-01 00:00:00 UTC' out/dir/d.txt");
  EXPECT_TARN(tarn(box, {"x", "--keep-newer", "-C", "out", "a.trn"}), 0, "'a.txt': kept: the file there is newer");
  EXPECT_EQ(box.read("out/a.txt"), "mine\n");
  EXPECT_EQ(box.read("out/dir/d.txt"), box.read("dir/d.txt"));
  // The entry's own time is not newer than itself: replaced.
  box.write("out/dir/d.txt", "same time\n");
  box.fix_time("out/dir/d.txt");
  EXPECT_EQ(tarn(box, {"x", "--keep-newer", "-C", "out", "a.trn", "dir/d.txt"}).status, 0);
  EXPECT_EQ(box.read("out/dir/d.txt"), box.read("dir/d.txt"));
  // -f and --overwrite replace.
  for (const char* force : {"-f", "--overwrite"}) {
    box.write("out/a.txt", "again\n");
    EXPECT_EQ(tarn(box, {"x", force, "-C", "out", "a.trn"}).status, 0) << force;
    EXPECT_EQ(box.read("out/a.txt"), box.read("a.txt")) << force;
  }
  // A link where a file would go is an existing file too: kept, and never followed.
  box.write("target.txt", "not to be touched\n");
  box.sh("rm out/a.txt && ln -s ../target.txt out/a.txt");
  EXPECT_EQ(tarn(box, {"x", "-C", "out", "a.trn", "a.txt"}).status, 1);
  EXPECT_EQ(box.read("target.txt"), "not to be touched\n");
  EXPECT_EQ(tarn(box, {"x", "-f", "-C", "out", "a.trn", "a.txt"}).status, 0);
  EXPECT_EQ(box.read("target.txt"), "not to be touched\n");
  EXPECT_EQ(box.read("out/a.txt"), box.read("a.txt"));
}

// ---- Changing an archive -------------------------------------------------

TEST(TarnCli, AddAndDeleteKeepUntouchedPiecesByteForByte) {
  Sandbox box;
  make_files(box);
  box.write("e.txt", mixed_text(40000, 5));
  box.fix_time("e.txt");
  // Own pieces (big.txt, e.txt) and one solid group (the small files).
  ASSERT_EQ(tarn(box, {"create", "--no-solid", "a.trn", "big.txt", "e.txt"}).status, 0);
  ASSERT_EQ(tarn(box, {"add", "a.trn", "a.txt", "dir"}).status, 0);
  const auto before = pieces_of(box, "a.trn");
  ASSERT_TRUE(before.count("big.txt") && before.count("e.txt"));
  // Adding a new file copies every old piece as it is.
  box.write("new.txt", mixed_text(30000, 9));
  box.fix_time("new.txt");
  const RunResult add = tarn(box, {"add", "a.trn", "new.txt"});
  ASSERT_EQ(add.status, 0) << add.err;
  auto after = pieces_of(box, "a.trn");
  for (const auto& [name, bytes] : before) {
    ASSERT_TRUE(after.count(name)) << name;
    EXPECT_EQ(after[name], bytes) << name;
  }
  EXPECT_TRUE(after.count("new.txt"));
  EXPECT_EQ(box.tarnc({"t", "a.trn", "*"}).status, 0);
  // Replacing a member of the solid group packs that group again; the
  // single pieces stay.
  box.write("a.txt", "hello again, tarn\n");
  box.fix_time("a.txt");
  const auto with_new = pieces_of(box, "a.trn");
  ASSERT_EQ(tarn(box, {"a", "a.trn", "a.txt"}).status, 0);
  after = pieces_of(box, "a.trn");
  for (const char* name : {"big.txt", "e.txt", "new.txt"}) EXPECT_EQ(after[name], with_new.at(name)) << name;
  EXPECT_EQ(after["big.txt"], before.at("big.txt"));
  EXPECT_EQ(after["e.txt"], before.at("e.txt"));
  // The group of the small files is the one piece packed again.
  std::vector<std::string> repacked;
  for (const auto& [name, bytes] : after)
    if (!with_new.count(name) || with_new.at(name) != bytes) repacked.push_back(name);
  ASSERT_EQ(repacked.size(), 1u);
  const Json group = parse_json(tarn(box, {"l", "--json", "a.trn", repacked[0]}).out);
  ASSERT_EQ(group.items.size(), 1u);
  EXPECT_GT(group.items[0]["group_size"].number, 1);
  EXPECT_EQ(tarn(box, {"cat", "a.trn", "a.txt"}).out, "hello again, tarn\n");
  EXPECT_EQ(tarn(box, {"cat", "a.trn", "dir/d.txt"}).out, box.read("dir/d.txt"));
  const auto json = parse_json(tarn(box, {"l", "--json", "a.trn", "a.txt"}).out);
  ASSERT_EQ(json.items.size(), 1u);  // replaced, not added twice
  EXPECT_EQ(box.tarnc({"t", "a.trn", "*"}).status, 0);
  // Deleting a piece of its own keeps every other piece.
  const auto kept = pieces_of(box, "a.trn");
  const RunResult del = tarn(box, {"delete", "a.trn", "e.txt", "dir/sub"});
  ASSERT_EQ(del.status, 0) << del.err;
  after = pieces_of(box, "a.trn");
  EXPECT_FALSE(after.count("e.txt"));
  EXPECT_EQ(after["big.txt"], kept.at("big.txt"));
  EXPECT_EQ(after["new.txt"], kept.at("new.txt"));
  EXPECT_EQ(tarn(box, {"l", "-q", "a.trn", "dir"}).out.find("sub"), std::string::npos);
  EXPECT_EQ(tarn(box, {"cat", "a.trn", "dir/d.txt"}).out, box.read("dir/d.txt"));
  EXPECT_EQ(box.tarnc({"t", "a.trn", "*"}).status, 0);
  EXPECT_EQ(tarn(box, {"t", "-q", "a.trn"}).status, 0);
  // Deleting by pattern; a name that matches nothing changes nothing.
  const std::string now = box.read("a.trn");
  EXPECT_TARN(tarn(box, {"d", "a.trn", "big.txt", "absent.txt"}), 1, "tarn: 'absent.txt': no such entry in 'a.trn'");
  EXPECT_EQ(box.read("a.trn"), now);
  ASSERT_EQ(tarn(box, {"d", "a.trn", "*.txt"}).status, 0);
  EXPECT_EQ(tarn(box, {"l", "-q", "a.trn"}).out, "dir\n");
  // Adding standard input to an archive; add to a missing archive fails.
  ASSERT_EQ(tarn(box, {"add", "a.trn", "-", "--name=piped.txt"}, "printf abc | ").status, 0);
  EXPECT_EQ(tarn(box, {"cat", "a.trn", "piped.txt"}).out, "abc");
  EXPECT_TARN(tarn(box, {"add", "none.trn", "a.txt"}), 1, "tarn: cannot open 'none.trn': ");
  EXPECT_FALSE(box.exists("none.trn"));
}

TEST(TarnCli, InterruptedAddAndDeleteLeaveTheArchiveAsItWas) {
  Sandbox box;
  box.write("small.txt", "small\n");
  // Letters drawn at random: the model, not the prepass, has to take them,
  // which at Extreme is slow enough to be stopped. a.trn gets the big file
  // added; g.trn loses a member of its solid group, which is then packed
  // again.
  const auto letters = [](size_t n, uint32_t seed) {
    const std::vector<uint8_t> v = testdata::lcg_letters(n, seed);
    return std::string(v.begin(), v.end());
  };
  box.write("m1.txt", letters(1500000, 2));
  box.write("m2.txt", letters(1500000, 3));
  box.write("huge.txt", letters(6u << 20, 4));
  ASSERT_EQ(tarn(box, {"create", "--method=extreme", "a.trn", "small.txt"}).status, 0);
  ASSERT_EQ(tarn(box, {"create", "-6", "g.trn", "m1.txt", "m2.txt", "small.txt"}).status, 0);
  ASSERT_EQ(parse_json(tarn(box, {"info", "--json", "g.trn"}).out)["solid_groups"].number, 1);
  for (const int sig : {SIGKILL, SIGINT}) {
    for (const bool deleting : {false, true}) {
      SCOPED_TRACE(std::string(deleting ? "delete" : "add") + " with signal " + std::to_string(sig));
      const std::string archive = deleting ? "g.trn" : "a.trn";
      const std::string old = box.read(archive);
      const std::vector<std::string> names = names_in(box);
      const pid_t pid = deleting ? start_program(box, {tarn_path(), "delete", "-q", archive, "small.txt"})
                                 : start_program(box, {tarn_path(), "add", "-q", archive, "huge.txt"});
      std::this_thread::sleep_for(std::chrono::milliseconds(400));
      ::kill(pid, sig);
      ASSERT_EQ(wait_run(box, pid).status, -1) << "finished before the signal: make the input bigger";
      EXPECT_EQ(box.read(archive), old);
      EXPECT_EQ(names_in(box), names);  // no temporary left beside it
      EXPECT_EQ(tarn(box, {"t", "-q", archive}).status, 0);
    }
  }
}

TEST(TarnCli, FailedWritesLeaveTheArchiveAsItWas) {
  Sandbox box;
  box.write("noise.bin", random_text(300000, 5));
  box.write("small.txt", "small\n");
  box.write("more.bin", random_text(100000, 6));
  ASSERT_EQ(tarn(box, {"create", "a.trn", "noise.bin", "small.txt"}).status, 0);
  const std::string old = box.read("a.trn");
  const std::vector<std::string> names = names_in(box);
  // Files may not grow beyond 32 KiB (or 64, by the shell's unit): writing
  // the new archive fails.
  const struct {
    std::vector<std::string> args;
    std::string shell;
  } runs[] = {
      {{"add", "a.trn", "more.bin"}, "ulimit -f 64; "},
      {{"delete", "a.trn", "small.txt"}, "ulimit -f 64; "},
      {{"create", "a.trn", "more.bin", "small.txt"}, "ulimit -f 64; "},
      {{"add", "a.trn", "-", "--name=piped.bin"}, "ulimit -f 64; cat more.bin | "},
  };
  for (const auto& run : runs) {
    SCOPED_TRACE(run.args[0] + " " + run.args.back());
    const RunResult r = EXPECT_TARN(tarn(box, run.args, run.shell), 1, "File too large");
    EXPECT_TRUE(contains(r.err, "a.trn")) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(box.read("a.trn"), old);
    EXPECT_EQ(names_in(box), names);
  }
  EXPECT_EQ(box.tarnc({"t", "a.trn", "*"}).status, 0);
  // An archive that is no archive is not changed either.
  box.write("junk.trn", std::string(5000, 'j'));
  for (const auto& args : std::vector<std::vector<std::string>>{{"add", "junk.trn", "small.txt"},
                                                                {"delete", "junk.trn", "small.txt"}}) {
    EXPECT_TARN(tarn(box, args), 1, "tarn: cannot open 'junk.trn': ");  // not an archive
    EXPECT_EQ(box.read("junk.trn"), std::string(5000, 'j'));
  }
}

// ---- Progress, on a terminal only ----------------------------------------

TEST(TarnCli, ProgressOnlyOnATerminal) {
  Sandbox box;
  if (!box.sh("command -v script >/dev/null")) GTEST_SKIP() << "no script(1) to run tarn on a terminal";
  box.write("big.txt", mixed_text(4u << 20, 8));
  const std::string run = quote(tarn_path()) + " create -6 --no-solid ";
  // script(1) gives tarn a terminal; what tarn wrote there lands in tty.txt.
  ASSERT_TRUE(box.sh("script -qec " + quote(run + "a.trn big.txt") + " /dev/null > tty.txt"));
  const std::string tty = box.read("tty.txt");
  for (const char* part : {"%", " MB/s ", " left  big.txt", "\r\033[K"})
    EXPECT_TRUE(contains(tty, part)) << part << "\n" << tty;
  // -q: nothing; not a terminal: nothing.
  ASSERT_TRUE(box.sh("script -qec " + quote(quote(tarn_path()) + " create -q -0 b.trn big.txt") + " /dev/null > quiet.txt"));
  EXPECT_EQ(box.read("quiet.txt"), "");
  const RunResult piped = tarn(box, {"create", "-0", "c.trn", "big.txt"});
  EXPECT_EQ(piped.status, 0);
  EXPECT_EQ(piped.err, "");
  EXPECT_EQ(box.read("b.trn"), box.read("c.trn"));
}

// ---- Bash completion -----------------------------------------------------

TEST(TarnCli, BashCompletion) {
  Sandbox box;
  if (!box.sh("command -v bash >/dev/null")) GTEST_SKIP() << "no bash";
  box.write("a.txt", "a\n");
  box.write("dir/b c.txt", "b\n");
  ASSERT_EQ(tarn(box, {"create", "-q", "x.trn", "a.txt", "dir"}).status, 0);
  box.sh("mkdir sub && touch sub/y.trn other.txt");
  const std::string completion = std::string(TARN_SOURCE_DIR) + "/completion/tarn.bash";
  const std::string bin = std::filesystem::path(tarn_path()).parent_path().string();
  // What _tarn offers for the words typed, the last being completed.
  const auto offered = [&](const std::string& words) {
    box.write("complete.sh", "source " + quote(completion) + "\nPATH=" + quote(bin) + ":$PATH\nCOMP_WORDS=(" + words +
                                 ")\nCOMP_CWORD=$((${#COMP_WORDS[@]} - 1))\n_tarn\nfor w in \"${COMPREPLY[@]}\"; do printf '%s|' \"$w\"; done\n");
    return box.run_program("bash", {"complete.sh"}, true).out;
  };
  EXPECT_EQ(offered("tarn ex"), "extract|");
  EXPECT_EQ(offered("tarn -q l"), "list|l|");
  EXPECT_EQ(offered("tarn list --js"), "--json|");
  EXPECT_EQ(offered("tarn x --ov"), "--overwrite|");
  EXPECT_EQ(offered("tarn list --ov"), "");  // not an option of list
  EXPECT_EQ(offered("tarn c --method=ex"), "extreme|");
  EXPECT_EQ(offered("tarn x ''"), "dir|sub|x.trn|");  // directories and archives
  EXPECT_EQ(offered("tarn x x.trn ''"), "a.txt|dir/b c.txt|dir|");  // in table order
  EXPECT_EQ(offered("tarn x -C out x.trn d"), "dir/b c.txt|dir|");
  EXPECT_EQ(offered("tarn c new.trn o"), "other.txt|");
}

// ---- bench ---------------------------------------------------------------

TEST(TarnCli, BenchShowsEveryMethod) {
  Sandbox box;
  box.write("sample.txt", mixed_text(20000, 1));
  const RunResult all = tarn(box, {"bench", "sample.txt"});
  ASSERT_EQ(all.status, 0) << all.err;
  EXPECT_TRUE(contains(all.out, "sample.txt: 20000 bytes\n")) << all.out;
  for (const char* m : {"store", "quickest", "fast", "normal", "good", "superb", "extreme"})
    EXPECT_TRUE(contains(all.out, std::string("  ") + m + " ")) << m;
  // One method only; a missing file is named and the others measured.
  const std::string nope = "tarn: cannot open 'nope': No such file or directory\n";
  const RunResult one = EXPECT_TARN(tarn(box, {"bench", "-3", "sample.txt", "nope"}), 1, nope);
  EXPECT_TRUE(contains(one.out, "  normal ") && !contains(one.out, "  store ")) << one.out;
  EXPECT_EQ(one.err, nope);
}

}  // namespace
}  // namespace tarn::e2e
