// Configuration reader and log, against real files in a scratch folder.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
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
    // The files written below get 0644 whatever umask the tests run with:
    // a main.conf others may write would be refused.
    umask(022);
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
      {"port 65535", 65535, false},   {"port 006000", 6000, false},
      {"port 6000\t ", 6000, false},
      // Anything after the digits, or out of range, is refused whole.
      {"port 6000x", 5000, true},     {"port 5000abc", 5000, true},
      {"port 1e4", 5000, true},       {"port +6000", 5000, true},
      {"port 6000 7000", 5000, true}, {"port 0x1F90", 5000, true},
      {"port 99999999999", 5000, true}, {"port 4294973296", 5000, true},
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
      // The DNS port is read by the same rule.
      reset();
      std::string dns_line = std::string("dns-") + c.line;
      EXPECT_EQ(read(dns_line + "\n"), std::vector<std::string>{error_line(1, dns_line)});
      EXPECT_EQ(g_settings.dns_port, 0) << dns_line;
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

TEST_F(ConfigTest, CrLfLinesAreNumberedAsRead) {
  std::vector<std::string> messages = read("pwd x\r\n\r\nport 0\r\n");
  EXPECT_EQ(messages, std::vector<std::string>{error_line(3, "port 0")});
}

TEST_F(ConfigTest, LinesLongerThanTheBufferAreLineErrorsAndKeepTheDefault) {
  const std::string long_pwd = "pwd " + std::string(1996, 'x');  // 2,000 bytes
  const std::string too_long = ": 'pwd ...' is longer than 1023 bytes";
  struct Case {
    std::string content;
    std::string pwd;                    // afterwards
    std::vector<std::string> messages;  // without the file name
  } cases[] = {
      // The line after it keeps its number and its meaning.
      {long_pwd + "\nport 0\n", "", {":1" + too_long, ":2: 'port 0'"}},
      {"pwd short\n" + long_pwd + "\n", "short", {":2" + too_long}},
      {long_pwd, "", {":1" + too_long}},  // the last line, without its line end
      {"pwd " + std::string(1019, 'y') + "\n", std::string(1019, 'y'), {}},  // 1023: fits
      {"pwd " + std::string(1020, 'y') + "\n", "", {":1" + too_long}},
      {"allow-from 10.0.0.1," + std::string(1100, ' ') + "10.0.0.2\n", "",
       {":1: 'allow-from ...' is longer than 1023 bytes"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content.substr(0, 40));
    reset();
    std::vector<std::string> messages = read(c.content);
    std::vector<std::string> expected;
    for (const std::string& m : c.messages) expected.push_back(folder_ + "/main.conf" + m);
    EXPECT_EQ(messages, expected);
    EXPECT_EQ(g_settings.pwd, c.pwd);
    EXPECT_FALSE(g_settings.allow_from_set);
  }
}

TEST_F(ConfigTest, MainConfThatIsNotARegularFileIsTreatedAsMissing) {
  enter_folder();
  write_file(folder_ + "/main.conf", "port 6001\n");
  const std::string fifo = folder_ + "/fifo.conf";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& odd : {folder_, fifo}) {
    SCOPED_TRACE(odd);
    g_settings = Settings{};
    g_settings.config_path = odd;
    g_settings.log_path = folder_;
    std::remove((folder_ + "/log").c_str());
    EXPECT_TRUE(read_configuration());  // never waits on the FIFO
    EXPECT_EQ(g_settings.port, 6001);   // from ./main.conf
    EXPECT_EQ(log_messages(folder_), std::vector<std::string>{odd + ": not a regular file"});
  }
}

TEST_F(ConfigTest, MainConfOthersCouldWriteIsRefusedWithoutFallback) {
  struct Case {
    mode_t mode;
    bool foreign_owner;
    const char* why;  // null: read
  } cases[] = {
      {0644, false, nullptr},
      {0600, false, nullptr},
      {0664, false, "writable by group or others"},
      {0646, false, "writable by group or others"},
      {0666, false, "writable by group or others"},
      {0644, true, "owned by another user"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::oct << c.mode << (c.foreign_owner ? " foreign" : ""));
    if (c.foreign_owner && geteuid() != 0) continue;  // only root can give a file away
    reset();
    enter_folder();
    // A good ./main.conf as well: a refused file must not fall back to it.
    write_file(folder_ + "/main.conf", "port 6002\n");
    const std::string conf = folder_ + "/data.conf";
    write_file(conf, "port 6001\n");
    ASSERT_EQ(chmod(conf.c_str(), c.mode), 0);
    if (c.foreign_owner) {
      ASSERT_EQ(chown(conf.c_str(), 65534, 65534), 0);
    }
    g_settings.config_path = conf;
    EXPECT_EQ(read_configuration(), c.why == nullptr);
    if (c.why == nullptr) {
      EXPECT_EQ(g_settings.port, 6001);
      EXPECT_TRUE(log_messages(folder_).empty());
    } else {
      EXPECT_EQ(g_settings.port, 5000);
      EXPECT_EQ(log_messages(folder_), std::vector<std::string>{conf + ": refused, it is " + c.why});
    }
    EXPECT_EQ(chdir(old_cwd_.c_str()), 0);
    old_cwd_.clear();
  }
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

TEST(AddressInPrefixesTest, HoldsExactlyTheAddressesOfItsRanges) {
  auto prefix = [](const char* network, const char* mask) {
    return Ipv4Prefix{parse_ipv4(network), parse_ipv4(mask)};
  };
  // As the relay check builds it: loopback, then the interfaces' subnets.
  const std::vector<Ipv4Prefix> subnets = {prefix("127.0.0.0", "255.0.0.0"),
                                           prefix("192.168.1.0", "255.255.255.0"),
                                           prefix("10.5.0.8", "255.255.255.252"),
                                           prefix("172.16.0.9", "255.255.255.255")};
  struct Case {
    const char* address;
    bool inside;
  } cases[] = {
      {"127.0.0.1", true},     {"127.255.255.255", true}, {"128.0.0.1", false},
      {"192.168.1.0", true},   {"192.168.1.255", true},   {"192.168.0.255", false},
      {"192.168.2.0", false},  {"10.5.0.8", true},        {"10.5.0.11", true},
      {"10.5.0.7", false},     {"10.5.0.12", false},      {"172.16.0.9", true},
      {"172.16.0.8", false},   {"172.16.0.10", false},    {"1.168.192.0", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address);
    EXPECT_EQ(address_in_prefixes(parse_ipv4(c.address), subnets), c.inside);
  }
  EXPECT_FALSE(address_in_prefixes(parse_ipv4("127.0.0.1"), {}));
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

TEST_F(LogTest, PlantedLogIsNeverWrittenAndTheReasonIsGivenOnce) {
  std::string live, outside;  // in each case's fresh folder
  struct Case {
    const char* what;
    std::function<void()> plant;
    const char* why;
  } cases[] = {
      {"link to a file", [&] { write_file(outside, "kept\n"); ASSERT_EQ(symlink(outside.c_str(), live.c_str()), 0); },
       "a symbolic link"},
      {"dangling link", [&] { ASSERT_EQ(symlink(outside.c_str(), live.c_str()), 0); }, "a symbolic link"},
      {"fifo", [&] { ASSERT_EQ(mkfifo(live.c_str(), 0600), 0); }, "not a regular file"},
      {"folder", [&] { ASSERT_EQ(mkdir(live.c_str(), 0700), 0); }, "not a regular file"},
      {"another user's file",
       [&] {
         write_file(live, "");
         if (geteuid() == 0) {
           ASSERT_EQ(chown(live.c_str(), 65534, 65534), 0);
         }
       },
       "owned by another user"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    reset();
    live = folder_ + "/log";
    outside = folder_ + "/outside";
    c.plant();
    if (std::string(c.what) == "another user's file" && geteuid() != 0) continue;  // cannot give it away
    testing::internal::CaptureStderr();
    log(1, "%s", "first record");
    log(1, "%s", "second record");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(" first record\n"), std::string::npos);
    EXPECT_NE(err.find(" second record\n"), std::string::npos);
    const std::string reason =
        live + ": not used for the log, it is " + c.why + "; records go to standard error only\n";
    EXPECT_NE(err.find(reason), std::string::npos) << err;
    EXPECT_EQ(err.find(reason), err.rfind(reason)) << "said more than once";
    // Nothing was written through it, nor created beside it.
    struct stat st;
    if (stat(outside.c_str(), &st) == 0) {
      EXPECT_EQ(read_file(outside), "kept\n");
    }
    if (lstat(live.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      EXPECT_EQ(st.st_size, 0);
    }
    EXPECT_NE(lstat((live + ".1").c_str(), &st), 0);
  }
}

TEST_F(LogTest, FailedRotationKeepsBothGenerationsAndIsToldOnce) {
  std::string live = folder_ + "/log", previous = live + ".1";
  // log.1 as a folder: the rename over it fails, as it does on
  // Windows while a viewer holds the log open.
  ASSERT_EQ(mkdir(previous.c_str(), 0700), 0);
  write_file(previous + "/old", "old generation");
  write_file(live, std::string(1000001, 'b'));
  log(1, "%s", "first");
  log(1, "%s", "second");
  EXPECT_EQ(read_file(previous + "/old"), "old generation");
  std::string text = read_file(live);
  ASSERT_GT(text.size(), 1000001u);
  EXPECT_EQ(text.substr(0, 1000001), std::string(1000001, 'b'));
  std::vector<std::string> messages = log_messages(folder_);
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[0].substr(messages[0].size() - 6), " first");
  EXPECT_EQ(messages[1], live + ": cannot be renamed to log.1: Is a directory");
  EXPECT_EQ(messages[2], "second");
}

}  // namespace
