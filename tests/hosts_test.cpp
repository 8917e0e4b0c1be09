#include "hosts.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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
#include "test_files.h"

namespace {

using Content = std::vector<std::pair<std::string, std::string>>;

Content table_content() {
  Content out;
  for (const NameEntry& e : name_table()) out.emplace_back(e.name, format_ipv4(e.address));
  return out;
}

bool exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
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
  };
  const std::string two_entries =
      "#tarvik-begin\n192.168.1.20\tmeter1\n10.0.0.7   meter2 more words\n#tarvik-end\n";
  const Case cases[] = {
      {"block in the middle",
       "127.0.0.1 localhost\n" + two_entries + "10.9.9.9 after\n",
       {{"meter1", "192.168.1.20"}, {"meter2", "10.0.0.7"}}},
      {"CR LF lines", "127.0.0.1 localhost\r\n#tarvik-begin\r\n192.168.1.20\tmeter1\r\n10.0.0.7 meter2\r\n#tarvik-end\r\n",
       {{"meter1", "192.168.1.20"}, {"meter2", "10.0.0.7"}}},
      {"no block", "127.0.0.1 localhost\n10.0.0.7 meter2\n", {}},
      {"empty file", "", {}},
      {"indented begin marker", " #tarvik-begin\n10.0.0.7 meter2\n#tarvik-end\n", {}},
      {"upper-case begin marker", "#TARVIK-BEGIN\n10.0.0.7 meter2\n#tarvik-end\n", {}},
      {"markers with trailing text", "#tarvik-begin here\n10.0.0.7 meter2\n#tarvik-endless\n10.0.0.8 x\n",
       {{"meter2", "10.0.0.7"}}},
      {"no end marker", "#tarvik-begin\n10.0.0.7 meter2\n\n10.0.0.8 meter3", {{"meter2", "10.0.0.7"}, {"", "255.255.255.255"}, {"meter3", "10.0.0.8"}}},
      {"indented end marker is an entry line", "#tarvik-begin\n10.0.0.7 meter2\n #tarvik-end\n",
       {{"meter2", "10.0.0.7"}, {"", "255.255.255.255"}}},
      {"comment lines: the later one wins", "#tarvik-begin\n# first words\n# second words\n#tarvik-end\n",
       {{"second", "255.255.255.255"}}},
      {"address only, leading white space", "#tarvik-begin\n  \t10.0.0.7\n#tarvik-end\n", {{"", "10.0.0.7"}}},
      {"same name twice", "#tarvik-begin\n10.0.0.7 m\n10.0.0.8 m\n#tarvik-end\n", {{"m", "10.0.0.8"}}},
      {"same address twice", "#tarvik-begin\n10.0.0.7 a\n10.0.0.7 b\n#tarvik-end\n", {{"b", "10.0.0.7"}}},
      {"second block is never read", two_entries + "#tarvik-begin\n10.0.0.9 other\n#tarvik-end\n",
       {{"meter1", "192.168.1.20"}, {"meter2", "10.0.0.7"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    clear_name_table();
    g_hosts_dirty = false;
    write_file(hosts_, c.file);
    load_hosts_block(hosts_);
    EXPECT_EQ(table_content(), c.expected);
    EXPECT_EQ(g_hosts_dirty, !c.expected.empty());
  }
  EXPECT_TRUE(log_messages().empty());
}

TEST_F(HostsFile, BlankLineInsideTheBlockIsAnEntryWithEmptyAddressText) {
  write_file(hosts_, "#tarvik-begin\n\n#tarvik-end\n");
  load_hosts_block(hosts_);
  ASSERT_EQ(name_table().size(), 1u);
  EXPECT_EQ(name_table().front().name, "");
  EXPECT_EQ(name_table().front().address, parse_ipv4(""));
  EXPECT_TRUE(g_hosts_dirty);
}

TEST_F(HostsFile, LoadOfMissingFileLogsAndLoadsNothing) {
  load_hosts_block(hosts_);
  EXPECT_TRUE(name_table().empty());
  EXPECT_FALSE(g_hosts_dirty);
  EXPECT_EQ(log_messages(), std::vector<std::string>{hosts_ + ": No such file or directory"});
}

// --- Rewriting --------------------------------------------------------------

TEST_F(HostsFile, RewriteKeepsLinesOutsideTheBlock) {
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
      {"no end marker: the rest is dropped", "a\n#tarvik-begin\n10.0.0.1\told\nb\n", meter1, "a\n" + block},
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
    rewrite_hosts_block(hosts_);
    EXPECT_FALSE(g_hosts_dirty);
    EXPECT_EQ(read_file(hosts_), c.expected);
    // Written again with the same table, the file stays the same.
    rewrite_hosts_block(hosts_);
    EXPECT_EQ(read_file(hosts_), c.expected);
    EXPECT_FALSE(exists(temp_ + "/tarvik.tmp"));
  }
  EXPECT_TRUE(log_messages().empty());
}

TEST_F(HostsFile, RewriteThenLoadGivesTheTableBack) {
  update_name_table("meter1", "192.168.1.20");
  update_name_table("meter2", "10.0.0.7");
  update_name_table("", "10.0.0.8");
  update_name_table("caf\xC3\xA9", "10.0.0.9");
  Content before = table_content();
  write_file(hosts_, "127.0.0.1 localhost\n");
  rewrite_hosts_block(hosts_);

  clear_name_table();
  g_hosts_dirty = false;
  load_hosts_block(hosts_);
  EXPECT_EQ(table_content(), before);
}

TEST_F(HostsFile, MissingHostsFileIsCreatedWithTheBlockAlone) {
  update_name_table("meter1", "192.168.1.20");
  rewrite_hosts_block(hosts_);
  EXPECT_EQ(read_file(hosts_), "#tarvik-begin\n192.168.1.20\tmeter1\n#tarvik-end\n");
  EXPECT_EQ(log_messages(), std::vector<std::string>{hosts_ + ": No such file or directory"});
}

TEST_F(HostsFile, UnreadableHostsFileIsLeftAlone) {
  update_name_table("meter1", "192.168.1.20");

  // A directory at the hosts path opens but cannot be read (EISDIR).
  ASSERT_EQ(mkdir(hosts_.c_str(), 0700), 0);
  write_file(hosts_ + "/inside", "keep");
  rewrite_hosts_block(hosts_);
  EXPECT_FALSE(g_hosts_dirty);
  EXPECT_EQ(read_file(hosts_ + "/inside"), "keep");
  EXPECT_FALSE(exists(temp_ + "/tarvik.tmp"));
  std::vector<std::string> log = log_messages();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0], hosts_ + ": Can not read: " + std::strerror(EISDIR));

  // A path through a plain file cannot even be opened (ENOTDIR): no old
  // file is assumed, nothing is written.
  std::string plain = folder_ + "/plain";
  write_file(plain, "127.0.0.1 localhost\n");
  std::string through = plain + "/hosts";
  std::remove((folder_ + "/log").c_str());
  rewrite_hosts_block(through);
  EXPECT_EQ(read_file(plain), "127.0.0.1 localhost\n");
  EXPECT_FALSE(exists(temp_ + "/tarvik.tmp"));
  EXPECT_EQ(log_messages(), std::vector<std::string>{through + ": Can not read: " + std::strerror(ENOTDIR)});
}

TEST_F(HostsFile, CopyThatCannotBeCreatedLeavesTheHostsFile) {
  update_name_table("meter1", "192.168.1.20");
  write_file(hosts_, "127.0.0.1 localhost\n");
  std::string gone = folder_ + "/no-such-folder";
  setenv("TMPDIR", gone.c_str(), 1);
  rewrite_hosts_block(hosts_);
  EXPECT_FALSE(g_hosts_dirty);
  EXPECT_EQ(read_file(hosts_), "127.0.0.1 localhost\n");
  EXPECT_EQ(log_messages(), std::vector<std::string>{gone + "/tarvik.tmp: Can not modify/create"});
}

TEST_F(HostsFile, MoveFailureIsLoggedAndTheCopyStays) {
  update_name_table("meter1", "192.168.1.20");
  // A hosts path in a folder that does not exist: no old file (ENOENT), and
  // the move fails for the same reason.
  std::string hosts = folder_ + "/missing-folder/hosts";
  rewrite_hosts_block(hosts);
  EXPECT_EQ(log_messages(), (std::vector<std::string>{hosts + ": No such file or directory",
                                                      hosts + ": Update error " + std::to_string(ENOENT)}));
  EXPECT_EQ(read_file(temp_ + "/tarvik.tmp"), "#tarvik-begin\n192.168.1.20\tmeter1\n#tarvik-end\n");
}

TEST_F(HostsFile, CopyFromAnotherVolumeGoesThroughAFileBesideTheHostsFile) {
  struct stat here;
  struct stat shm;
  if (stat(folder_.c_str(), &here) != 0 || stat("/dev/shm", &shm) != 0 || here.st_dev == shm.st_dev) {
    GTEST_SKIP() << "no second file system at /dev/shm";
  }
  char dir[] = "/dev/shm/tarvik-hosts-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  setenv("TMPDIR", dir, 1);
  update_name_table("meter1", "192.168.1.20");
  write_file(hosts_, "127.0.0.1 localhost\n");
  rewrite_hosts_block(hosts_);

  EXPECT_EQ(read_file(hosts_), "127.0.0.1 localhost\n\n#tarvik-begin\n192.168.1.20\tmeter1\n#tarvik-end\n");
  EXPECT_FALSE(exists(std::string(dir) + "/tarvik.tmp"));
  EXPECT_FALSE(exists(hosts_ + ".tarvik.tmp"));
  EXPECT_TRUE(log_messages().empty());
  rmdir(dir);
}

}  // namespace
