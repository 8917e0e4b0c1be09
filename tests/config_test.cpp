// Configuration reader and log, against real files in a scratch folder.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "config.h"
#include "platform.h"
#include "test_files.h"

namespace {

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tarvik-config-XXXXXX";
    folder_ = mkdtemp(pattern);
    g_settings = Settings{};
    g_settings.config_path = folder_ + "/main.conf";
    g_settings.log_path = folder_;
  }
  void TearDown() override {
    if (!old_cwd_.empty()) {
      EXPECT_EQ(chdir(old_cwd_.c_str()), 0);
      old_cwd_.clear();
    }
    std::string command = "rm -rf " + folder_;
    EXPECT_EQ(std::system(command.c_str()), 0);
    g_settings = Settings{};
  }
  // A fresh folder and fresh settings, for tables of cases.
  void reset() {
    TearDown();
    SetUp();
  }
  // Writes main.conf, reads it, returns what was logged.
  std::vector<std::string> read(const std::string& content) {
    write_file(folder_ + "/main.conf", content);
    EXPECT_TRUE(read_configuration());
    return log_messages(folder_);
  }
  std::string error_line(int line, const std::string& text) {
    return folder_ + "/main.conf:" + std::to_string(line) + ": '" + text + "'";
  }
  void enter_folder() {
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    old_cwd_ = cwd;
    ASSERT_EQ(chdir(folder_.c_str()), 0);
  }

  std::string folder_;
  std::string old_cwd_;
};

TEST_F(ConfigTest, PortValues) {
  struct Case {
    const char* line;
    int port;       // value afterwards (5000: unchanged)
    bool refused;   // a line error is logged
  } cases[] = {
      {"port 6000", 6000, false},     {"port 0", 5000, true},
      {"port 65536", 5000, true},     {"port -1", 5000, true},
      {"port abc", 5000, true},       {"port", 5000, true},
      {"port 6000x", 6000, false},    {"port +6000", 6000, false},
      {"port 6000 7000", 6000, false}, {"port 65535", 65535, false},
      {"port 99999999999", 5000, true},
      // Not the key "port": skipped without a message.
      {"port=6000", 5000, false},     {"Port 6000", 5000, false},
      {"#port 6000", 5000, false},
  };
  for (const Case& c : cases) {
    reset();
    std::vector<std::string> messages = read(std::string(c.line) + "\n");
    EXPECT_EQ(g_settings.port, c.port) << c.line;
    if (c.refused) {
      EXPECT_EQ(messages, std::vector<std::string>{error_line(1, c.line)}) << c.line;
    } else {
      EXPECT_TRUE(messages.empty()) << c.line;
    }
  }
}

TEST_F(ConfigTest, StringValuesTakeTheTrimmedRestOfLine) {
  read("pwd   sec ret  \t\n"
       "hosts-file /etc/my hosts/file\n"
       "log-path " + folder_ + "\n"
       "verbose no\n");
  EXPECT_EQ(g_settings.pwd, "sec ret");
  EXPECT_EQ(g_settings.hosts_file, "/etc/my hosts/file");
  EXPECT_TRUE(g_settings.verbose);

  reset();
  read("pwd\nhosts-file\n");
  EXPECT_EQ(g_settings.pwd, "");
  EXPECT_EQ(g_settings.hosts_file, "");
}

TEST_F(ConfigTest, RepeatedKeysApplyInOrder) {
  std::vector<std::string> messages = read(
      "port 6000\nport 0\n"
      "dns-server-ip 10.0.0.1\ndns-server-ip nonsense\n"
      "tarvik-server-ip 10.0.0.2\n");
  EXPECT_EQ(g_settings.port, 6000);  // the refused value keeps the earlier one
  EXPECT_EQ(g_settings.dns_server_ip, kAddressNone);  // a refused address unsets it
  EXPECT_EQ(g_settings.tarvik_server_ip, parse_ipv4("10.0.0.2"));
  EXPECT_EQ(messages, (std::vector<std::string>{error_line(2, "port 0"),
                                                error_line(4, "dns-server-ip nonsense")}));
}

TEST_F(ConfigTest, BroadcastAddressCannotBeConfigured) {
  std::vector<std::string> messages =
      read("tarvik-server-ip 10.0.0.2\ndns-server-ip 255.255.255.255\n");
  EXPECT_EQ(g_settings.dns_server_ip, kAddressNone);
  EXPECT_EQ(messages, std::vector<std::string>{error_line(2, "dns-server-ip 255.255.255.255")});
}

TEST_F(ConfigTest, CrossChecks) {
  std::vector<std::string> messages = read("dns-port 5000\ndns-server-ip 10.0.0.1\n");
  EXPECT_EQ(g_settings.dns_port, 0);
  EXPECT_EQ(g_settings.dns_server_ip, kAddressNone);
  EXPECT_EQ(messages, (std::vector<std::string>{
                          "dns-port and port have the same value", "DNS server will be disabled",
                          "DNS server disabled because requires tarvik-server-ip"}));

  reset();
  messages = read("dns-port 5353\ndns-server-ip 10.0.0.1\ntarvik-server-ip 10.0.0.2\n");
  EXPECT_EQ(g_settings.dns_port, 5353);
  EXPECT_EQ(g_settings.dns_server_ip, parse_ipv4("10.0.0.1"));
  EXPECT_TRUE(messages.empty());
}

TEST_F(ConfigTest, CrLfLinesAndLongLinesAreNumberedAsRead) {
  std::vector<std::string> messages = read("pwd x\r\n\r\nport 0\r\n");
  EXPECT_EQ(messages, std::vector<std::string>{error_line(3, "port 0")});

  // 1500 bytes: read as a piece of 1023 bytes and one of 477, so the
  // physical line after it counts as line 3.
  reset();
  messages = read("pwd " + std::string(1496, 'x') + "\nport 0\n");
  EXPECT_EQ(g_settings.pwd, std::string(1019, 'x'));
  EXPECT_EQ(messages, std::vector<std::string>{error_line(3, "port 0")});
}

TEST_F(ConfigTest, FallsBackToCurrentFolderAndMovesTheLog) {
  enter_folder();
  g_settings.config_path = folder_ + "/missing/main.conf";
  write_file(folder_ + "/main.conf", "port 0\n");
  EXPECT_TRUE(read_configuration());
  EXPECT_EQ(g_settings.log_path, ".");
  EXPECT_EQ(log_messages(folder_),
            (std::vector<std::string>{folder_ + "/missing/main.conf: No such file or directory",
                                      "./main.conf:1: 'port 0'"}));
}

TEST_F(ConfigTest, NoFileAnywhereFails) {
  enter_folder();
  g_settings.config_path = folder_ + "/missing/main.conf";
  EXPECT_FALSE(read_configuration());
  EXPECT_EQ(log_messages(folder_),
            (std::vector<std::string>{folder_ + "/missing/main.conf: No such file or directory",
                                      "./main.conf: No such file or directory"}));
}

class LogTest : public ConfigTest {};

TEST_F(LogTest, RecordFormatAndDataWithPercentSigns) {
  log(4, "%s", "100% sure");
  std::string text = read_file(folder_ + "/log");
  ASSERT_EQ(text.size(), 24u + 9u + 2u);
  // "YYYY-MM-DD hh:mm:ss.mmm " with a four-digit year.
  for (int i : {0, 1, 2, 3, 5, 6, 8, 9, 11, 12, 14, 15, 17, 18, 20, 21, 22}) {
    EXPECT_TRUE(text[i] >= '0' && text[i] <= '9') << i;
  }
  EXPECT_EQ(text.substr(4, 1) + text.substr(7, 1) + text.substr(10, 1) + text.substr(13, 1) +
                text.substr(16, 1) + text.substr(19, 1) + text.substr(23, 1),
            "-- ::. ");
  EXPECT_EQ(text.substr(24), "100% sure\r\n");
}

TEST_F(LogTest, RotatesOnlyPastOneMillionBytes) {
  std::string live = folder_ + "/log", previous = live + ".1";
  write_file(previous, "old generation");
  write_file(live, std::string(1000000, 'a'));
  log(1, "at the limit");
  EXPECT_EQ(file_size(live), 1000000 + 24 + 12 + 2);
  EXPECT_EQ(read_file(previous), "old generation");

  write_file(live, std::string(1000001, 'b'));
  log(1, "past the limit");
  EXPECT_EQ(file_size(previous), 1000001);
  EXPECT_EQ(log_messages(folder_), std::vector<std::string>{"past the limit"});
}

TEST_F(LogTest, MissingFolderStillReachesTheConsole) {
  g_settings.log_path = folder_ + "/nowhere";
  testing::internal::CaptureStderr();
  log(1, "%s", "lost record");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find(" lost record\n"), std::string::npos);
  EXPECT_NE(err.find(folder_ + "/nowhere/log: No such file or directory\n"), std::string::npos);
}

}  // namespace
