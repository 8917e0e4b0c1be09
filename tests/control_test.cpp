#include "control_client.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

namespace {

// A status answer as the service sends it: a name twice (removed and
// stored again while the dump went on: the later record is the newer), a
// name loaded from the block, a record this version does not know.
const char kAnswer[] =
    "ok\n"
    "summary\t3 names; DNS on port 53; hosts written 01:48:20\n"
    "started\t1000000000\n"
    "names\t3\n"
    "dns-port\t53\n"
    "hosts-written\t1000000100\n"
    "hosts-failing-since\t-\n"
    "counter\tregistrations_acknowledged\t7\n"
    "counter\tqueries_answered\t12345\n"
    "device\tmeter2\t10.0.0.2\t10.9.0.1\t1000000010\t1000000050\t4\n"
    "device\tOld\t10.0.0.9\t-\t-\t-\t0\n"
    "device\tmeter1\t10.0.0.1\t10.9.0.1\t1000000020\t1000000020\t0\n"
    "later-record\tsomething\n"
    "device\tMETER2\t10.0.0.3\t10.9.0.2\t1000000010\t1000000060\t15\n"
    "end\n";

class StatusLayout : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    saved_tz_ = tz == nullptr ? "" : tz;
    had_tz_ = tz != nullptr;
    setenv("TZ", "UTC", 1);
    tzset();
  }
  void TearDown() override {
    if (had_tz_) setenv("TZ", saved_tz_.c_str(), 1); else unsetenv("TZ");
    tzset();
  }
  std::string saved_tz_;
  bool had_tz_ = false;
};

TEST_F(StatusLayout, TableForPeople) {
  std::string out;
  ASSERT_TRUE(format_status(kAnswer, false, &out));
  EXPECT_EQ(out,
            "Tarvik: 3 names; DNS on port 53; hosts written 01:48:20\n"
            "Running since 2001-09-09 01:46:40\n"
            "\n"
            "NAME    ADDRESS   SENDER    FIRST REGISTERED     LAST REGISTERED      RENEWALS\n"
            "meter1  10.0.0.1  10.9.0.1  2001-09-09 01:47:00  2001-09-09 01:47:00         0\n"
            "METER2  10.0.0.3  10.9.0.2  2001-09-09 01:46:50  2001-09-09 01:47:40        15\n"
            "Old     10.0.0.9  -         before start         before start                0\n"
            "\n"
            "Counters since start:\n"
            "  registrations_acknowledged  7\n"
            "  queries_answered            12345\n");
}

TEST_F(StatusLayout, JsonForScripts) {
  std::string out;
  ASSERT_TRUE(format_status(kAnswer, true, &out));
  EXPECT_EQ(out,
            "{\n"
            "  \"summary\": \"3 names; DNS on port 53; hosts written 01:48:20\",\n"
            "  \"started\": 1000000000,\n"
            "  \"names\": 3,\n"
            "  \"dns_port\": 53,\n"
            "  \"dns_off_port\": null,\n"
            "  \"hosts_written\": 1000000100,\n"
            "  \"hosts_failing_since\": null,\n"
            "  \"devices\": [\n"
            "    {\"name\": \"meter1\", \"address\": \"10.0.0.1\", \"sender\": \"10.9.0.1\", "
            "\"first_registration\": 1000000020, \"last_registration\": 1000000020, \"renewals\": 0},\n"
            "    {\"name\": \"METER2\", \"address\": \"10.0.0.3\", \"sender\": \"10.9.0.2\", "
            "\"first_registration\": 1000000010, \"last_registration\": 1000000060, \"renewals\": 15},\n"
            "    {\"name\": \"Old\", \"address\": \"10.0.0.9\", \"sender\": null, "
            "\"first_registration\": null, \"last_registration\": null, \"renewals\": 0}\n"
            "  ],\n"
            "  \"counters\": {\n"
            "    \"registrations_acknowledged\": 7,\n"
            "    \"queries_answered\": 12345\n"
            "  }\n"
            "}\n");
}

TEST_F(StatusLayout, EmptyTableAndAnswersThatAreNotWhole) {
  std::string out;
  ASSERT_TRUE(format_status("ok\nsummary\t0 names; hosts not written since start\nend\n", true, &out));
  EXPECT_NE(out.find("\"devices\": [],\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\"started\": null,\n"), std::string::npos) << out;
  ASSERT_TRUE(format_status("ok\nsummary\t0 names; hosts not written since start\nend\n", false, &out));
  EXPECT_NE(out.find("RENEWALS\n(no devices)\n"), std::string::npos) << out;

  std::string whole = kAnswer;
  const std::string not_whole[] = {
      whole.substr(0, whole.size() - 4),       // cut before its end line
      whole.substr(0, whole.size() - 1),       // "end" without its line end
      "error\nsomething went wrong\nend\n",
      "",
  };
  for (const std::string& answer : not_whole) {
    SCOPED_TRACE(answer);
    EXPECT_FALSE(format_status(answer, false, &out));
  }
}

}  // namespace
