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
    // The files written below get 0600 whatever umask the tests run with: a
    // main.conf with a password that others may read is refused.
    umask(077);
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
  // The record of a problem with line `line` of main.conf.
  std::string error_line(int line, const std::string& reason) {
    return folder_ + "/main.conf:" + std::to_string(line) + ": " + reason;
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

// One table for every key that takes a value: what a line leaves and what
// is logged about it. The reason quotes the value, or only the key where
// the value may be a secret.
TEST_F(ConfigTest, EachRefusedValueIsLoggedWithItsReason) {
  struct Case {
    const char* line;
    const char* reason;  // null: taken without a word
    std::function<bool()> holds;  // what the settings hold afterwards
  } cases[] = {
      {"port 6000", nullptr, [] { return g_settings.port == 6000; }},
      {"port 65535", nullptr, [] { return g_settings.port == 65535; }},
      {"port 006000", nullptr, [] { return g_settings.port == 6000; }},
      {"port 6000\t ", nullptr, [] { return g_settings.port == 6000; }},
      // Anything after the digits, or out of range, is refused whole.
      {"port 0", "'0' is not a port number", [] { return g_settings.port == 5000; }},
      {"port 65536", "'65536' is not a port number", [] { return g_settings.port == 5000; }},
      {"port -1", "'-1' is not a port number", [] { return g_settings.port == 5000; }},
      {"port 6000x", "'6000x' is not a port number", [] { return g_settings.port == 5000; }},
      {"port 1e4", "'1e4' is not a port number", [] { return g_settings.port == 5000; }},
      {"port +6000", "'+6000' is not a port number", [] { return g_settings.port == 5000; }},
      {"port 6000 7000", "'6000 7000' is not a port number", [] { return g_settings.port == 5000; }},
      {"port 0x1F90", "'0x1F90' is not a port number", [] { return g_settings.port == 5000; }},
      {"port 4294973296", "'4294973296' is not a port number", [] { return g_settings.port == 5000; }},
      {"port", "port has no value", [] { return g_settings.port == 5000; }},
      {"dns-port 5x3", "'5x3' is not a port number", [] { return g_settings.dns_port == 0; }},
      {"dns-port 5353", nullptr, [] { return g_settings.dns_port == 5353; }},
      // A refused address unsets the key.
      {"tarvik-server-ip 10.0.0.2", nullptr, [] { return g_settings.tarvik_server_ip == parse_ipv4("10.0.0.2"); }},
      {"tarvik-server-ip nonsense", "'nonsense' is not an IPv4 address",
       [] { return g_settings.tarvik_server_ip == kAddressNone; }},
      {"tarvik-server-ip 255.255.255.255", "'255.255.255.255' is not an IPv4 address",
       [] { return g_settings.tarvik_server_ip == kAddressNone; }},
      {"max-names 100", nullptr, [] { return g_settings.max_names == 100; }},
      {"max-names 1", nullptr, [] { return g_settings.max_names == 1; }},
      {"max-names 1000000", nullptr, [] { return g_settings.max_names == 1000000; }},
      {"max-age 24", nullptr, [] { return g_settings.max_age_hours == 24; }},
      {"max-age 87600", nullptr, [] { return g_settings.max_age_hours == 87600; }},
      {"max-age 0", nullptr, [] { return g_settings.max_age_hours == 0; }},
      {"max-age 87601", "'87601' is not a number of hours from 0 (off) to 87600",
       [] { return g_settings.max_age_hours == 0; }},
      {"max-age 24h", "'24h' is not a number of hours from 0 (off) to 87600",
       [] { return g_settings.max_age_hours == 0; }},
      {"max-age -1", "'-1' is not a number of hours from 0 (off) to 87600",
       [] { return g_settings.max_age_hours == 0; }},
      {"max-age", "max-age has no value", [] { return g_settings.max_age_hours == 0; }},
      {"update-server 192.0.2.1:5353", nullptr,
       [] { return g_settings.update_server_ip == parse_ipv4("192.0.2.1") && g_settings.update_server_port == 5353; }},
      {"update-server 192.0.2.1:0", "'192.0.2.1:0' is not an IPv4 address or ADDRESS:PORT",
       [] { return g_settings.update_server_ip == kAddressNone; }},
      {"update-server 192.0.2.1:65536", "'192.0.2.1:65536' is not an IPv4 address or ADDRESS:PORT",
       [] { return g_settings.update_server_ip == kAddressNone; }},
      {"update-server 192.0.2.1:", "'192.0.2.1:' is not an IPv4 address or ADDRESS:PORT",
       [] { return g_settings.update_server_ip == kAddressNone; }},
      {"update-server 192.0.2", "'192.0.2' is not an IPv4 address or ADDRESS:PORT",
       [] { return g_settings.update_server_ip == kAddressNone; }},
      {"update-server 192.0.2.1/32", "'192.0.2.1/32' is not an IPv4 address or ADDRESS:PORT",
       [] { return g_settings.update_server_ip == kAddressNone; }},
      {"update-server dns.example.lan", "'dns.example.lan' is not an IPv4 address or ADDRESS:PORT",
       [] { return g_settings.update_server_ip == kAddressNone; }},
      {"update-zone devices.example.lan.", nullptr, [] { return g_settings.update_zone == "devices.example.lan."; }},
      {"update-zone devices..lan", "'devices..lan' is not a domain name", [] { return true; }},
      {"update-zone", "update-zone has no value", [] { return true; }},
      {"update-ttl 0", nullptr, [] { return g_settings.update_ttl == 0; }},
      {"update-ttl 604801", "'604801' is not a number of seconds from 0 to 604800",
       [] { return g_settings.update_ttl == 32; }},
      {"update-ttl 30s", "'30s' is not a number of seconds from 0 to 604800",
       [] { return g_settings.update_ttl == 32; }},
      {"update-key tarvik-key. HMAC-SHA512 c2VjcmV0", nullptr,
       [] {
         return g_settings.update_key_set && g_settings.update_key_name == "tarvik-key" &&
                g_settings.update_key_algorithm == HmacAlgorithm::kSha512 && g_settings.update_key_secret == "secret";
       }},
      {"verbose no", nullptr, [] { return g_settings.verbose; }},
      // Not a key: a comment says nothing; anything else is a warning.
      {"#port 6000", nullptr, [] { return g_settings.port == 5000; }},
      {"   # port 6000", nullptr, [] { return g_settings.port == 5000; }},
      {"port=6000", "port...: unknown key, did you mean port?", [] { return g_settings.port == 5000; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    reset();
    std::vector<std::string> messages = read(std::string(c.line) + "\n");
    EXPECT_TRUE(c.holds());
    if (c.reason == nullptr) {
      EXPECT_TRUE(messages.empty()) << messages[0];
    } else {
      EXPECT_EQ(messages, std::vector<std::string>{error_line(1, c.reason)});
    }
  }
}

// The reasons of a refused update-key line quote nothing of it: a word out
// of place may be the secret.
TEST_F(ConfigTest, UpdateKeyReasonsQuoteNothingOfTheLine) {
  struct Case {
    const char* line;
    const char* reason;
  } cases[] = {
      {"update-key tarvik-key hmac-md5 c2VjcmV0", "update-key: the algorithm is not hmac-sha256 or hmac-sha512"},
      {"update-key hmac-sha256 c2VjcmV0", "update-key needs NAME ALGORITHM SECRET"},
      {"update-key tarvik-key hmac-sha256 c2VjcmV0=", "update-key: the secret is not base64"},
      {"update-key tarvik-key hmac-sha256 \"c2VjcmV0\";",
       "update-key: the secret is not base64 (leave out the quotes and the ';' of the key file)"},
      {"update-key tarvik-key hmac-sha256 c2VjcmV0 more", "update-key: more than NAME ALGORITHM SECRET on the line"},
      {"update-key a..b hmac-sha256 c2VjcmV0", "update-key: the key name is not a domain name"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    reset();
    EXPECT_EQ(read(std::string(c.line) + "\n"), std::vector<std::string>{error_line(1, c.reason)});
    EXPECT_FALSE(g_settings.update_key_set);
  }
}

TEST_F(ConfigTest, StringValuesTakeTheTrimmedRestOfLine) {
  read("pwd   sec ret  \t\n"
       "hosts-file /etc/my hosts/file\n"
       "log-path " + folder_ + "\n");
  EXPECT_EQ(g_settings.pwd, "sec ret");
  EXPECT_EQ(g_settings.hosts_file, "/etc/my hosts/file");

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
  EXPECT_EQ(messages, (std::vector<std::string>{error_line(2, "'0' is not a port number"),
                                                error_line(4, "'nonsense' is not an IPv4 address")}));
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
  EXPECT_EQ(messages, std::vector<std::string>{error_line(3, "'0' is not a port number")});
}

// An unknown key is a warning, once per key, with the key it was likely
// meant to be; a word that could be a secret is not shown.
TEST_F(ConfigTest, UnknownKeysAreWarnedOfOnceWithTheNearestKey) {
  struct Case {
    const char* word;
    const char* reason;
  } cases[] = {
      {"allow_from", "allow_from: unknown key, did you mean allow-from?"},
      {"Port", "Port: unknown key, did you mean port?"},
      {"verbos", "verbos: unknown key, did you mean verbose?"},
      {"dns-server", "dns-server: unknown key, did you mean dns-server-ip?"},
      {"pw", "pw: unknown key, did you mean pwd?"},
      {"max_names", "max_names: unknown key, did you mean max-names?"},
      {"colour", "colour: unknown key"},
      {"pwd=hunter2", "pwd...: unknown key, did you mean pwd?"},
      {"hunter2", "unknown key (not shown, as it may be a secret)"},
      {"c2VjcmV0IGtleQ==", "unknown key (not shown, as it may be a secret)"},
      {"xq=hunter2", "unknown key (not shown, as it may be a secret)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.word);
    reset();
    std::string word = c.word;
    std::vector<std::string> messages = read(word + " 10.9.9.9\n#\n" + word + " 10.9.9.8\n");
    EXPECT_EQ(messages, std::vector<std::string>{error_line(1, c.reason)});
    EXPECT_FALSE(g_settings.allow_from_set);
  }
}

// No line may end as an open service or with a secret in the log: a line
// too long to read, one whose value does not parse, or a secret where a key
// should be.
TEST_F(ConfigTest, LinesNeverLogTheirSecretNorOpenAllowFrom) {
  const std::string secret = "S3cr3tV4lu3";  // 'hunter' and base64 alike
  const std::string key_secret = "U3VwZXJTZWNyZXRLZXk=";
  const std::string outsider_line = "allow-from 10.0.0.1\n";
  const std::string long_value(kConfigLineLimit, 'x');
  struct Case {
    std::string content;
    bool used;  // the file is used (else the start is refused)
  } cases[] = {
      {"pwd " + secret + "\n" + outsider_line, true},
      {"pwd " + secret + " " + long_value + "\n" + outsider_line, false},
      {"pwd=" + secret + "\n" + outsider_line, true},
      {"pwd:" + secret + "\n" + outsider_line, true},
      {secret + "\n" + outsider_line, true},
      {key_secret + "\n" + outsider_line, true},
      {"update-key k hmac-sha256 " + key_secret + "\n" + outsider_line, true},
      {"update-key k hmac-sha256 \"" + key_secret + "\";\n" + outsider_line, true},
      {"update-key k hmac-md5 " + key_secret + "\n" + outsider_line, true},
      {"update-key hmac-sha256 " + key_secret + "\n" + outsider_line, true},
      {"update-key " + key_secret + " hmac-sha256 k\n" + outsider_line, true},
      {"update-key k hmac-sha256 " + key_secret + " " + secret + "\n" + outsider_line, true},
      {"update-key k hmac-sha256\n" + key_secret + "\n" + outsider_line, true},
      {"update-key k hmac-sha256 " + key_secret + long_value + "\n" + outsider_line, false},
      {"allow-from 10.0.0.1 x\npwd " + secret + "\n", true},
      {"allow-from " + long_value + "\npwd " + secret + "\n", false},
      {"allow-from 10.0.0.1," + long_value + "\n", false},
      {"allow-from\n", true},
      {"allow-from , ;\n", true},
      {"allow-from 10.0.0.1/33\n", true},
      {outsider_line + std::string(kConfigLineLimit + 1, '#') + "\n", false},
      {"max-names 1000010\n" + outsider_line, false},
  };
  const std::uint32_t outsider = parse_ipv4("192.0.2.1");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content.substr(0, 60));
    reset();
    write_file(folder_ + "/main.conf", c.content);
    g_settings.allow_from_set = false;
    EXPECT_EQ(read_configuration(), c.used);
    if (c.used) {
      EXPECT_FALSE(sender_allowed(outsider));
    }
    std::string logged = read_file(folder_ + "/log");
    for (const std::string& s : {secret, key_secret, std::string("U3VwZXJT"), std::string("S3cr3t")}) {
      EXPECT_EQ(logged.find(s), std::string::npos) << logged;
    }
    testing::internal::CaptureStdout();
    check_configuration((folder_ + "/main.conf").c_str());
    std::string checked = testing::internal::GetCapturedStdout();
    EXPECT_EQ(checked.find("S3cr3t"), std::string::npos) << checked;
    EXPECT_EQ(checked.find("U3VwZXJT"), std::string::npos) << checked;
  }
}

TEST_F(ConfigTest, LinesLongerThanTheLimitRefuseTheFile) {
  const std::string limit = std::to_string(kConfigLineLimit);
  // A realistic list of senders fits: 121 addresses, 1,231 bytes (the old
  // limit was 1,023).
  std::string list = "allow-from";
  for (int i = 0; i < 121; ++i) list += " 10.1." + std::to_string(i) + ".1";
  ASSERT_GT(list.size(), 1023u);
  read(list + "\n");
  EXPECT_TRUE(sender_allowed(parse_ipv4("10.1.120.1")));
  EXPECT_FALSE(sender_allowed(parse_ipv4("10.1.121.1")));

  struct Case {
    std::string content;
    std::vector<std::string> messages;  // without the file name; empty: used
  } cases[] = {
      {"pwd " + std::string(kConfigLineLimit - 4, 'y') + "\n", {}},  // the limit: fits
      {"pwd " + std::string(kConfigLineLimit - 3, 'y') + "\nport 0\n",
       {":1: 'pwd ...' is longer than " + limit + " bytes, so the file is not used",
        ":2: '0' is not a port number"}},
      // The last line, without its line end.
      {"port 6000\nallow-from " + std::string(kConfigLineLimit, ' ') + "10.0.0.2",
       {":2: 'allow-from ...' is longer than " + limit + " bytes, so the file is not used"}},
      {std::string(kConfigLineLimit + 1, 'z') + "\n",
       {":1: the line is longer than " + limit + " bytes, so the file is not used"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content.substr(0, 40));
    reset();
    write_file(folder_ + "/main.conf", c.content);
    g_settings.port = 4000;  // as before the read
    EXPECT_EQ(read_configuration(), c.messages.empty());
    std::vector<std::string> expected;
    for (const std::string& m : c.messages) expected.push_back(folder_ + "/main.conf" + m);
    EXPECT_EQ(log_messages(folder_), expected);
    if (!c.messages.empty()) {
      EXPECT_EQ(g_settings.port, 4000);  // nothing of the file taken
    }
  }
}

// The flood limit of the log does not apply, so that the reason a file is
// refused is never held back; a bound keeps a file of junk from rotating
// the history out of the log.
TEST_F(ConfigTest, ManyProblemsAreBoundedButTheReasonOfARefusalIsAlwaysLogged) {
  std::string content;
  for (int i = 0; i < kLoggedConfigProblems + 20; ++i) content += "port 0\n";
  write_file(folder_ + "/main.conf", content + "max-names 0\n");
  EXPECT_FALSE(read_configuration());
  std::vector<std::string> messages = log_messages(folder_);
  ASSERT_EQ(messages.size(), static_cast<std::size_t>(kLoggedConfigProblems) + 2);
  EXPECT_EQ(messages[kLoggedConfigProblems - 1], error_line(kLoggedConfigProblems, "'0' is not a port number"));
  EXPECT_EQ(messages[kLoggedConfigProblems],
            error_line(kLoggedConfigProblems + 21, "'0' is not a number from 1 to 1000000, so the file is not used"));
  EXPECT_EQ(messages.back(), "20 more problems of the configuration not logged; tarvik check lists them");
}

TEST_F(ConfigTest, MaxNamesThatDoesNotParseRefusesTheFile) {
  for (const char* value : {"1000010", "0", "10k", "+100", "-5", "99999999999", ""}) {
    SCOPED_TRACE(value);
    reset();
    write_file(folder_ + "/main.conf", std::string("max-names ") + value + "\nport 6000\n");
    EXPECT_FALSE(read_configuration());
    EXPECT_EQ(g_settings.port, 5000);
    std::string reason = *value == '\0' ? std::string("max-names has no value")
                                        : "'" + std::string(value) + "' is not a number from 1 to 1000000";
    EXPECT_EQ(log_messages(folder_), std::vector<std::string>{error_line(1, reason + ", so the file is not used")});
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

TEST_F(ConfigTest, MainConfOthersCouldWriteOrReadIsRefusedWithoutFallback) {
  const char* kWritable = "refused, it is writable by group or others";
  const char* kReadable = "refused, it holds pwd or update-key and is readable by group or others; to fix: chmod 600 ";
  struct Case {
    mode_t mode;
    const char* content;
    bool foreign_owner;
    const char* why;  // null: read; else after "<path>: ", the path appended when it ends in a blank
  } cases[] = {
      {0600, "port 6001\npwd x\n", false, nullptr},
      {0644, "port 6001\n", false, nullptr},  // nothing secret in it
      {0644, "port 6001\npwd\n", false, nullptr},
      {0644, "port 6001\npwd x\n", false, kReadable},
      {0640, "port 6001\npwd x\n", false, kReadable},
      {0604, "port 6001\npwd x\n", false, kReadable},
      {0644, "port 6001\nupdate-key k hmac-sha256 c2VjcmV0\n", false, kReadable},
      {0644, "port 6001\nupdate-key k hmac-md5 c2VjcmV0\n", false, kReadable},  // refused, still secret
      {0664, "port 6001\n", false, kWritable},
      {0646, "port 6001\n", false, kWritable},
      {0666, "port 6001\npwd x\n", false, kWritable},
      {0600, "port 6001\n", true, "refused, it is owned by another user"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::oct << c.mode << " " << c.content << (c.foreign_owner ? " foreign" : ""));
    if (c.foreign_owner && geteuid() != 0) continue;  // only root can give a file away
    reset();
    enter_folder();
    // A good ./main.conf as well: a refused file must not fall back to it.
    write_file(folder_ + "/main.conf", "port 6002\n");
    const std::string conf = folder_ + "/data.conf";
    write_file(conf, c.content);
    ASSERT_EQ(chmod(conf.c_str(), c.mode), 0);
    if (c.foreign_owner) {
      ASSERT_EQ(chown(conf.c_str(), 65534, 65534), 0);
    }
    g_settings.config_path = conf;
    EXPECT_EQ(read_configuration(), c.why == nullptr);
    if (c.why == nullptr) {
      EXPECT_EQ(g_settings.port, 6001);
    } else {
      EXPECT_EQ(g_settings.port, 5000);
      std::string why = c.why;
      if (why.back() == ' ') why += conf;
      EXPECT_EQ(log_messages(folder_).back(), conf + ": " + why);
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
  EXPECT_EQ(g_settings.config_path, "./main.conf");
  EXPECT_EQ(log_messages(folder_),
            (std::vector<std::string>{folder_ + "/missing/main.conf: No such file or directory",
                                      "./main.conf:1: '0' is not a port number"}));
}

TEST_F(ConfigTest, NoFileAnywhereFails) {
  enter_folder();
  g_settings.config_path = folder_ + "/missing/main.conf";
  EXPECT_FALSE(read_configuration());
  EXPECT_EQ(log_messages(folder_),
            (std::vector<std::string>{folder_ + "/missing/main.conf: No such file or directory",
                                      "./main.conf: No such file or directory"}));
}

// The reload's way in: the settings and the problems, and nothing else
// touched.
TEST_F(ConfigTest, LoadConfigurationTouchesNeitherTheSettingsInUseNorTheLog) {
  const std::string other = folder_ + "/other";
  ASSERT_EQ(mkdir(other.c_str(), 0700), 0);
  const std::string path = other + "/main.conf";
  write_file(path, "port 6001\npwd new\nlog-path " + folder_ + "/elsewhere\nport 0\nallow_from 10.0.0.1\n");
  g_settings.port = 4000;
  g_settings.pwd = "old";

  Settings loaded = default_settings(path);
  EXPECT_EQ(loaded.log_path, other);  // the file's folder, as the start has it
  std::vector<ConfigProblem> problems;
  bool refused = true;
  EXPECT_TRUE(load_configuration(path, &loaded, &problems, &refused));
  EXPECT_FALSE(refused);
  EXPECT_EQ(loaded.port, 6001);
  EXPECT_EQ(loaded.pwd, "new");
  EXPECT_EQ(loaded.config_path, path);
  ASSERT_EQ(problems.size(), 2u);
  EXPECT_EQ(problems[0].level, 1);
  EXPECT_EQ(problems[0].text, path + ":4: '0' is not a port number");
  EXPECT_EQ(problems[1].level, 2);
  EXPECT_EQ(problems[1].text, path + ":5: allow_from: unknown key, did you mean allow-from?");

  // Refused: the settings passed in stay as they were.
  write_file(path, "port 6002\nmax-names 0\n");
  Settings kept = default_settings(path);
  problems.clear();
  EXPECT_FALSE(load_configuration(path, &kept, &problems, &refused));
  EXPECT_TRUE(refused);
  EXPECT_EQ(kept.port, 5000);
  EXPECT_EQ(problems.size(), 1u);

  // Missing: not refused, so the start may look elsewhere.
  problems.clear();
  EXPECT_FALSE(load_configuration(other + "/none.conf", &kept, &problems, &refused));
  EXPECT_FALSE(refused);
  EXPECT_EQ(problems.size(), 1u);

  EXPECT_EQ(g_settings.port, 4000);
  EXPECT_EQ(g_settings.pwd, "old");
  EXPECT_EQ(g_settings.config_path, folder_ + "/main.conf");
  struct stat st;
  EXPECT_NE(stat((folder_ + "/log").c_str(), &st), 0);
  EXPECT_NE(stat((other + "/log").c_str(), &st), 0);
}

// `tarvik check`: what the start would log, then the outcome, and the exit
// code.
TEST_F(ConfigTest, CheckPrintsEveryProblemAndExitsOneUnlessClean) {
  struct Case {
    const char* content;
    std::vector<std::string> printed;  // "@" stands for the path
    int exit_code;
  } cases[] = {
      {"port 5001\npwd s3cret\n# a comment\n\nallow-from 10.0.0.0/8\n", {"@: no problems"}, 0},
      {"dns-port 5x3\n", {"@:1: '5x3' is not a port number", "@: 1 problem"}, 1},
      {"allow_from 10.9.9.9\nverbose\n",
       {"@:1: allow_from: unknown key, did you mean allow-from?", "@: 1 problem"}, 1},
      {"port 0\nmax-age 1y\ndns-port 5000\n",
       {"@:1: '0' is not a port number", "@:2: '1y' is not a number of hours from 0 (off) to 87600",
        "dns-port and port have the same value", "DNS server will be disabled", "@: 4 problems"},
       1},
      {"max-names 1000010\n",
       {"@:1: '1000010' is not a number from 1 to 1000000, so the file is not used",
        "@: the service would not start with this file"},
       1},
  };
  const std::string path = folder_ + "/main.conf";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content);
    write_file(path, c.content);
    testing::internal::CaptureStdout();
    int code = check_configuration(path.c_str());
    std::string out = testing::internal::GetCapturedStdout();
    std::string expected;
    for (std::string line : c.printed) {
      if (line[0] == '@') line = path + line.substr(1);
      expected += line + "\n";
    }
    EXPECT_EQ(out, expected);
    EXPECT_EQ(code, c.exit_code);
  }
  // Ownership and permissions as the start judges them.
  write_file(path, "pwd s3cret\n");
  ASSERT_EQ(chmod(path.c_str(), 0644), 0);
  testing::internal::CaptureStdout();
  EXPECT_EQ(check_configuration(path.c_str()), 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            path + ": refused, it holds pwd or update-key and is readable by group or others; to fix: chmod 600 " +
                path + "\n" + path + ": the service would not start with this file\n");
  // Neither the log nor the settings in use are touched.
  struct stat st;
  EXPECT_NE(stat((folder_ + "/log").c_str(), &st), 0);
  EXPECT_EQ(g_settings.port, 5000);
}

TEST_F(ConfigTest, CheckWithoutAFileFallsBackAsTheStartDoes) {
  enter_folder();
  write_file(folder_ + "/main.conf", "port 5001\n");
  testing::internal::CaptureStdout();
  int code = check_configuration(nullptr);
  std::string out = testing::internal::GetCapturedStdout();
  // The data folder's file is looked for first (there is none on a test
  // machine; should there be one, this case does not apply).
  struct stat st;
  if (stat((data_folder() + "/main.conf").c_str(), &st) == 0) GTEST_SKIP() << "this machine has a main.conf";
  EXPECT_EQ(out, data_folder() + "/main.conf: No such file or directory\n./main.conf: no problems\n");
  EXPECT_EQ(code, 0);
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
  struct Case {
    const char* line;
    const char* shown;  // the range quoted; null: no value at all
  } cases[] = {
      {"allow-from", nullptr},          {"allow-from , ,", nullptr},
      {"allow-from 10.1", "10.1"},      {"allow-from 10.0.0.256", "10.0.0.256"},
      {"allow-from 10.0.0.0/33", "10.0.0.0/33"}, {"allow-from 10.0.0.0/", "10.0.0.0/"},
      {"allow-from 10.0.0.1 bogus", "bogus"},    {"allow-from 0x0a.0.0.1", "0x0a.0.0.1"},
      {"allow-from 10.0.0.1.5", "10.0.0.1.5"},   {"allow-from +10.0.0.1", "+10.0.0.1"},
      {"allow-from 10.0.0.1/+8", "10.0.0.1/+8"}, {"allow-from 0010.0.0.1", "0010.0.0.1"},
      {"allow-from 10.0.0.1/008", "10.0.0.1/008"}, {"allow-from 10..0.1", "10..0.1"},
      {"allow-from 10.0.0.0/8;", "10.0.0.0/8;"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    reset();
    std::string reason = c.shown == nullptr
                             ? std::string("allow-from has no value, so the line admits nobody")
                             : "'" + std::string(c.shown) +
                                   "' is not an IPv4 address or prefix (a.b.c.d or a.b.c.d/n), so the line admits nobody";
    EXPECT_EQ(read(std::string(c.line) + "\n"), std::vector<std::string>{error_line(1, reason)});
    // Nothing of the line is admitted, and the setting still shuts the
    // ports: a typing error must not open them to everyone.
    EXPECT_FALSE(sender_allowed(parse_ipv4("10.0.0.1")));
  }

  // A good line before or after still admits its senders.
  reset();
  read("allow-from 10.0.0.1 nonsense\nallow-from 10.0.0.2\n");
  EXPECT_FALSE(sender_allowed(parse_ipv4("10.0.0.1")));
  EXPECT_TRUE(sender_allowed(parse_ipv4("10.0.0.2")));
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
