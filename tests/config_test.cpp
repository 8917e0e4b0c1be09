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

// The log's flood limit counts records across the whole process: every test
// starts as after a quiet second, so that earlier tests' records do not
// count against it.
class ForgetLogBursts : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo&) override { log_forget_bursts(); }
};
[[maybe_unused]] const bool kForgetLogBurstsInstalled = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new ForgetLogBursts);
  return true;
}();

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tarvik-config-XXXXXX";
    folder_ = mkdtemp(pattern);
    g_settings = Settings{};
    g_settings.config_path = folder_ + "/main.conf";
    g_settings.log_path = folder_;
    log_forget_bursts();
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

TEST_F(ConfigTest, MaxNamesTakesOnlyAWholeNumberInRange) {
  EXPECT_EQ(g_settings.max_names, 10000);
  struct Case {
    const char* line;
    int max_names;  // value afterwards (10000: unchanged)
    bool refused;
  } cases[] = {
      {"max-names 100", 100, false},        {"max-names 1", 1, false},
      {"max-names 1000000", 1000000, false}, {"max-names 0", 10000, true},
      {"max-names 1000001", 10000, true},   {"max-names 99999999999", 10000, true},
      {"max-names -5", 10000, true},        {"max-names 10k", 10000, true},
      {"max-names +100", 10000, true},      {"max-names", 10000, true},
  };
  for (const Case& c : cases) {
    reset();
    std::vector<std::string> messages = read(std::string(c.line) + "\n");
    EXPECT_EQ(g_settings.max_names, c.max_names) << c.line;
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

TEST_F(ConfigTest, AllowFromAdmitsOnlyTheListedSenders) {
  const std::uint32_t inside_a = parse_ipv4("10.20.30.40");
  const std::uint32_t inside_b = parse_ipv4("192.168.1.20");
  const std::uint32_t outside = parse_ipv4("192.168.2.20");

  // Absent: everyone is served.
  read("port 6000\n");
  EXPECT_TRUE(sender_allowed(inside_a));
  EXPECT_TRUE(sender_allowed(outside));

  struct Case {
    const char* text;
    bool a, b;  // inside_a, inside_b admitted (outside never)
  } cases[] = {
      {"allow-from 10.0.0.0/8, 192.168.1.20\n", true, true},
      {"allow-from 10.0.0.0/8,192.168.1.20/32\t\r\n", true, true},
      {"allow-from 192.168.1.20\nallow-from 10.1.2.3/8\n", true, true},  // later lines add
      {"allow-from 10.20.30.40\n", true, false},
      {"allow-from 192.168.1.16/30\n", false, false},
      {"allow-from 192.168.1.16/29\n", false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    reset();
    EXPECT_TRUE(read(c.text).empty());
    EXPECT_EQ(sender_allowed(inside_a), c.a);
    EXPECT_EQ(sender_allowed(inside_b), c.b);
    EXPECT_FALSE(sender_allowed(outside));
  }

  reset();
  read("allow-from 0.0.0.0/0\n");
  EXPECT_TRUE(sender_allowed(outside));
  EXPECT_TRUE(sender_allowed(parse_ipv4("255.255.255.254")));
}

TEST_F(ConfigTest, AllowFromValuesThatDoNotParseAreLineErrorsAndAdmitNobody) {
  const char* refused[] = {
      "allow-from",          "allow-from , ,",        "allow-from 10.1",
      "allow-from 10.0.0.256", "allow-from 10.0.0.0/33", "allow-from 10.0.0.0/",
      "allow-from 10.0.0.1 bogus", "allow-from 0x0a.0.0.1", "allow-from 10.0.0.1.5",
      "allow-from +10.0.0.1", "allow-from 10.0.0.1/+8", "allow-from 0010.0.0.1",
      "allow-from 10.0.0.1/008", "allow-from 10..0.1", "allow-from 10.0.0.0/8;",
  };
  for (const char* line : refused) {
    SCOPED_TRACE(line);
    reset();
    EXPECT_EQ(read(std::string(line) + "\n"), std::vector<std::string>{error_line(1, line)});
    // Nothing of the line is admitted, and the setting still shuts the
    // ports: a typing error must not open them to everyone.
    EXPECT_FALSE(sender_allowed(parse_ipv4("10.0.0.1")));
  }

  // A good line before or after still admits its senders.
  reset();
  std::vector<std::string> messages = read("allow-from 10.0.0.1 nonsense\nallow-from 10.0.0.2\n");
  EXPECT_EQ(messages, std::vector<std::string>{error_line(1, "allow-from 10.0.0.1 nonsense")});
  EXPECT_FALSE(sender_allowed(parse_ipv4("10.0.0.1")));
  EXPECT_TRUE(sender_allowed(parse_ipv4("10.0.0.2")));
}

TEST_F(ConfigTest, UpdateKeysTakeOnlyValidValues) {
  struct Case {
    const char* line;
    bool refused;
  } cases[] = {
      {"update-server 192.0.2.1", false},
      {"update-server 192.0.2.1:5353", false},
      {"update-server 192.0.2.1:0", true},
      {"update-server 192.0.2.1:65536", true},
      {"update-server 192.0.2.1:", true},
      {"update-server 192.0.2", true},
      {"update-server 192.0.2.1/24", true},
      {"update-server 192.0.2.1/32", true},
      {"update-server dns.example.lan", true},
      {"update-zone devices.example.lan", false},
      {"update-zone devices.example.lan.", false},
      {"update-zone devices..lan", true},
      {"update-zone", true},
      {"update-key tarvik-key hmac-sha256 c2VjcmV0", false},
      {"update-key tarvik-key. HMAC-SHA512 c2VjcmV0", false},
      {"update-key tarvik-key hmac-md5 c2VjcmV0", true},
      {"update-key tarvik-key hmac-sha256 c2VjcmV0=", true},
      {"update-key tarvik-key hmac-sha256", true},
      {"update-key tarvik-key hmac-sha256 c2VjcmV0 more", true},
      {"update-ttl 300", false},
      {"update-ttl 0", false},
      {"update-ttl 604801", true},
      {"update-ttl -1", true},
      {"update-ttl 30s", true},
  };
  for (const Case& c : cases) {
    reset();
    std::vector<std::string> messages = read(std::string(c.line) + "\n");
    if (c.refused) {
      EXPECT_EQ(messages, std::vector<std::string>{error_line(1, c.line)}) << c.line;
    } else {
      EXPECT_TRUE(messages.empty()) << c.line;
    }
  }

  reset();
  read("update-server 192.0.2.1:5353\nupdate-zone devices.example.lan\n"
       "update-key tarvik-key. hmac-sha512 c2VjcmV0\nupdate-ttl 60\n");
  EXPECT_EQ(g_settings.update_server_ip, parse_ipv4("192.0.2.1"));
  EXPECT_EQ(g_settings.update_server_port, 5353);
  EXPECT_EQ(g_settings.update_zone, "devices.example.lan");
  EXPECT_TRUE(g_settings.update_key_set);
  EXPECT_EQ(g_settings.update_key_name, "tarvik-key");
  EXPECT_EQ(g_settings.update_key_algorithm, HmacAlgorithm::kSha512);
  EXPECT_EQ(g_settings.update_key_secret, "secret");
  EXPECT_EQ(g_settings.update_ttl, 60);
}

class LogTest : public ConfigTest {};

TEST_F(LogTest, FloodOfOneFormatIsHeldBackAndCounted) {
  for (int i = 0; i < 25; ++i) {
    log(1, "Recvfrom error: %d", i);
    if (i == 20) {
      log(1, "%s", "another kind");
      log_always(4, "%s: %s %s", "10.0.0.1", "meter1", "10.0.0.2");
    }
  }
  std::vector<std::string> expected;
  for (int i = 0; i < kLogBurstLimit; ++i) expected.push_back("Recvfrom error: " + std::to_string(i));
  expected.push_back("another kind");
  expected.push_back("10.0.0.1: meter1 10.0.0.2");
  EXPECT_EQ(log_messages(folder_), expected);

  // Nothing is said of the held-back records before their second is over.
  log_release_held_back();
  EXPECT_EQ(log_messages(folder_), expected);

  // Then the count comes first, and the format starts a new second.
  usleep(1000 * 1000 + 50 * 1000);
  log(1, "Recvfrom error: %d", 99);
  expected.push_back("15 similar records suppressed");
  expected.push_back("Recvfrom error: 99");
  EXPECT_EQ(log_messages(folder_), expected);
}

TEST_F(LogTest, CountIsWrittenWhenTheSecondIsOverWithoutANewRecord) {
  for (int i = 0; i < kLogBurstLimit; ++i) log(1, "%s", "just below the limit");
  log(1, "Recvfrom error: %d", 1);
  for (int i = 0; i < kLogBurstLimit + 2; ++i) log(1, "Recvfrom error: %d", 2);
  usleep(1000 * 1000 + 50 * 1000);
  log_release_held_back();
  std::vector<std::string> messages = log_messages(folder_);
  ASSERT_EQ(messages.size(), 2u * kLogBurstLimit + 1);
  // Only the format that went past the limit has a count.
  EXPECT_EQ(messages.back(), "3 similar records suppressed");
}

// At stop nothing may be lost: the count of a second that is not over yet
// is written at once when all are asked for.
TEST_F(LogTest, CountOfTheUnfinishedSecondIsWrittenWhenAllAreReleased) {
  for (int i = 0; i < kLogBurstLimit + 5; ++i) log(1, "Recvfrom error: %d", i);
  log_release_held_back();
  EXPECT_EQ(log_messages(folder_).size(), static_cast<std::size_t>(kLogBurstLimit));
  log_release_held_back(true);
  std::vector<std::string> messages = log_messages(folder_);
  ASSERT_EQ(messages.size(), static_cast<std::size_t>(kLogBurstLimit) + 1);
  EXPECT_EQ(messages.back(), "5 similar records suppressed");
  // The burst is over: the next record of the format is written.
  log(1, "Recvfrom error: %d", 99);
  EXPECT_EQ(log_messages(folder_).back(), "Recvfrom error: 99");
}

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
