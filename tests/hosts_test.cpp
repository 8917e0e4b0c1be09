#include "hosts.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "config.h"
#include "platform.h"
#include "registry.h"
#include "stats.h"
#include "test_files.h"

namespace {

using Content = std::vector<std::pair<std::string, std::string>>;

Content table_content() {
  Content out;
  for (const NameEntry& e : name_table()) out.emplace_back(e.name, format_ipv4(e.address));
  return out;
}

// Each test gets a folder holding the hosts file, the log and a temporary
// folder of its own (TMPDIR), so the copy never touches the real /tmp/tarvik.tmp.
class HostsFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/tarvik-hosts-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    folder_ = dir;
    hosts_ = folder_ + "/hosts";
    temp_ = folder_ + "/tmp";
    ASSERT_EQ(mkdir(temp_.c_str(), 0700), 0);
    const char* old_tmpdir = std::getenv("TMPDIR");
    had_tmpdir_ = old_tmpdir != nullptr;
    if (had_tmpdir_) saved_tmpdir_ = old_tmpdir;
    setenv("TMPDIR", temp_.c_str(), 1);
    saved_settings_ = g_settings;
    g_settings.log_path = folder_;
    clear_name_table();
    g_hosts_dirty = false;
  }
  void TearDown() override {
    if (had_tmpdir_) setenv("TMPDIR", saved_tmpdir_.c_str(), 1);
    else unsetenv("TMPDIR");
    g_settings = saved_settings_;
    clear_name_table();
    g_hosts_dirty = false;
    std::string command = "rm -rf '" + folder_ + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
  }

  std::vector<std::string> log_messages() { return ::log_messages(folder_); }

  // The names in a folder (the test's own by default), sorted.
  std::vector<std::string> folder_names(const std::string& folder = std::string()) {
    std::vector<std::string> names;
    list_folder(folder.empty() ? folder_ : folder, &names);
    std::sort(names.begin(), names.end());
    return names;
  }

  std::string folder_;
  std::string hosts_;
  std::string temp_;
  bool had_tmpdir_ = false;
  std::string saved_tmpdir_;
  Settings saved_settings_;
};

// --- Loading ----------------------------------------------------------------

TEST_F(HostsFile, LoadTakesEntryLinesOfTheFirstBlockOnly) {
  struct Case {
    const char* what;
    std::string file;
    Content expected;
    bool rewrite = false;  // the block does not read as the table would be written
  };
  const std::string two_entries =
      "#tarvik-begin\n192.168.1.20\tmeter1\n10.0.0.7   meter2 more words\n#tarvik-end\n";
  const Case cases[] = {
      {"block in the middle",
       "127.0.0.1 localhost\n" + two_entries + "10.9.9.9 after\n",
       {{"meter1", "192.168.1.20"}, {"meter2", "10.0.0.7"}}, true},
      // Exactly as the service writes it: a start costs no write.
      {"block as written", "a\n#tarvik-begin\n192.168.1.20\tmeter1\n10.0.0.7\tmeter2\n#tarvik-end\nz\n",
       {{"meter1", "192.168.1.20"}, {"meter2", "10.0.0.7"}}},
      {"CR LF lines", "127.0.0.1 localhost\r\n#tarvik-begin\r\n192.168.1.20\tmeter1\r\n10.0.0.7 meter2\r\n#tarvik-end\r\n",
       {{"meter1", "192.168.1.20"}, {"meter2", "10.0.0.7"}}, true},
      {"no block", "127.0.0.1 localhost\n10.0.0.7 meter2\n", {}},
      {"empty file", "", {}},
      {"indented begin marker", " #tarvik-begin\n10.0.0.7 meter2\n#tarvik-end\n", {}},
      {"upper-case begin marker", "#TARVIK-BEGIN\n10.0.0.7 meter2\n#tarvik-end\n", {}},
      {"markers with trailing text", "#tarvik-begin here\n10.0.0.7 meter2\n#tarvik-endless\n10.0.0.8 x\n",
       {{"meter2", "10.0.0.7"}}, true},
      {"no end marker", "#tarvik-begin\n10.0.0.7 meter2\n10.0.0.8 meter3", {{"meter2", "10.0.0.7"}, {"meter3", "10.0.0.8"}}, true},
      // Without its end marker the block ends at the first line that is no
      // entry: that line and the rest are the admin's.
      {"no end marker, a comment ends the block", "#tarvik-begin\n10.0.0.7 meter2\n# mine\n10.0.0.8 meter3\n",
       {{"meter2", "10.0.0.7"}}, true},
      {"no end marker, a blank line ends the block", "#tarvik-begin\n10.0.0.7 meter2\n\n10.0.0.8 meter3\n",
       {{"meter2", "10.0.0.7"}}, true},
      {"leading white space", "#tarvik-begin\n  \t10.0.0.7\tmeter2\n#tarvik-end\n", {{"meter2", "10.0.0.7"}}, true},
      // Only the address as the service writes it, one tab, the name.
      {"address with a leading zero", "#tarvik-begin\n10.0.0.07\tm\n#tarvik-end\n", {{"m", "10.0.0.7"}}, true},
      {"address in a short form", "#tarvik-begin\n10.7\tm\n#tarvik-end\n", {{"m", "10.0.0.7"}}, true},
      {"two tabs", "#tarvik-begin\n10.0.0.7\t\tm\n#tarvik-end\n", {{"m", "10.0.0.7"}}, true},
      {"same name twice, as written", "#tarvik-begin\n10.0.0.7\tm\n10.0.0.8\tm\n#tarvik-end\n", {{"m", "10.0.0.8"}},
       true},
      {"a word after the name", "#tarvik-begin\n10.0.0.7\tm x\n#tarvik-end\n", {{"m", "10.0.0.7"}}, true},
      {"no line feed after the end marker", "#tarvik-begin\n10.0.0.7\tm\n#tarvik-end", {{"m", "10.0.0.7"}}, true},
      {"same name twice", "#tarvik-begin\n10.0.0.7 m\n10.0.0.8 m\n#tarvik-end\n", {{"m", "10.0.0.8"}}, true},
      {"same address twice", "#tarvik-begin\n10.0.0.7 a\n10.0.0.7 b\n#tarvik-end\n", {{"b", "10.0.0.7"}}, true},
      {"same line twice", "#tarvik-begin\n10.0.0.7 a\n10.0.0.7 a\n#tarvik-end\n", {{"a", "10.0.0.7"}}, true},
      {"second block is never read", two_entries + "#tarvik-begin\n10.0.0.9 other\n#tarvik-end\n",
       {{"meter1", "192.168.1.20"}, {"meter2", "10.0.0.7"}}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    clear_name_table();
    g_hosts_dirty = false;
    write_file(hosts_, c.file);
    load_hosts_block(hosts_);
    EXPECT_EQ(table_content(), c.expected);
    EXPECT_EQ(g_hosts_dirty, c.rewrite);
  }
  EXPECT_TRUE(log_messages().empty());
}

// Only what a registration could have put there is taken in; the rest is
// named in the log and gone from the block after the next rewrite.
TEST_F(HostsFile, LinesOfTheBlockThatAreNoEntriesAreSkipped) {
  using namespace std::string_literals;  // the lines hold zero bytes
  const std::string file =
      "127.0.0.1 localhost\n"
      "#tarvik-begin\n"
      "192.168.1.20\tmeter1\n"
      "# printers\n"                  // line 4: a comment
      "\n"                            // 5: blank
      "  \t10.0.0.7\n"                // 6: address only
      "not-an-address meter2\n"       // 7
      "255.255.255.255 meter3\n"      // 8: what an unparsable address used to become
      "10.0.0.9 bad\x01name\n"        // 9: a control byte in the name
      "10.0.0.10\0x meter4\n"         // 10: a zero byte inside the address
      "10.0.0.11 a\0b\n"              // 11: a zero byte inside the name
      " #tarvik-end\n"                // 12: an indented end marker is a line of the block
      "10.0.0.12\tmeter5\n"
      "#tarvik-end\n"
      "10.9.9.9 user\n"s;
  write_file(hosts_, file);
  load_hosts_block(hosts_);
  EXPECT_EQ(table_content(), (Content{{"meter1", "192.168.1.20"}, {"meter5", "10.0.0.12"}}));
  EXPECT_TRUE(g_hosts_dirty);
  EXPECT_EQ(log_messages(), (std::vector<std::string>{
                                hosts_ + ":4: not an entry, skipped: '# printers'",
                                hosts_ + ":5: not an entry, skipped: ''",
                                hosts_ + ":6: not an entry, skipped: '  \\x0910.0.0.7'",
                                hosts_ + ":7: not an entry, skipped: 'not-an-address meter2'",
                                hosts_ + ":8: not an entry, skipped: '255.255.255.255 meter3'",
                                hosts_ + ":9: not an entry, skipped: '10.0.0.9 bad\\x01name'",
                                hosts_ + ":10: not an entry, skipped: '10.0.0.10\\x00x meter4'",
                                hosts_ + ":11: not an entry, skipped: '10.0.0.11 a\\x00b'",
                                hosts_ + ":12: not an entry, skipped: ' #tarvik-end'",
                            }));

  ASSERT_TRUE(rewrite_hosts_block(hosts_));
  EXPECT_EQ(read_file(hosts_),
            "127.0.0.1 localhost\n#tarvik-begin\n192.168.1.20\tmeter1\n10.0.0.12\tmeter5\n#tarvik-end\n"
            "10.9.9.9 user\n");
}

// A cap refuses new names; it never deletes stored ones. A block longer than
// max-names is loaded whole, needs no write at start, and keeps every entry
// through later writes; only new names wait until the table is below the cap.
TEST_F(HostsFile, BlockLongerThanTheCapIsKeptWhole) {
  g_settings.max_names = 3;
  const std::string block =
      "#tarvik-begin\n10.0.0.1\ta\n10.0.0.2\tb\n10.0.0.3\tc\n10.0.0.4\td\n10.0.0.5\te\n#tarvik-end\n";
  write_file(hosts_, "127.0.0.1 localhost\n" + block);
  load_hosts_block(hosts_);
  EXPECT_EQ(table_content(), (Content{{"a", "10.0.0.1"}, {"b", "10.0.0.2"}, {"c", "10.0.0.3"},
                                      {"d", "10.0.0.4"}, {"e", "10.0.0.5"}}));
  EXPECT_FALSE(g_hosts_dirty);
  EXPECT_EQ(log_messages(), std::vector<std::string>{hosts_ + ": the block holds 5 names, over max-names 3: "
                                                              "new names are refused until the table is below it"});

  // Over the cap: a new name is refused; a renewal and a new name for an
  // address in the table go in, and a write keeps every entry.
  EXPECT_FALSE(update_name_table("f", "10.0.0.6"));
  EXPECT_TRUE(update_name_table("a", "10.0.0.1"));
  EXPECT_TRUE(update_name_table("b2", "10.0.0.2"));
  EXPECT_TRUE(rewrite_hosts_block(hosts_));
  EXPECT_EQ(read_file(hosts_), "127.0.0.1 localhost\n#tarvik-begin\n10.0.0.3\tc\n10.0.0.4\td\n10.0.0.5\te\n"
                               "10.0.0.1\ta\n10.0.0.2\tb2\n#tarvik-end\n");

  // Below the cap again (three names taken up outside the block), new names
  // are taken once more.
  set_names_outside_block({"c", "d", "e"});
  drop_taken_names();
  EXPECT_TRUE(update_name_table("f", "10.0.0.6"));
  EXPECT_FALSE(update_name_table("g", "10.0.0.7"));
}

// Names the rest of the file (or the machine) already has are not loaded,
// and are dropped when a later rewrite reads them outside the block.
TEST_F(HostsFile, NamesDefinedOutsideTheBlockAreNeverInIt) {
  std::string host = machine_host_name();
  std::string own = host.substr(0, host.find('.'));
  bool own_storable = is_storable_name(own);
  write_file(hosts_,
             "127.0.0.1\tlocalhost\n"
             "10.0.0.1 Router gw # printer\n"
             "::1 ip6-localhost ip6-loopback\n"
             "#tarvik-begin\n"
             "10.0.1.1\trouter\n"
             "10.0.1.2\tGW\n"
             "10.0.1.3\tprinter\n"
             "10.0.1.4\tIP6-LOCALHOST\n"
             "10.0.1.5\tlate\n" +
             (own_storable ? "10.0.1.6\t" + own + "\n" : std::string()) +
             "#tarvik-end\n"
             "10.0.0.9 late\n");
  load_hosts_block(hosts_);
  EXPECT_EQ(table_content(), (Content{{"printer", "10.0.1.3"}}));
  std::vector<std::string> expected{"router: name refused: defined outside the block",
                                    "GW: name refused: defined outside the block",
                                    "IP6-LOCALHOST: name refused: defined outside the block",
                                    "late: name refused: defined outside the block"};
  if (own_storable) expected.push_back(own + ": name refused: the machine's own name");
  EXPECT_EQ(log_messages(), expected);

  // Someone adds a stored name outside the block: the next write drops it.
  update_name_table("meter1", "10.0.1.7");
  write_file(hosts_, read_file(hosts_) + "10.0.0.10 other METER1\n");
  ASSERT_TRUE(rewrite_hosts_block(hosts_));
  EXPECT_EQ(table_content(), (Content{{"printer", "10.0.1.3"}}));
  std::string text = read_file(hosts_);
  std::string block = text.substr(text.find("#tarvik-begin"));
  EXPECT_EQ(block.substr(0, block.find("#tarvik-end")), "#tarvik-begin\n10.0.1.3\tprinter\n");
  EXPECT_EQ(log_messages().back(), "meter1: name refused: defined outside the block");
  EXPECT_EQ(name_taken_reason("other"), std::string("defined outside the block"));
}

TEST_F(HostsFile, LoadOfMissingFileLogsAndLoadsNothing) {
  load_hosts_block(hosts_);
  EXPECT_TRUE(name_table().empty());
  EXPECT_FALSE(g_hosts_dirty);
  EXPECT_EQ(log_messages(), std::vector<std::string>{hosts_ + ": No such file or directory"});
}

// --- Rewriting --------------------------------------------------------------

TEST_F(HostsFile, RewriteKeepsLinesOutsideTheBlock) {
  using namespace std::string_literals;
  struct Case {
    const char* what;
    std::string old_file;
    Content table;
    std::string expected;
  };
  const std::string block = "#tarvik-begin\n192.168.1.20\tmeter1\n#tarvik-end\n";
  const Content meter1 = {{"meter1", "192.168.1.20"}};
  const Case cases[] = {
      {"no block: a blank line before the new one", "127.0.0.1 localhost\n", meter1,
       "127.0.0.1 localhost\n\n" + block},
      {"last line without line end", "127.0.0.1 localhost", meter1, "127.0.0.1 localhost\n" + block},
      {"empty file", "", meter1, "\n" + block},
      {"block replaced in place, lines after it kept",
       "a\n#tarvik-begin\n10.0.0.1\told\n#tarvik-end\nb\n# user line\n", meter1, "a\n" + block + "b\n# user line\n"},
      {"markers with trailing text", "a\n#tarvik-begin x\n10.0.0.1\told\n#tarvik-end y\nb\n", meter1,
       "a\n" + block + "b\n"},
      {"no end marker: the first line that is no entry ends the block",
       "a\n#tarvik-begin\n10.0.0.1\told\n10.0.0.2 other\n# mine\n10.0.0.3 user\n", meter1,
       "a\n" + block + "# mine\n10.0.0.3 user\n"},
      {"a second block is carried over as it is",
       "#tarvik-begin\n#tarvik-end\n#tarvik-begin\n1.1.1.1\tz\n#tarvik-end\n", meter1,
       block + "#tarvik-begin\n1.1.1.1\tz\n#tarvik-end\n"},
      {"empty table", "a\n", {}, "a\n\n#tarvik-begin\n#tarvik-end\n"},
      {"entries oldest first, unparsable address as 255.255.255.255", "",
       {{"x", "255.255.255.255"}, {"meter1", "192.168.1.20"}},
       "\n#tarvik-begin\n255.255.255.255\tx\n192.168.1.20\tmeter1\n#tarvik-end\n"},
      // The platform keeps LF-only files; with no text mode CR LF lines
      // outside the block come back byte for byte.
      {"CR LF lines outside", "127.0.0.1 localhost\r\n#tarvik-begin\r\n#tarvik-end\r\nz\r\n", meter1,
       "127.0.0.1 localhost\r\n" + block + "z\r\n"},
      {"long line in pieces", std::string(3000, 'x') + "\n", meter1, std::string(3000, 'x') + "\n\n" + block},
      // Markers are found piece by piece: one may start inside a long line,
      // and the rest of a long end-marker line is a line after the block.
      {"begin marker at a piece boundary", std::string(1023, 'x') + "#tarvik-begin\n10.0.0.1\told\n#tarvik-end\nb\n",
       meter1, std::string(1023, 'x') + block + "b\n"},
      {"long end-marker line", "#tarvik-begin\n#tarvik-end" + std::string(1100, 'y') + "\nb\n", meter1,
       block + std::string(88, 'y') + "\nb\n"},
      // Read and written by length: a zero byte does not end its line, and
      // Ctrl+Z does not end the file.
      {"zero bytes and Ctrl+Z outside the block", "a\0b fileserver\n#tarvik-begin\n#tarvik-end\n\x1a\0\nz"s,
       meter1, "a\0b fileserver\n"s + block + "\x1a\0\nz"s},
      {"a marker after a zero byte is no marker", "x\0#tarvik-begin\n"s, meter1,
       "x\0#tarvik-begin\n\n"s + block},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    clear_name_table();
    for (const auto& entry : c.table) {
      if (entry.second == "255.255.255.255") {
        update_name_table(entry.first, "#");
      } else {
        update_name_table(entry.first, entry.second);
      }
    }
    write_file(hosts_, c.old_file);
    EXPECT_TRUE(rewrite_hosts_block(hosts_));
    EXPECT_FALSE(g_hosts_dirty);
    EXPECT_EQ(read_file(hosts_), c.expected);
    // Written again with the same table, the file stays the same.
    EXPECT_TRUE(rewrite_hosts_block(hosts_));
    EXPECT_EQ(read_file(hosts_), c.expected);
    EXPECT_EQ(folder_names(), (std::vector<std::string>{"hosts", "tmp"}));
    EXPECT_TRUE(folder_names(temp_).empty());
  }
  EXPECT_TRUE(log_messages().empty());
}

TEST_F(HostsFile, RewriteThenLoadGivesTheTableBack) {
  update_name_table("meter1", "192.168.1.20");
  update_name_table("meter2", "10.0.0.7");
  update_name_table("meter_3-x", "10.0.0.9");
  Content before = table_content();
  write_file(hosts_, "127.0.0.1 localhost\n");
  rewrite_hosts_block(hosts_);

  clear_name_table();
  g_hosts_dirty = false;
  load_hosts_block(hosts_);
  EXPECT_EQ(table_content(), before);
}

// --- Writing the table's changes into the file last written -----------------

// The block the table would be written as.
std::string table_block() {
  std::string block = "#tarvik-begin\n";
  for (const NameEntry& e : name_table()) block += format_ipv4(e.address) + "\t" + e.name + "\n";
  return block + "#tarvik-end\n";
}

// The table's changes since the last call, handed to the writer as the loop
// hands them over after each turn.
void hand_over_changes() {
  std::vector<NameChange> changes;
  take_name_changes(&changes);
  note_hosts_changes(&changes);
}

// Changes `from` into `to` (of the same length) in the file as another
// program would, but with the file's size and time kept: nothing tells the
// writer, whose changes then go into that text.
void edit_behind_the_writers_back(const std::string& path, const std::string& from, const std::string& to) {
  struct stat before;
  ASSERT_EQ(stat(path.c_str(), &before), 0);
  std::string text = read_file(path);
  std::size_t at = text.find(from);
  ASSERT_NE(at, std::string::npos);
  ASSERT_EQ(from.size(), to.size());
  text.replace(at, from.size(), to);
  write_file(path, text);
  timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

class Changes : public HostsFile {
 protected:
  static constexpr const char* kBefore = "127.0.0.1 localhost\n";
  static constexpr const char* kAfter = "# after the block\n10.9.9.9 printer\n";

  // A hosts file whose block reads exactly as the table z, a..e is written,
  // loaded, with the table's changes recorded from then on. Then z's line
  // says Z behind the writer's back: a file with Z is one the changes went
  // into, one with z a whole block written from the table.
  void load_six() {
    record_name_changes(false);
    clear_name_table();
    write_file(hosts_, std::string(kBefore) +
                           "#tarvik-begin\n10.0.0.26\tz\n10.0.0.1\ta\n10.0.0.2\tb\n10.0.0.3\tc\n10.0.0.4\td\n"
                           "10.0.0.5\te\n#tarvik-end\n" + kAfter);
    load_hosts_block(hosts_);
    ASSERT_FALSE(g_hosts_dirty);
    record_name_changes(true);
    hand_over_changes();
    edit_behind_the_writers_back(hosts_, "\tz\n", "\tZ\n");
  }
  // The file the changes went into.
  std::string changed_file() {
    std::string block = table_block();
    block.replace(block.find("\tz\n"), 3, "\tZ\n");
    return kBefore + block + kAfter;
  }
  void TearDown() override {
    record_name_changes(false);
    HostsFile::TearDown();
  }
};

// Every change moves its entry to the end of the table, so the file's block
// without the lines of the names changed, then those names, is the table's
// block: also for renewals that change nothing, new spellings, names that
// take another's address, and names changed more than once between writes.
// (z, never changed, shows that the changes went into the file.)
TEST_F(Changes, ChangesWrittenIntoTheFileGiveTheTablesBlock) {
  using Registrations = std::vector<std::pair<std::string, std::string>>;
  struct Case {
    const char* what;
    std::vector<Registrations> writes;  // the registrations before each write
  };
  const Case cases[] = {
      {"a new name", {{{"f", "10.0.0.6"}}}},
      {"a new address", {{{"b", "10.0.1.2"}}}},
      {"a renewal that changes nothing rides along", {{{"b", "10.0.0.2"}, {"f", "10.0.0.6"}}}},
      {"a new spelling", {{{"C", "10.0.0.3"}}}},
      {"a name that takes another's address", {{{"f", "10.0.0.4"}}}},
      {"changed twice: the last change counts", {{{"b", "10.0.1.2"}, {"a", "10.0.1.1"}, {"b", "10.0.2.2"}}}},
      {"moved, then its address taken", {{{"b", "10.0.1.2"}, {"g", "10.0.1.2"}}}},
      {"every entry changed", {{{"e", "10.0.1.5"}, {"d", "10.0.1.4"}, {"c", "10.0.1.3"}, {"b", "10.0.1.2"},
                                {"a", "10.0.1.1"}}}},
      {"write after write", {{{"f", "10.0.0.6"}}, {{"a", "10.0.1.1"}, {"f", "10.0.1.6"}}, {{"a", "10.0.1.1"}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    load_six();
    for (const Registrations& registrations : c.writes) {
      for (const auto& r : registrations) ASSERT_TRUE(update_name_table(r.first, r.second));
      hand_over_changes();
      ASSERT_TRUE(rewrite_hosts_block(hosts_));
      EXPECT_EQ(read_file(hosts_), changed_file());
    }
  }
  EXPECT_TRUE(log_messages().empty());
}

// A file another program has written since the last write (any change of
// its size, time or inode) is not trusted: the whole block is written from
// the table, with that program's lines kept. The names it defines outside
// leave the table, and their removal, of names no longer in the block,
// rides with the next changes.
TEST_F(Changes, AFileAnotherProgramWroteGetsTheWholeBlock) {
  load_six();
  ASSERT_TRUE(update_name_table("f", "10.0.0.6"));
  hand_over_changes();
  ASSERT_TRUE(rewrite_hosts_block(hosts_));
  ASSERT_EQ(read_file(hosts_), changed_file());

  write_file(hosts_, read_file(hosts_) + "10.8.8.8 c\n");
  ASSERT_TRUE(update_name_table("g", "10.0.0.7"));
  hand_over_changes();
  ASSERT_TRUE(rewrite_hosts_block(hosts_));
  EXPECT_EQ(table_content(), (Content{{"z", "10.0.0.26"}, {"a", "10.0.0.1"}, {"b", "10.0.0.2"}, {"d", "10.0.0.4"},
                                      {"e", "10.0.0.5"}, {"f", "10.0.0.6"}, {"g", "10.0.0.7"}}));
  EXPECT_EQ(read_file(hosts_), kBefore + table_block() + kAfter + "10.8.8.8 c\n");
  EXPECT_EQ(log_messages(), (std::vector<std::string>{"c: name refused: defined outside the block"}));

  edit_behind_the_writers_back(hosts_, "\tz\n", "\tZ\n");
  ASSERT_TRUE(update_name_table("b", "10.0.1.2"));
  hand_over_changes();
  ASSERT_TRUE(rewrite_hosts_block(hosts_));
  EXPECT_EQ(read_file(hosts_), changed_file() + "10.8.8.8 c\n");
}

// Changes that do not add up to the table (one lost on the way) are not
// trusted either.
TEST_F(Changes, ChangesThatDoNotAddUpGiveTheWholeBlock) {
  load_six();
  ASSERT_TRUE(update_name_table("f", "10.0.0.6"));
  std::vector<NameChange> lost;
  take_name_changes(&lost);
  ASSERT_TRUE(update_name_table("g", "10.0.0.7"));
  hand_over_changes();
  ASSERT_TRUE(rewrite_hosts_block(hosts_));
  EXPECT_EQ(read_file(hosts_), kBefore + table_block() + kAfter);
  EXPECT_TRUE(log_messages().empty());
}

// More changes than are worth keeping are let go, also while a write is in
// flight on the writer thread: the write after it is the whole block.
TEST_F(Changes, TooManyChangesGiveTheWholeBlock) {
  load_six();
  ASSERT_TRUE(update_name_table("f", "10.0.0.6"));
  hand_over_changes();
  ASSERT_TRUE(start_hosts_write(hosts_));
  // Addresses only: the table keeps its length.
  for (int i = 0; i < 1100; ++i) ASSERT_TRUE(update_name_table("a", i % 2 == 0 ? "10.0.1.1" : "10.0.2.1"));
  hand_over_changes();
  wait_for_hosts_write();
  ASSERT_TRUE(rewrite_hosts_block(hosts_));
  EXPECT_EQ(read_file(hosts_), kBefore + table_block() + kAfter);
  EXPECT_NE(table_block().find("10.0.2.1\ta\n"), std::string::npos);
}

TEST_F(HostsFile, MissingHostsFileIsCreatedWithTheBlockAlone) {
  update_name_table("meter1", "192.168.1.20");
  rewrite_hosts_block(hosts_);
  EXPECT_EQ(read_file(hosts_), "#tarvik-begin\n192.168.1.20\tmeter1\n#tarvik-end\n");
  EXPECT_EQ(log_messages(), std::vector<std::string>{hosts_ + ": No such file or directory"});
}

// A failed write is reported as such and leaves the table dirty, so that
// the loop tries again; nothing of it stays on disk.
TEST_F(HostsFile, FailedRewriteLeavesTheFileAndTheTableDirty) {
  update_name_table("meter1", "192.168.1.20");

  // A directory at the hosts path opens but cannot be read (EISDIR).
  ASSERT_EQ(mkdir(hosts_.c_str(), 0700), 0);
  write_file(hosts_ + "/inside", "keep");
  EXPECT_FALSE(rewrite_hosts_block(hosts_));
  EXPECT_TRUE(g_hosts_dirty);
  EXPECT_EQ(read_file(hosts_ + "/inside"), "keep");
  EXPECT_EQ(log_messages(), std::vector<std::string>{hosts_ + ": Can not read: " + std::strerror(EISDIR)});
  EXPECT_EQ(folder_names(), (std::vector<std::string>{"hosts", "log", "tmp"}));

  // A path through a plain file cannot even be opened (ENOTDIR): no old
  // file is assumed, nothing is written.
  std::string plain = folder_ + "/plain";
  write_file(plain, "127.0.0.1 localhost\n");
  std::string through = plain + "/hosts";
  std::remove((folder_ + "/log").c_str());
  EXPECT_FALSE(rewrite_hosts_block(through));
  EXPECT_TRUE(g_hosts_dirty);
  EXPECT_EQ(read_file(plain), "127.0.0.1 localhost\n");
  EXPECT_EQ(log_messages(), std::vector<std::string>{through + ": Can not read: " + std::strerror(ENOTDIR)});

  // A folder that does not exist: no old file, and the copy cannot be made
  // there. The line names the copy and the system's error.
  std::string missing = folder_ + "/no-such-folder/hosts";
  std::remove((folder_ + "/log").c_str());
  EXPECT_FALSE(rewrite_hosts_block(missing));
  EXPECT_TRUE(g_hosts_dirty);
  std::vector<std::string> log = log_messages();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0], missing + ": No such file or directory");
  std::string prefix = missing + ".tarvik-";
  std::string suffix = std::string(".tmp: Can not modify/create: ") + std::strerror(ENOENT);
  EXPECT_EQ(log[1].substr(0, prefix.size()), prefix) << log[1];
  EXPECT_EQ(log[1].size(), prefix.size() + 8 + suffix.size()) << log[1];
  EXPECT_EQ(log[1].substr(log[1].size() - suffix.size()), suffix) << log[1];

  // Once the file can be written, it is, and the table is clean.
  std::remove((hosts_ + "/inside").c_str());
  ASSERT_EQ(rmdir(hosts_.c_str()), 0);
  write_file(hosts_, "127.0.0.1 localhost\n");
  EXPECT_TRUE(rewrite_hosts_block(hosts_));
  EXPECT_FALSE(g_hosts_dirty);
  EXPECT_EQ(read_file(hosts_), "127.0.0.1 localhost\n\n#tarvik-begin\n192.168.1.20\tmeter1\n#tarvik-end\n");
}

// The new file is a fresh one renamed over the old: the old file's
// permissions carry over whatever the service's umask, nothing is written
// through a link planted where a copy used to be made, and an earlier file
// at such a place never becomes the hosts file.
TEST_F(HostsFile, NewFileTakesThePermissionsAndNothingElseIsTouched) {
  update_name_table("meter1", "192.168.1.20");
  write_file(hosts_, "127.0.0.1 localhost\n");
  ASSERT_EQ(chmod(hosts_.c_str(), 0604), 0);
  std::string victim = folder_ + "/victim";
  write_file(victim, "precious\n");
  ASSERT_EQ(symlink(victim.c_str(), (temp_ + "/tarvik.tmp").c_str()), 0);
  ASSERT_EQ(symlink(victim.c_str(), (hosts_ + ".tarvik.tmp").c_str()), 0);
  struct stat before;
  ASSERT_EQ(stat(hosts_.c_str(), &before), 0);

  mode_t old_mask = umask(077);
  bool written = rewrite_hosts_block(hosts_);
  umask(old_mask);

  ASSERT_TRUE(written);
  struct stat after;
  ASSERT_EQ(lstat(hosts_.c_str(), &after), 0);
  EXPECT_TRUE(S_ISREG(after.st_mode));
  EXPECT_EQ(after.st_mode & 07777, 0604u);
  EXPECT_EQ(after.st_uid, before.st_uid);
  EXPECT_NE(after.st_ino, before.st_ino);  // renamed into place, not written over
  EXPECT_EQ(read_file(hosts_), "127.0.0.1 localhost\n\n#tarvik-begin\n192.168.1.20\tmeter1\n#tarvik-end\n");
  EXPECT_EQ(read_file(victim), "precious\n");
  EXPECT_EQ(folder_names(), (std::vector<std::string>{"hosts", "hosts.tarvik.tmp", "tmp", "victim"}));
  EXPECT_EQ(folder_names(temp_), std::vector<std::string>{"tarvik.tmp"});
}

// The service's copy keeps the hosts file's group and mode also when the
// service owns the file: a root:adm 0640 file stays so.
TEST_F(HostsFile, NewFileKeepsTheGroupAlsoWhenTheServiceOwnsIt) {
  if (geteuid() != 0) GTEST_SKIP() << "giving a file another group needs root";
  const gid_t other_group = getegid() == 4 ? 5 : 4;  // adm, or tty
  update_name_table("meter1", "192.168.1.20");
  write_file(hosts_, "127.0.0.1 localhost\n");
  ASSERT_EQ(chown(hosts_.c_str(), geteuid(), other_group), 0);
  ASSERT_EQ(chmod(hosts_.c_str(), 0640), 0);
  ASSERT_TRUE(rewrite_hosts_block(hosts_));
  struct stat after;
  ASSERT_EQ(stat(hosts_.c_str(), &after), 0);
  EXPECT_EQ(after.st_uid, geteuid());
  EXPECT_EQ(after.st_gid, other_group);
  EXPECT_EQ(after.st_mode & 07777, 0640u);
}

// --- Other programs writing the file ------------------------------------------

// What another program does to the hosts file at the very moment the
// service's new file takes its place (through the test hook).
struct OtherSave {
  const char* what;
  void (*save)(const std::string& path, int n);
  bool changes;  // the lines outside the block change
};

void save_like_an_editor(const std::string& path, int n) {
  write_file(path + ".editor~", read_file(path) + "10.9.9." + std::to_string(n) + " edit" + std::to_string(n) + "\n");
  ASSERT_EQ(std::rename((path + ".editor~").c_str(), path.c_str()), 0);
}

void save_in_place(const std::string& path, int n) {
  std::ofstream(path, std::ios::binary | std::ios::app) << "10.9.9." << n << " edit" << n << "\n";
}

void save_same_bytes(const std::string& path, int) {
  write_file(path + ".editor~", read_file(path));
  ASSERT_EQ(std::rename((path + ".editor~").c_str(), path.c_str()), 0);
}

// How often the hook saves, and how often it was called.
int g_saves_left = 0;
int g_hook_calls = 0;
void (*g_save)(const std::string& path, int n) = nullptr;

void other_program_saves(const std::string& path) {
  ++g_hook_calls;
  if (g_saves_left > 0) {
    --g_saves_left;
    g_save(path, g_hook_calls);
  }
}

class OtherWriters : public HostsFile {
 protected:
  void TearDown() override {
    set_hosts_replace_hook(nullptr);
    HostsFile::TearDown();
  }
  void other_program(void (*save)(const std::string& path, int n), int saves) {
    g_save = save;
    g_saves_left = saves;
    g_hook_calls = 0;
    set_hosts_replace_hook(other_program_saves);
  }
};

// A save that lands between the service's last check and its replacement
// is not lost: the file the service displaced goes back and the block is
// composed again from it (also when it holds the same bytes: it goes back
// unexamined, so that no reader meets the old version for longer).
TEST_F(OtherWriters, SaveAtTheMomentOfTheReplacementIsKept) {
  const OtherSave saves[] = {
      {"an editor renames its copy over the file", save_like_an_editor, true},
      {"a program writes into the file in place", save_in_place, true},
      {"a program rewrites the same bytes", save_same_bytes, false},
  };
  const std::string block = "#tarvik-begin\n192.168.1.20\tmeter1\n#tarvik-end\n";
  for (const OtherSave& save : saves) {
    SCOPED_TRACE(save.what);
    clear_name_table();
    update_name_table("meter1", "192.168.1.20");
    write_file(hosts_, "127.0.0.1 localhost\n");
    other_program(save.save, 1);
    EXPECT_TRUE(rewrite_hosts_block(hosts_));
    EXPECT_FALSE(g_hosts_dirty);
    std::string expected = "127.0.0.1 localhost\n" + std::string(save.changes ? "10.9.9.1 edit1\n" : "") + "\n" + block;
    EXPECT_EQ(read_file(hosts_), expected);
    EXPECT_EQ(g_hook_calls, 2);
    EXPECT_EQ(folder_names(), (std::vector<std::string>{"hosts", "tmp"}));
  }
  EXPECT_TRUE(log_messages().empty());
}

// A file changed at every attempt is left as the other program made it,
// and the table stays unsaved for the next retry.
TEST_F(OtherWriters, FileChangedAtEveryAttemptIsLeftAsTheOtherProgramMadeIt) {
  update_name_table("meter1", "192.168.1.20");
  write_file(hosts_, "127.0.0.1 localhost\n");
  other_program(save_like_an_editor, 100);
  EXPECT_FALSE(rewrite_hosts_block(hosts_));
  EXPECT_TRUE(g_hosts_dirty);
  EXPECT_EQ(read_file(hosts_), "127.0.0.1 localhost\n10.9.9.1 edit1\n10.9.9.2 edit2\n10.9.9.3 edit3\n");
  EXPECT_EQ(folder_names(), (std::vector<std::string>{"hosts", "log", "tmp"}));
  EXPECT_EQ(log_messages(),
            std::vector<std::string>{hosts_ + ": Changed by another program during every write, tried again later"});
}

// A hosts file that is a mount point (bound in, as in a container) is
// written in place, after reading it once more: a save since the first read
// is kept, the block composed again from it. Run in a child with a mount
// namespace of its own, so the bind mount is the child's alone.
TEST_F(OtherWriters, InPlaceWriteKeepsASaveMadeSinceTheRead) {
  const std::string data = folder_ + "/data";
  write_file(data, "127.0.0.1 localhost\n");
  write_file(hosts_, "");
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount(data.c_str(), hosts_.c_str(), nullptr, MS_BIND, nullptr) != 0) {
      _exit(77);
    }
    update_name_table("meter1", "192.168.1.20");
    other_program(save_in_place, 1);
    _exit(rewrite_hosts_block(hosts_) && g_hook_calls == 2 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no private mount namespace here (needs root)";
  EXPECT_EQ(WEXITSTATUS(status), 0) << read_file(folder_ + "/log");
  EXPECT_EQ(read_file(data),
            "127.0.0.1 localhost\n10.9.9.1 edit1\n\n#tarvik-begin\n192.168.1.20\tmeter1\n#tarvik-end\n");
  EXPECT_EQ(read_file(hosts_), "");  // outside the child, nothing is bound there
  EXPECT_EQ(folder_names(), (std::vector<std::string>{"data", "hosts", "tmp"}));
}

// At stop there is no later: the write is tried again while the other
// program keeps at it (here for seven attempts, more than one write makes),
// and what could not be saved is counted.
TEST_F(OtherWriters, StopTriesAgainAndSaysWhatCouldNotBeSaved) {
  write_file(hosts_, "127.0.0.1 localhost\n#tarvik-begin\n10.0.0.1\told\n#tarvik-end\n");
  load_hosts_block(hosts_);
  ASSERT_FALSE(g_hosts_dirty);
  update_name_table("meter1", "192.168.1.20");
  update_name_table("meter2", "192.168.1.21");
  update_name_table("old", "10.0.0.2");
  Counters before = g_counters;
  other_program(save_like_an_editor, 7);
  EXPECT_TRUE(save_hosts_block_at_stop(hosts_));
  EXPECT_EQ(g_hook_calls, 8);
  std::string edits;
  for (int n = 1; n <= 7; ++n) edits += "10.9.9." + std::to_string(n) + " edit" + std::to_string(n) + "\n";
  EXPECT_EQ(read_file(hosts_), "127.0.0.1 localhost\n#tarvik-begin\n192.168.1.20\tmeter1\n192.168.1.21\tmeter2\n"
                               "10.0.0.2\told\n#tarvik-end\n" + edits);
  EXPECT_FALSE(g_hosts_dirty);
  EXPECT_EQ(g_counters.hosts_writes, before.hosts_writes + 1);
  EXPECT_TRUE(log_messages().empty());

  // Unsaved again, and the file cannot be written at all: the three changes
  // since the write are named in one line (the renewal that changed nothing
  // is none).
  set_hosts_replace_hook(nullptr);
  update_name_table("meter3", "192.168.1.22");
  update_name_table("meter1", "192.168.1.20");
  update_name_table("meter2", "192.168.1.30");
  update_name_table("old", "10.0.0.3");
  ASSERT_EQ(std::remove(hosts_.c_str()), 0);
  ASSERT_EQ(mkdir(hosts_.c_str(), 0700), 0);
  EXPECT_FALSE(save_hosts_block_at_stop(hosts_));
  EXPECT_EQ(g_counters.hosts_write_failures, before.hosts_write_failures + 1);
  EXPECT_EQ(log_messages(), (std::vector<std::string>{hosts_ + ": Can not read: " + std::strerror(EISDIR),
                                                      "3 acknowledged changes not saved at stop"}));
}

// Only what the rewrite itself names its copies is removed, and only in the
// hosts file's folder.
TEST_F(HostsFile, StaleCopiesAreRemovedAtStart) {
  const char* const stale[] = {"hosts.tarvik-0123abcd.tmp", "hosts.tarvik-ffffffff.tmp"};
  const char* const kept[] = {
      "hosts",
      "hosts.tarvik-0123ABCD.tmp",   // upper case: never written so
      "hosts.tarvik-0123abc.tmp",    // seven digits
      "hosts.tarvik-0123abcde.tmp",  // nine
      "hosts.tarvik-0123abcd.tmpx",
      "hosts.tarvik.tmp",            // a name someone else may have made
      "other.tarvik-0123abcd.tmp",   // the copy of another file
      "tmp",
  };
  for (const char* name : stale) write_file(folder_ + "/" + name, "x");
  for (const char* name : kept) {
    if (std::string(name) != "tmp") write_file(folder_ + "/" + name, "x");
  }
  write_file(temp_ + "/hosts.tarvik-0123abcd.tmp", "x");  // not the hosts folder

  remove_stale_hosts_copies(hosts_);
  std::vector<std::string> expected(std::begin(kept), std::end(kept));
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(folder_names(), expected);
  EXPECT_EQ(folder_names(temp_), std::vector<std::string>{"hosts.tarvik-0123abcd.tmp"});

  // A relative hosts path means the current folder.
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(temp_.c_str()), 0);
  remove_stale_hosts_copies("hosts");
  EXPECT_TRUE(folder_names(temp_).empty());
  ASSERT_EQ(chdir(cwd), 0);
}

// --- When the loop writes ---------------------------------------------------

TEST(RewriteScheduleTest, QuietWaitDeadlineAndBackOff) {
  struct Step {
    const char* what;
    bool dirty;
    bool quiet;
    std::uint32_t now;
    bool due;
    int result;  // -1: no write; 0: the write fails; 1: it succeeds; 2: the file kept changing
  };
  const WriteOutcome outcomes[] = {WriteOutcome::kFailed, WriteOutcome::kWritten, WriteOutcome::kChanged};
  // Starts just before the tick counter wraps, so every comparison crosses it.
  const std::uint32_t t = 0xFFFFFF00u;
  const Step steps[] = {
      {"clean table", false, true, t, false, -1},
      {"dirty, traffic", true, false, t + 10, false, -1},
      {"still traffic", true, false, t + 1009, false, -1},
      {"1 s of unsaved changes", true, false, t + 1010, true, 0},
      {"after a failure: no quiet write", true, true, t + 2009, false, -1},
      {"1 s later", true, false, t + 2010, true, 0},
      {"then 2 s", true, true, t + 4009, false, -1},
      {"2 s later", true, true, t + 4010, true, 0},
      {"then 4 s", true, true, t + 8010, true, 0},
      {"then 8 s", true, true, t + 16010, true, 1},
      {"written: a new change waits for quiet", true, false, t + 16020, false, -1},
      {"quiet", true, true, t + 16120, true, 1},
      {"nothing to write", false, true, t + 16200, false, -1},
      // A success started the back-off over: the next failure waits 1 s,
      // not the 16 s the earlier run of failures had reached.
      {"changed again, the write fails", true, true, t + 16300, true, 0},
      {"not before 1 s", true, true, t + 17299, false, -1},
      {"1 s after the failure", true, true, t + 17300, true, 1},
      // Another program changing the file is no fault that a longer wait
      // helps: whatever the failures before, the next attempt is 1 s away.
      {"changed again, the write fails", true, true, t + 17400, true, 0},
      {"1 s later it fails again", true, true, t + 18400, true, 0},
      {"2 s later another program keeps changing the file", true, true, t + 20400, true, 2},
      {"not before 1 s", true, true, t + 21399, false, -1},
      {"1 s later, changing still", true, true, t + 21400, true, 2},
      {"1 s later again, a failure", true, true, t + 22400, true, 0},
      {"which waits 2 s", true, true, t + 24399, false, -1},
      {"2 s after it", true, true, t + 24400, true, 1},
  };
  RewriteSchedule schedule;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    EXPECT_EQ(rewrite_due(&schedule, step.dirty, step.quiet, step.now), step.due);
    if (step.result >= 0) note_rewrite_result(&schedule, outcomes[step.result], step.now);
  }

  // The wait doubles up to 60 s and stays there.
  RewriteSchedule failing;
  std::uint32_t now = 0;
  std::vector<std::uint32_t> waits;
  ASSERT_TRUE(rewrite_due(&failing, true, true, now));
  for (int i = 0; i < 9; ++i) {
    note_rewrite_result(&failing, WriteOutcome::kFailed, now);
    std::uint32_t wait = 0;
    while (!rewrite_due(&failing, true, true, now + wait)) wait += 500;
    waits.push_back(wait);
    now += wait;
  }
  EXPECT_EQ(waits, (std::vector<std::uint32_t>{1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000, 60000}));
}

}  // namespace
