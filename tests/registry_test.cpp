#include "registry.h"
#include "test_files.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "config.h"
#include "platform.h"
#include "stats.h"

namespace {

const std::uint32_t kLoopback = parse_ipv4("127.0.0.1");

// The example request: with an empty password its tag is 6dd6ba8c.
const char kExample[] = "tarvik1 rq meter1 192.168.1.20 6dd6ba8c";

std::string tag_text(std::uint32_t tag) {
  char text[9];
  std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(tag));
  return text;
}

// --- CRC-32 -----------------------------------------------------------------

TEST(Crc, CheckValueAndPiecewiseUpdates) {
  EXPECT_EQ(crc32_update(0, "123456789", 9), 0xCBF43926u);
  EXPECT_EQ(crc32_update(0, "", 0), 0u);
  EXPECT_EQ(crc32_update(0x12345678u, "", 0), 0x12345678u);
  // Feeding pieces one after another gives the CRC of the concatenation.
  std::uint32_t crc = crc32_update(0, "1234", 4);
  EXPECT_EQ(crc32_update(crc, "56789", 5), 0xCBF43926u);
  // Every byte value goes through the table: a 256-byte run has a known CRC.
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  EXPECT_EQ(crc32_update(0, all.data(), all.size()), 0x29058C73u);
}

TEST(Crc, RequestTagOrderIsPrefixAddressNamePassword) {
  EXPECT_EQ(registration_tag("192.168.1.20", "meter1", ""), 0x6dd6ba8cu);
  const char text[] = "tarvik1192.168.1.20meter1secret";
  EXPECT_EQ(registration_tag("192.168.1.20", "meter1", "secret"),
            crc32_update(0, text, sizeof text - 1));
  EXPECT_EQ(format_registration_request("meter1", "192.168.1.20", ""), kExample);
  EXPECT_EQ(format_acknowledgement(0x6dd6ba8cu), "tarvik1 ack 6dd6ba8c");
  EXPECT_EQ(format_acknowledgement(0xABu), "tarvik1 ack 000000ab");
}

// --- Parser -----------------------------------------------------------------

// A name whose tag (empty password, address 1.2.3.4) is below 0x10000, so its
// eight-digit field has room for text that strtoul must stop at.
std::string name_with_short_tag(std::uint32_t* tag) {
  for (int i = 0;; ++i) {
    std::string name = "n" + std::to_string(i);
    *tag = registration_tag("1.2.3.4", name, "");
    if (*tag < 0x10000u) return name;
  }
}

TEST(RegistryParse, TableOfDatagrams) {
  std::uint32_t short_tag = 0;
  std::string short_name = name_with_short_tag(&short_tag);
  char short_hex[5];
  std::snprintf(short_hex, sizeof short_hex, "%04x", static_cast<unsigned>(short_tag));
  std::string short_prefix = "tarvik1 rq " + short_name + " 1.2.3.4 ";

  constexpr RequestParse kOk = RequestParse::kAccepted, kBad = RequestParse::kMalformed,
                         kWrong = RequestParse::kWrongPassword;
  struct Case {
    std::string text;
    std::string password;
    RequestParse result;
    std::string name;
    std::string address;
  };
  const std::string empty_name_tag = tag_text(registration_tag("10.0.0.1", "", ""));
  const std::string with_pwd_tag = tag_text(registration_tag("192.168.1.20", "meter1", "secret"));
  const Case cases[] = {
      {kExample, "", kOk, "meter1", "192.168.1.20"},
      {"tarvik1 rq meter1 192.168.1.20 6DD6BA8C", "", kOk, "meter1", "192.168.1.20"},
      {"tarvik1 rq meter1 192.168.1.20 6dd6ba8c\n", "", kBad, "", ""},
      {"TARVIK1 RQ meter1 192.168.1.20 6dd6ba8c", "", kBad, "", ""},
      {"tarvik1 rq  meter1 192.168.1.20 6dd6ba8c", "", kBad, "", ""},
      {"tarvik1 rq meter1  192.168.1.20 6dd6ba8c", "", kBad, "", ""},  // empty address, 21-byte rest
      {"tarvik1 rq meter1 192.168.1.20 6dd6ba8", "", kBad, "", ""},    // 7 digits
      {"tarvik1 rq meter1 192.168.1.20 06dd6ba8c", "", kBad, "", ""},  // 9 digits
      {"tarvik1 rq meter1 192.168.1.20 6dd6ba8d", "", kWrong, "meter1", "192.168.1.20"},
      {"tarvik1 rq meter1 192.168.1.20", "", kBad, "", ""},            // no tag field
      {"tarvik1 rq meter1", "", kBad, "", ""},
      {"tarvik1 rq ", "", kBad, "", ""},
      {"tarvik1 rq", "", kBad, "", ""},
      {"", "", kBad, "", ""},
      {"tarvik1 rq  10.0.0.1 " + empty_name_tag, "", kOk, "", "10.0.0.1"},
      {"tarvik1 rq meter1 192.168.1.20 " + with_pwd_tag, "secret", kOk, "meter1", "192.168.1.20"},
      {"tarvik1 rq meter1 192.168.1.20 " + with_pwd_tag, "", kWrong, "meter1", "192.168.1.20"},
      {kExample, "secret", kWrong, "meter1", "192.168.1.20"},
      {short_prefix + "0000" + short_hex, "", kOk, short_name, "1.2.3.4"},
      // The field is exactly eight hex digits, even where a looser reading
      // (strtoul's) would give the true tag: trailing junk, blanks, a sign,
      // "0x", or a tag below 0x10000000 without its leading zero...
      {short_prefix + short_hex + "zz!?", "", kBad, "", ""},
      {short_prefix + "\t+0x" + short_hex, "", kBad, "", ""},
      {short_prefix + "  " + "00" + short_hex, "", kBad, "", ""},
      {short_prefix + "+000" + short_hex, "", kBad, "", ""},
      {short_prefix + "000" + short_hex, "", kBad, "", ""},
      // ...or nine bytes that still read as the true tag.
      {short_prefix + "00000" + short_hex, "", kBad, "", ""},
      {short_prefix + "0000" + short_hex + "z", "", kBad, "", ""},
      {short_prefix + "0000" + short_hex + " ", "", kBad, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    RegistrationRequest request;
    ASSERT_EQ(parse_registration_request(c.text.c_str(), c.password, &request), c.result);
    if (c.result == kBad) continue;
    EXPECT_EQ(request.name, c.name);
    EXPECT_EQ(request.address, c.address);
    // A request with the wrong password is read whole all the same: its
    // name and address are what the log shows with `verbose`.
    EXPECT_EQ(request.tag == registration_tag(c.address, c.name, c.password), c.result == kOk);
  }
}

// --- Name table -------------------------------------------------------------

std::vector<std::pair<std::string, std::string>> table_content() {
  std::vector<std::pair<std::string, std::string>> out;
  for (const NameEntry& e : name_table()) out.emplace_back(e.name, format_ipv4(e.address));
  return out;
}

class NameTable : public ::testing::Test {
 protected:
  void SetUp() override {
    clear_name_table();
    g_hosts_dirty = false;
  }
  void TearDown() override { clear_name_table(); }
};

TEST_F(NameTable, UpdateReplacesByNameAndByAddressAndAppends) {
  using Content = std::vector<std::pair<std::string, std::string>>;
  struct Case {
    const char* name;
    const char* address;
    Content expected;
    bool changed = true;
  };
  const Case cases[] = {
      {"meter1", "10.0.0.7", {{"meter2", "10.0.0.6"}, {"meter1", "10.0.0.7"}}},
      {"meter3", "10.0.0.5", {{"meter2", "10.0.0.6"}, {"meter3", "10.0.0.5"}}},
      {"meter1", "10.0.0.6", {{"meter1", "10.0.0.6"}}},
      // A name in another case is the same name; the table keeps the
      // spelling of the last registration.
      {"Meter1", "10.0.0.8", {{"meter2", "10.0.0.6"}, {"Meter1", "10.0.0.8"}}},
      {"METER1", "10.0.0.6", {{"METER1", "10.0.0.6"}}},
      {"", "10.0.0.9", {{"meter1", "10.0.0.5"}, {"meter2", "10.0.0.6"}, {"", "10.0.0.9"}}},
      {"Meter1", "10.0.0.5", {{"meter2", "10.0.0.6"}, {"Meter1", "10.0.0.5"}}},
      // A renewal that changes nothing moves the entry to the end, but marks
      // nothing for the hosts file and keeps the serial.
      {"meter1", "10.0.0.5", {{"meter2", "10.0.0.6"}, {"meter1", "10.0.0.5"}}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + c.address);
    clear_name_table();
    update_name_table("meter1", "10.0.0.5");
    update_name_table("meter2", "10.0.0.6");
    g_hosts_dirty = false;
    std::uint32_t version = name_table_version();
    update_name_table(c.name, c.address);
    EXPECT_EQ(table_content(), c.expected);
    EXPECT_EQ(g_hosts_dirty, c.changed);
    EXPECT_EQ(name_table_version() != version, c.changed);
  }
}

TEST_F(NameTable, FindByNameIgnoresAsciiCaseOnly) {
  update_name_table("meter1", "10.0.0.5");
  update_name_table("", "10.0.0.6");
  update_name_table(std::string("a\0b", 3), "10.0.0.7");

  const NameEntry* found = find_by_name("meter1", 6);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(format_ipv4(found->address), "10.0.0.5");
  ASSERT_NE(find_by_name("MeTeR1", 6), nullptr);
  EXPECT_EQ(find_by_name("MeTeR1", 6), found);
  // Only ASCII letters fold: bytes above 0x7F and punctuation stay exact.
  update_name_table("\xC4x", "10.0.0.8");
  EXPECT_EQ(find_by_name("\xE4x", 2), nullptr);
  EXPECT_EQ(find_by_name("meter1[", 7), nullptr);
  EXPECT_EQ(find_by_name("METER1{", 7), nullptr);
  EXPECT_EQ(find_by_name("meter1.", 7), nullptr);
  EXPECT_EQ(find_by_name("meter1 ", 7), nullptr);
  EXPECT_EQ(find_by_name("meter", 5), nullptr);
  ASSERT_NE(find_by_name("", 0), nullptr);
  EXPECT_EQ(format_ipv4(find_by_name("", 0)->address), "10.0.0.6");
  ASSERT_NE(find_by_name("a\0b", 3), nullptr);
  EXPECT_EQ(find_by_name("a", 1), nullptr);

  // The empty name is replaced like any other.
  update_name_table("", "10.0.0.9");
  EXPECT_EQ(format_ipv4(find_by_name("", 0)->address), "10.0.0.9");
  // An unparsable address is stored as 255.255.255.255 and takes part in
  // address replacement like any other value.
  update_name_table("x", "#");
  update_name_table("y", "not-an-address");
  EXPECT_EQ(find_by_name("x", 1), nullptr);
  ASSERT_NE(find_by_name("y", 1), nullptr);
  EXPECT_EQ(find_by_name("y", 1)->address, kAddressNone);
}

// The model's notion of one name: equal after lower-casing ASCII letters.
bool same_name(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

// The indexes must agree with the plain definition (scan, remove matches,
// append) through any sequence of updates: in a small table where nearly
// every update replaces something, and in one that grows through several
// index resizes while removals free slots for later names. Some names are
// longer than a short-string buffer and some differ from others in case only.
TEST_F(NameTable, IndexedTableMatchesScanningModelOverRandomUpdates) {
  struct Run {
    int steps;
    unsigned names;
    unsigned addresses;
  };
  for (const Run& run : {Run{5000, 40, 40}, Run{6000, 1500, 1200}}) {
    SCOPED_TRACE(run.names);
    clear_name_table();
    std::vector<NameEntry> model;
    std::mt19937 random(7);
    auto random_name = [&] {
      unsigned n = random() % run.names;
      std::string name = (random() % 2 ? "d" : "D") + std::to_string(n);
      return n % 3 == 0 ? name + "-a-name-longer-than-sixteen-bytes" : name;
    };
    for (int step = 0; step < run.steps; ++step) {
      std::string name = random_name();
      std::uint32_t number = random() % run.addresses;
      std::string address = "10.0." + std::to_string(number / 256) + "." + std::to_string(number % 256);
      std::uint32_t value = parse_ipv4(address.c_str());
      std::vector<NameEntry> kept;
      for (const NameEntry& e : model)
        if (!same_name(e.name, name) && e.address != value) kept.push_back(e);
      kept.push_back(NameEntry{name, value});
      model.swap(kept);
      update_name_table(name, address);

      ASSERT_EQ(name_table().size(), model.size()) << "step " << step;
      auto it = name_table().begin();
      for (const NameEntry& e : model) {
        ASSERT_NE(it, name_table().end()) << "step " << step;
        ASSERT_EQ(it->name, e.name) << "step " << step;
        ASSERT_EQ(it->address, e.address) << "step " << step;
        ++it;
      }
      ASSERT_EQ(it, name_table().end()) << "step " << step;
    }
    for (int i = 0; i < 200; ++i) {
      std::string name = random_name();
      const NameEntry* expected = nullptr;
      for (const NameEntry& e : model) {
        if (same_name(e.name, name)) expected = &e;
      }
      const NameEntry* found = find_by_name(name.data(), name.size());
      ASSERT_EQ(found == nullptr, expected == nullptr) << name;
      if (found != nullptr) {
        EXPECT_EQ(found->name, expected->name) << name;
        EXPECT_EQ(found->address, expected->address) << name;
      }
    }
  }
}

// Entries removed by others taking their addresses leave slots that new
// names reuse, in the right order; a cleared table starts over.
TEST_F(NameTable, EmptiedAndClearedTableTakesNewNames) {
  for (int i = 0; i < 100; ++i) update_name_table("d" + std::to_string(i), "10.0.1." + std::to_string(i));
  // Each of these takes the address of one old entry and so removes it.
  for (int i = 0; i < 100; ++i) update_name_table("e" + std::to_string(i), "10.0.1." + std::to_string(i));
  ASSERT_EQ(name_table().size(), 100u);
  EXPECT_EQ(find_by_name("d5", 2), nullptr);
  EXPECT_EQ(name_table().begin()->name, "e0");
  update_name_table("e0", "10.0.2.1");
  update_name_table("E0", "10.0.2.2");
  ASSERT_NE(find_by_name("e0", 2), nullptr);
  EXPECT_EQ(find_by_name("e0", 2)->name, "E0");
  EXPECT_EQ(name_table().begin()->name, "e1");
  clear_name_table();
  EXPECT_TRUE(name_table().empty());
  EXPECT_EQ(name_table().begin(), name_table().end());
  EXPECT_EQ(find_by_name("E0", 2), nullptr);
  update_name_table("e0", "10.0.2.2");
  EXPECT_EQ(table_content(), (std::vector<std::pair<std::string, std::string>>{{"e0", "10.0.2.2"}}));
}

// Once the table holds max-names entries, only a name that would make it
// longer is turned away; the table and its flag are then left as they were.
TEST_F(NameTable, FullTableRefusesOnlyNamesThatWouldMakeItLonger) {
  Settings saved = g_settings;
  g_settings.max_names = 3;
  EXPECT_TRUE(update_name_table("a", "10.0.0.1"));
  EXPECT_TRUE(update_name_table("b", "10.0.0.2"));
  EXPECT_TRUE(update_name_table("c", "10.0.0.3"));
  g_hosts_dirty = false;
  EXPECT_FALSE(update_name_table("d", "10.0.0.4"));
  using Content = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(table_content(), (Content{{"a", "10.0.0.1"}, {"b", "10.0.0.2"}, {"c", "10.0.0.3"}}));
  EXPECT_FALSE(g_hosts_dirty);
  EXPECT_EQ(find_by_name("d", 1), nullptr);

  // A renewal, a new address and a new spelling of a stored name go on, and
  // a new name that takes over a stored address replaces that entry.
  EXPECT_TRUE(update_name_table("a", "10.0.0.1"));
  EXPECT_TRUE(update_name_table("b", "10.0.0.9"));
  EXPECT_TRUE(update_name_table("C", "10.0.0.3"));
  EXPECT_TRUE(update_name_table("e", "10.0.0.1"));
  EXPECT_EQ(table_content(), (Content{{"b", "10.0.0.9"}, {"C", "10.0.0.3"}, {"e", "10.0.0.1"}}));
  EXPECT_TRUE(g_hosts_dirty);
  EXPECT_FALSE(update_name_table("f", "10.0.0.5"));

  // Room again once the cap is raised (or an entry has gone).
  g_settings.max_names = 4;
  EXPECT_TRUE(update_name_table("f", "10.0.0.5"));
  EXPECT_EQ(name_table().size(), 4u);
  g_settings = saved;
}

// What the status view shows of each entry: a registration records its
// sender and time, each later one of the same name counts a renewal
// (whatever it changed); a name loaded from the block knows neither until
// it registers, and then still not its first time.
TEST_F(NameTable, RegistrationsRecordSenderTimesAndRenewals) {
  const std::uint32_t a = parse_ipv4("10.9.0.1"), b = parse_ipv4("10.9.0.2");
  struct Step {
    const char* name;
    const char* address;
    bool heard;
    std::uint32_t sender, when;
    // What the entry of `name` shows afterwards.
    std::uint32_t first, last, renewals;
  };
  const Step steps[] = {
      {"old", "10.0.0.1", false, 0, 0, kUnknownTime, kUnknownTime, 0},
      // A second line of the block for the same name changes nothing of it.
      {"old", "10.0.0.1", false, 0, 0, kUnknownTime, kUnknownTime, 0},
      {"meter1", "10.0.0.2", true, a, 10, 10, 10, 0},
      {"meter1", "10.0.0.2", true, b, 20, 10, 20, 1},  // a renewal that changes nothing
      {"METER1", "10.0.0.3", true, a, 30, 10, 30, 2},  // new spelling and address
      {"old", "10.0.0.1", true, b, 40, kUnknownTime, 40, 1},
      // A new name that takes over meter1's address starts afresh.
      {"meter2", "10.0.0.3", true, b, 50, 50, 50, 0},
      // A name of the block in the slot meter1 left keeps nothing of it.
      {"later", "10.0.0.9", false, 0, 0, kUnknownTime, kUnknownTime, 0},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(std::string(step.name) + " at " + std::to_string(step.when));
    Registration heard{step.sender, step.when};
    ASSERT_TRUE(update_name_table(step.name, step.address, CapRule::kEnforce, step.heard ? &heard : nullptr));
    const NameEntry* entry = find_by_name(step.name, std::strlen(step.name));
    ASSERT_NE(entry, nullptr);
    RegistrationHistory history = registration_history(*entry);
    EXPECT_EQ(history.first_registered, step.first);
    EXPECT_EQ(history.last_registered, step.last);
    EXPECT_EQ(history.renewals, step.renewals);
    EXPECT_EQ(history.sender, step.heard ? step.sender : 0u);
  }
  EXPECT_EQ(find_by_name("meter1", 6), nullptr);
}

TEST_F(NameTable, ForgottenNameIsGoneAsIfNeverRegistered) {
  update_name_table("meter1", "10.0.0.1");
  update_name_table("meter2", "10.0.0.2");
  record_name_changes(true);
  g_hosts_dirty = false;
  std::uint32_t version = name_table_version();

  EXPECT_TRUE(forget_name("METER1"));
  EXPECT_EQ(find_by_name("meter1", 6), nullptr);
  EXPECT_TRUE(g_hosts_dirty);
  EXPECT_NE(name_table_version(), version);
  std::vector<NameChange> changes;
  take_name_changes(&changes);
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].kind, NameChange::Kind::kRemoved);
  EXPECT_EQ(changes[0].name, "meter1");
  EXPECT_EQ(changes[0].address, parse_ipv4("10.0.0.1"));

  EXPECT_FALSE(forget_name("meter1"));
  EXPECT_FALSE(forget_name(""));
  // Its address is free: another name takes it without removing anyone.
  EXPECT_TRUE(update_name_table("meter3", "10.0.0.1"));
  EXPECT_EQ(table_content(), (std::vector<std::pair<std::string, std::string>>{
                                 {"meter2", "10.0.0.2"}, {"meter3", "10.0.0.1"}}));
  record_name_changes(false);
}

// A status dump walks the table over several turns while registrations go
// on: every entry that stays throughout is seen exactly once.
TEST_F(NameTable, StorageWalkSeesEachEntryThatStaysOnce) {
  for (int i = 0; i < 300; ++i) update_name_table("d" + std::to_string(i), format_ipv4(htonl(0x0A000000u + i)));
  std::map<std::string, int> seen;
  std::set<std::string> removed;
  std::uint32_t cursor = 0;
  int step = 0;
  while (const NameEntry* entry = next_entry_in_storage(&cursor)) {
    ++seen[entry->name];
    // Between the pieces of the walk: renewals at new addresses, removals,
    // new names (which take freed slots before or after the cursor).
    if (++step % 7 == 0) {
      int i = step * 3 % 300;
      update_name_table("d" + std::to_string(i), format_ipv4(htonl(0x0B000000u + step)));
      std::string gone = "d" + std::to_string((i + 1) % 300);
      if (forget_name(gone)) removed.insert(gone);
      update_name_table("n" + std::to_string(step), format_ipv4(htonl(0x0C000000u + step)));
    }
  }
  ASSERT_GT(removed.size(), 20u);
  std::size_t stayed = 0;
  for (const NameEntry& entry : name_table()) {
    if (entry.name[0] == 'n' || removed.count(entry.name) != 0) continue;
    EXPECT_EQ(seen[entry.name], 1) << entry.name;
    ++stayed;
  }
  EXPECT_EQ(stayed, 300u - removed.size());
}

// Memory running out in the middle of an update leaves the table whole: a
// child process with little address space fills the table until an update
// fails, then checks every entry it was told went in (and nothing else) is
// found, by name and in the order. Sanitizers reserve far more address space
// than the limit, so the test runs only in plain builds.
#if defined(__SANITIZE_ADDRESS__)
#define TARVIK_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TARVIK_UNDER_ASAN 1
#endif
#endif
TEST_F(NameTable, UpdateThatRunsOutOfMemoryLeavesTheTableWhole) {
#ifdef TARVIK_UNDER_ASAN
  GTEST_SKIP() << "an address-space limit does not work under AddressSanitizer";
#else
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    g_settings.max_names = kMaxNamesLimit * 100;
    // Room for what the process holds now and a few tens of MB more.
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    rlimit limit;
    limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (48u << 20);
    if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(10);
    std::uint32_t stored = 0;
    bool failed = false;
    try {
      // Long names, so that strings allocate and the indexes grow often.
      for (; stored < 50000000u; ++stored) {
        if (!update_name_table("device-with-a-long-name-" + std::to_string(stored),
                               format_ipv4(htonl(0x0A000000u + stored))))
          _exit(11);
      }
    } catch (const std::bad_alloc&) {
      failed = true;
    }
    if (!failed) _exit(12);
    // Checked without allocating anything of its own.
    if (name_table().size() != stored) _exit(13);
    std::uint32_t i = 0;
    char name[64];
    for (const NameEntry& e : name_table()) {
      int n = std::snprintf(name, sizeof name, "device-with-a-long-name-%u", static_cast<unsigned>(i));
      if (e.name.size() != static_cast<std::size_t>(n) || e.name.compare(0, e.name.size(), name) != 0) _exit(14);
      if (e.address != htonl(0x0A000000u + i)) _exit(15);
      if (find_by_name(name, static_cast<std::size_t>(n)) != &e) _exit(16);
      ++i;
    }
    if (i != stored || stored == 0) _exit(17);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "the child died of signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
#endif
}

TEST(RegistryNames, OnlySingleLabelsOfTheHostNameAlphabetAreStorable) {
  struct Case {
    std::string name;
    const char* reason;  // null: storable
  };
  const Case cases[] = {
      {"meter1", nullptr},
      {"my_meter-2", nullptr},
      {"M", nullptr},
      {std::string(63, 'a'), nullptr},
      {"localhost1", nullptr},
      {"wpad-2", nullptr},
      {"a\tb", "control character"},
      {"a\nb", "control character"},
      {"a\x1A", "control character"},
      {"del\x7F", "control character"},
      // A control byte is named as such even in a name that is wrong anyway.
      {"www.bank\r", "control character"},
      {"", "not a host name"},
      {std::string(64, 'a'), "not a host name"},
      {"www.example-bank.com", "not a host name"},
      {"meter1.", "not a host name"},
      {"a b", "not a host name"},
      {"caf\xC3\xA9", "not a host name"},
      {"a/b", "not a host name"},
      {"*", "not a host name"},
      // The bytes between 'Z' and 'a', and those just outside the letters.
      {"a[b", "not a host name"},
      {"a\\b", "not a host name"},
      {"a]b", "not a host name"},
      {"a^b", "not a host name"},
      {"a`b", "not a host name"},
      {"@", "not a host name"},
      {"{", "not a host name"},
      {"localhost", "reserved name"},
      {"LocalHost", "reserved name"},
      {"WPAD", "reserved name"},
      {"wpad", "reserved name"},
      {"isaTAP", "reserved name"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const char* reason = name_refusal_reason(c.name);
    if (c.reason == nullptr) {
      EXPECT_EQ(reason, nullptr);
    } else {
      ASSERT_NE(reason, nullptr);
      EXPECT_STREQ(reason, c.reason);
    }
    EXPECT_EQ(is_storable_name(c.name), c.reason == nullptr);
  }
}

// --- The datagram handler over loopback -------------------------------------

class RegistryDatagram : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(net_start());
    char dir[] = "/tmp/tarvik-registry-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    folder_ = dir;
    saved_settings_ = g_settings;
    g_settings.log_path = folder_;
    g_settings.pwd = "";
    clear_name_table();
    g_hosts_dirty = false;

    service_ = udp_open();
    ASSERT_NE(service_, kNoSocket);
    // A free port near a per-process start, so parallel runs do not collide.
    for (int i = 0; i < 200 && port_ == 0; ++i) {
      int candidate = 20000 + (getpid() * 7 + i) % 30000;
      if (udp_bind(service_, kLoopback, candidate)) port_ = candidate;
    }
    ASSERT_NE(port_, 0);
    device_ = udp_open();
    ASSERT_NE(device_, kNoSocket);
    ASSERT_TRUE(udp_bind(device_, kLoopback, 0));
  }
  void TearDown() override {
    socket_close(service_);
    socket_close(device_);
    clear_name_table();
    g_hosts_dirty = false;
    g_settings = saved_settings_;
    std::remove((folder_ + "/log").c_str());
    rmdir(folder_.c_str());
  }

  // Sends `datagram` from the device socket and lets the handler serve it.
  void send_and_handle(const std::string& datagram) {
    EXPECT_EQ(udp_send_to(device_, datagram.data(), static_cast<int>(datagram.size()), kLoopback, port_),
              static_cast<int>(datagram.size()));
    ReadSet set;
    read_set_clear(&set);
    read_set_add(&set, service_);
    EXPECT_EQ(wait_readable(&set, 1000000), 1);
    handle_registration_datagrams(service_);
  }

  // The reply on the device socket, or "" when none came within 200 ms.
  std::string reply() {
    ReadSet set;
    read_set_clear(&set);
    read_set_add(&set, device_);
    if (wait_readable(&set, 200000) != 1) return "";
    char buffer[256];
    int n = udp_receive(device_, buffer, sizeof buffer, nullptr);
    return n < 0 ? "" : std::string(buffer, static_cast<std::size_t>(n));
  }

  std::vector<std::string> log_messages() { return ::log_messages(folder_); }
  std::string raw_log() {
    std::ifstream in(folder_ + "/log", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  std::string folder_;
  Settings saved_settings_;
  Socket service_ = kNoSocket;
  Socket device_ = kNoSocket;
  int port_ = 0;
};

TEST_F(RegistryDatagram, AcceptedRequestIsLoggedAcknowledgedAndEntered) {
  send_and_handle("tarvik1 rq meter1 192.168.1.20 6DD6BA8C");
  EXPECT_EQ(reply(), "tarvik1 ack 6dd6ba8c");
  EXPECT_EQ(log_messages(), std::vector<std::string>{"127.0.0.1: meter1 192.168.1.20"});
  EXPECT_EQ(table_content(), (std::vector<std::pair<std::string, std::string>>{{"meter1", "192.168.1.20"}}));
  EXPECT_TRUE(g_hosts_dirty);

  // The same request again is handled again: a second line, a second ack,
  // but nothing new for the hosts file.
  g_hosts_dirty = false;
  send_and_handle(kExample);
  EXPECT_EQ(reply(), "tarvik1 ack 6dd6ba8c");
  EXPECT_EQ(log_messages().size(), 2u);
  EXPECT_EQ(name_table().size(), 1u);
  EXPECT_FALSE(g_hosts_dirty);
}

TEST_F(RegistryDatagram, RejectedRequestsGetNoReplyAndNoLogLine) {
  g_settings.pwd = "secret";
  const std::string rejected[] = {kExample, std::string(kExample) + "\n", "hello"};
  for (const std::string& datagram : rejected) {
    SCOPED_TRACE(datagram);
    send_and_handle(datagram);
    EXPECT_EQ(reply(), "");
  }
  EXPECT_EQ(raw_log(), "");
  EXPECT_TRUE(name_table().empty());
  EXPECT_FALSE(g_hosts_dirty);
}

TEST_F(RegistryDatagram, BytesAfterAnEmbeddedZeroTakeNoPart) {
  send_and_handle(std::string(kExample) + std::string("\0junk", 5));
  EXPECT_EQ(reply(), "tarvik1 ack 6dd6ba8c");
  EXPECT_EQ(name_table().size(), 1u);
}

TEST_F(RegistryDatagram, UnusableAddressOrNameIsAcknowledgedButNotEntered) {
  struct Case {
    std::string name;
    std::string address;
    std::vector<std::string> log;
  };
  const Case cases[] = {
      {"meter1", "no.such.host", {"127.0.0.1: meter1 no.such.host"}},
      {"meter1", "255.255.255.255", {"127.0.0.1: meter1 255.255.255.255"}},
      {"bad\x01name", "10.0.0.1",
       {"127.0.0.1: bad\\x01name 10.0.0.1", "bad\\x01name: name refused: control character"}},
      {"tab\tname\x7F", "10.0.0.2",
       {"127.0.0.1: tab\\x09name\\x7F 10.0.0.2", "tab\\x09name\\x7F: name refused: control character"}},
      {"www.example-bank.com", "10.0.0.3",
       {"127.0.0.1: www.example-bank.com 10.0.0.3", "www.example-bank.com: name refused: not a host name"}},
      {"", "10.0.0.4", {"127.0.0.1:  10.0.0.4", ": name refused: not a host name"}},
      {"Wpad", "10.0.0.5", {"127.0.0.1: Wpad 10.0.0.5", "Wpad: name refused: reserved name"}},
      // Refused for its name even when the address would not parse either.
      {"localhost", "junk", {"127.0.0.1: localhost junk", "localhost: name refused: reserved name"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address);
    std::remove((folder_ + "/log").c_str());
    send_and_handle(format_registration_request(c.name, c.address, ""));
    EXPECT_EQ(reply(), format_acknowledgement(registration_tag(c.address, c.name, "")));
    EXPECT_EQ(log_messages(), c.log);
    EXPECT_TRUE(name_table().empty());
    EXPECT_FALSE(g_hosts_dirty);
    // No raw control byte reaches the log.
    for (char ch : raw_log()) ASSERT_TRUE(ch == '\r' || ch == '\n' || static_cast<unsigned char>(ch) >= 0x20);
  }
}

// Names refused for what the table or the machine already holds are
// acknowledged like any refused name, and logged with the reason.
TEST_F(RegistryDatagram, NamesTheMachineHasAndNamesBeyondTheCapAreRefused) {
  std::string host = machine_host_name();
  std::string own = host.substr(0, host.find('.'));
  if (!is_storable_name(own)) GTEST_SKIP() << "the host name '" << host << "' could not be registered anyway";
  std::string own_upper = own;
  for (char& c : own_upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));

  g_settings.max_names = 2;
  set_names_outside_block({"Router", "gw", "ip6-localhost"});
  struct Case {
    std::string name;
    std::string address;
    const char* reason;  // null: entered
  };
  const Case cases[] = {
      {"router", "10.0.0.1", "defined outside the block"},
      {"GW", "10.0.0.2", "defined outside the block"},
      {"IP6-Localhost", "10.0.0.3", "defined outside the block"},
      {own_upper, "10.0.0.4", "the machine's own name"},
      {"meter1", "10.0.0.5", nullptr},
      {"meter2", "10.0.0.6", nullptr},
      {"meter3", "10.0.0.7", "table full"},
      // A stored name still renews and moves when the table is full.
      {"meter1", "10.0.0.8", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::remove((folder_ + "/log").c_str());
    send_and_handle(format_registration_request(c.name, c.address, ""));
    EXPECT_EQ(reply(), format_acknowledgement(registration_tag(c.address, c.name, "")));
    std::vector<std::string> expected{"127.0.0.1: " + c.name + " " + c.address};
    if (c.reason != nullptr) expected.push_back(c.name + ": name refused: " + c.reason);
    EXPECT_EQ(log_messages(), expected);
    const NameEntry* entry = find_by_name(c.name.data(), c.name.size());
    EXPECT_EQ(entry != nullptr && entry->address == parse_ipv4(c.address.c_str()), c.reason == nullptr);
  }
  EXPECT_EQ(table_content(), (std::vector<std::pair<std::string, std::string>>{
                                 {"meter2", "10.0.0.6"}, {"meter1", "10.0.0.8"}}));
}

// A name that the hosts file took up after it was stored leaves the table
// at the next read; the others stay as they were.
TEST_F(RegistryDatagram, NamesTakenUpOutsideTheBlockLeaveTheTable) {
  update_name_table("meter1", "10.0.0.1");
  update_name_table("printer", "10.0.0.2");
  update_name_table("meter3", "10.0.0.3");
  g_hosts_dirty = false;
  drop_taken_names();
  EXPECT_EQ(name_table().size(), 3u);
  EXPECT_FALSE(g_hosts_dirty);

  set_names_outside_block({"PRINTER", "other"});
  drop_taken_names();
  EXPECT_EQ(table_content(), (std::vector<std::pair<std::string, std::string>>{
                                 {"meter1", "10.0.0.1"}, {"meter3", "10.0.0.3"}}));
  // The block just written left it out already: nothing more to write.
  EXPECT_FALSE(g_hosts_dirty);
  EXPECT_EQ(log_messages(), std::vector<std::string>{"printer: name refused: defined outside the block"});
  // The last read decides: a name no longer outside may be stored again.
  set_names_outside_block({});
  EXPECT_EQ(name_taken_reason("printer"), nullptr);
}

TEST_F(RegistryDatagram, AllowFromDropsOtherSendersUnseen) {
  // The device socket sends from 127.0.0.1.
  g_settings.allow_from_set = true;
  g_settings.allow_from = {Ipv4Prefix{parse_ipv4("10.0.0.0"), parse_ipv4("255.0.0.0")}};
  send_and_handle(kExample);
  EXPECT_EQ(reply(), "");
  EXPECT_EQ(raw_log(), "");
  EXPECT_TRUE(name_table().empty());

  // An oversized datagram from that sender leaves no record either: its
  // sender is known although the datagram is lost.
  send_and_handle(std::string(500, 'x'));
  EXPECT_EQ(raw_log(), "");

  g_settings.allow_from.push_back(Ipv4Prefix{parse_ipv4("127.0.0.1"), parse_ipv4("255.255.255.255")});
  send_and_handle(kExample);
  EXPECT_EQ(reply(), "tarvik1 ack 6dd6ba8c");
  EXPECT_EQ(name_table().size(), 1u);
}

TEST_F(RegistryDatagram, RegistrationsAreLoggedThroughAnyFlood) {
  // More than the flood limit of registrations and refusals within one
  // second: every one of them reaches the log.
  for (int i = 0; i < 2 * kLogBurstLimit; ++i) {
    std::string name = i % 2 ? "dev" + std::to_string(i) : "bad.dev" + std::to_string(i);
    std::string address = "10.0.0." + std::to_string(i + 1);
    EXPECT_EQ(serve_registration_datagram(format_registration_request(name, address, "").c_str(),
                                          kLoopback),
              format_acknowledgement(registration_tag(address, name, "")));
  }
  std::vector<std::string> messages = log_messages();
  EXPECT_EQ(messages.size(), 3u * kLogBurstLimit);
  EXPECT_EQ(messages.back(), "127.0.0.1: dev19 10.0.0.20");
  EXPECT_EQ(name_table().size(), static_cast<std::size_t>(kLogBurstLimit));
}

// Each datagram counts once, under what became of it; with `verbose` a
// datagram with the wrong password is logged without its tag.
TEST_F(RegistryDatagram, CountersTellWhatBecameOfEachDatagram) {
  g_settings.pwd = "pw";
  g_settings.max_names = 2;
  set_names_outside_block({"router"});
  g_counters = Counters();
  struct Case {
    std::string datagram;
    std::uint64_t Counters::*counter;  // null: acknowledged and stored
  };
  const Case cases[] = {
      {format_registration_request("meter1", "10.0.0.1", "pw"), nullptr},
      {format_registration_request("meter1", "10.0.0.1", "pw"), nullptr},  // a renewal is stored too
      {format_registration_request("meter1", "10.0.0.1", "other"), &Counters::registrations_wrong_password},
      {"tarvik1 rq meter1 10.0.0.1 zzzzzzzz", &Counters::registrations_malformed},
      {"hello", &Counters::registrations_malformed},
      {format_registration_request("meter2", "10.0.0.300", "pw"), &Counters::refused_bad_address},
      {format_registration_request("wpad", "10.0.0.3", "pw"), &Counters::refused_name},
      {format_registration_request("a.b", "10.0.0.3", "pw"), &Counters::refused_name},
      {format_registration_request("Router", "10.0.0.3", "pw"), &Counters::refused_taken},
      {format_registration_request("meter2", "10.0.0.2", "pw"), nullptr},
      {format_registration_request("meter3", "10.0.0.3", "pw"), &Counters::refused_table_full},
  };
  Counters expected;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.datagram);
    bool answered = !serve_registration_datagram(c.datagram.c_str(), kLoopback).empty();
    bool valid = c.counter != &Counters::registrations_wrong_password && c.counter != &Counters::registrations_malformed;
    EXPECT_EQ(answered, valid);
    if (valid) ++expected.registrations_acknowledged;
    if (c.counter == nullptr) {
      ++expected.registrations_stored;
    } else {
      ++(expected.*(c.counter));
    }
    const std::uint64_t Counters::*all[] = {
        &Counters::registrations_acknowledged, &Counters::registrations_stored,
        &Counters::registrations_wrong_password, &Counters::registrations_malformed,
        &Counters::refused_bad_address, &Counters::refused_name, &Counters::refused_taken,
        &Counters::refused_table_full, &Counters::refused_out_of_memory};
    for (auto field : all) EXPECT_EQ(g_counters.*field, expected.*field);
  }
  // Not logged without `verbose`.
  for (const std::string& m : log_messages()) EXPECT_EQ(m.find("wrong password"), std::string::npos) << m;

  g_settings.verbose = true;
  std::remove((folder_ + "/log").c_str());
  std::string wrong = format_registration_request("meter\x01", "10.0.0.1", "other");
  EXPECT_EQ(serve_registration_datagram(wrong.c_str(), kLoopback), "");
  std::string tag = wrong.substr(wrong.size() - 8);
  EXPECT_EQ(log_messages(), std::vector<std::string>{"127.0.0.1: meter\\x01 10.0.0.1: wrong password"});
  EXPECT_EQ(raw_log().find(tag), std::string::npos);
  g_counters = Counters();
}

// Ageing with the table clock given: names not renewed within max-age go,
// oldest first, counted from the start for names loaded from the block;
// each is logged and recorded as a removal.
TEST_F(RegistryDatagram, AgeingRemovesNamesNotRenewedInTime) {
  const std::uint32_t kHour = 3600;
  update_name_table("old", "10.0.0.1");  // from the block: counts from 0
  Registration at100{kLoopback, 100}, at3000{kLoopback, 3000}, at5000{kLoopback, 5000};
  update_name_table("a", "10.0.0.2", CapRule::kEnforce, &at100);
  update_name_table("b", "10.0.0.3", CapRule::kEnforce, &at3000);
  update_name_table("a", "10.0.0.2", CapRule::kEnforce, &at5000);  // renewed: now the youngest
  record_name_changes(true);
  g_hosts_dirty = false;
  using Content = std::vector<std::pair<std::string, std::string>>;
  struct Case {
    std::uint32_t now;
    std::size_t expired;
    Content left;
  };
  const Case cases[] = {
      {0, 0, {{"old", "10.0.0.1"}, {"b", "10.0.0.3"}, {"a", "10.0.0.2"}}},
      {kHour - 1, 0, {{"old", "10.0.0.1"}, {"b", "10.0.0.3"}, {"a", "10.0.0.2"}}},
      {kHour, 1, {{"b", "10.0.0.3"}, {"a", "10.0.0.2"}}},
      {3000 + kHour - 1, 0, {{"b", "10.0.0.3"}, {"a", "10.0.0.2"}}},
      {5000 + kHour, 2, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.now);
    EXPECT_EQ(expire_names(c.now, kHour, 100), c.expired);
    EXPECT_EQ(table_content(), c.left);
    EXPECT_EQ(g_hosts_dirty, c.expired != 0);
    g_hosts_dirty = false;
  }
  EXPECT_EQ(log_messages(), (std::vector<std::string>{"old: expired, not renewed for 1 hour",
                                                       "b: expired, not renewed for 1 hour",
                                                       "a: expired, not renewed for 1 hour"}));
  std::vector<NameChange> changes;
  take_name_changes(&changes);
  ASSERT_EQ(changes.size(), 3u);
  for (const NameChange& change : changes) EXPECT_EQ(change.kind, NameChange::Kind::kRemoved);

  // A bounded number per call; the rest at the next.
  for (int i = 0; i < 5; ++i) update_name_table("d" + std::to_string(i), "10.0.1." + std::to_string(i + 1));
  EXPECT_EQ(expire_names(48 * kHour, 48 * kHour, 3), 3u);
  EXPECT_EQ(expire_names(48 * kHour, 48 * kHour, 3), 2u);
  EXPECT_EQ(log_messages().back(), "d4: expired, not renewed for 48 hours");
  record_name_changes(false);
}

TEST_F(RegistryDatagram, OversizedDatagramIsAFailedReceive) {
  // 21 fixed bytes + 12 of address + 166 of name = 199: still served.
  std::string name(166, 'n');
  std::string largest = format_registration_request(name, "192.168.1.20", "");
  ASSERT_EQ(largest.size(), 199u);
  send_and_handle(largest);
  EXPECT_EQ(reply(), format_acknowledgement(registration_tag("192.168.1.20", name, "")));

  std::remove((folder_ + "/log").c_str());
  send_and_handle(largest + "x");
  EXPECT_EQ(log_messages(), std::vector<std::string>{"Recvfrom error: " + std::to_string(kMessageTooLong) + ": " +
                                                     system_error_text(kMessageTooLong)});
  EXPECT_EQ(reply(), "");

  // The socket serves the next datagram as usual.
  send_and_handle(kExample);
  EXPECT_EQ(reply(), "tarvik1 ack 6dd6ba8c");
}

TEST_F(RegistryDatagram, OneWaitServesABoundedBatchAndAFailureLosesOneDatagram) {
  // Queue more than one batch, with an oversized datagram and one more
  // registration after it.
  const int queued = kRegistrationsPerWait + 5;
  for (int i = 0; i < queued; ++i) {
    std::string r = format_registration_request("d" + std::to_string(i), "10.0.0." + std::to_string(i + 1), "");
    ASSERT_EQ(udp_send_to(device_, r.data(), static_cast<int>(r.size()), kLoopback, port_),
              static_cast<int>(r.size()));
  }
  std::string oversized(200, 'x');
  udp_send_to(device_, oversized.data(), static_cast<int>(oversized.size()), kLoopback, port_);
  std::string last = format_registration_request("last", "10.0.1.1", "");
  udp_send_to(device_, last.data(), static_cast<int>(last.size()), kLoopback, port_);
  ReadSet set;
  read_set_clear(&set);
  read_set_add(&set, service_);
  ASSERT_EQ(wait_readable(&set, 1000000), 1);

  handle_registration_datagrams(service_);
  EXPECT_EQ(name_table().size(), static_cast<std::size_t>(kRegistrationsPerWait));
  // The rest: the failed receive costs the oversized datagram alone, and the
  // registration behind it is served in the same batch.
  handle_registration_datagrams(service_);
  EXPECT_EQ(name_table().size(), static_cast<std::size_t>(queued + 1));
  std::vector<std::string> log = log_messages();
  ASSERT_EQ(log.size(), static_cast<std::size_t>(queued + 2));
  EXPECT_EQ(log[queued], "Recvfrom error: " + std::to_string(kMessageTooLong) + ": " + system_error_text(kMessageTooLong));
  int acks = 0;
  while (!reply().empty()) ++acks;
  EXPECT_EQ(acks, queued + 1);

  // Nothing queued: nothing logged.
  handle_registration_datagrams(service_);
  EXPECT_EQ(log_messages().size(), static_cast<std::size_t>(queued + 2));
}

}  // namespace
