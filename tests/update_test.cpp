// The platform HMAC, TSIG and the UPDATE messages, against vectors computed
// elsewhere.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "config.h"
#include "platform.h"
#include "publish.h"
#include "tsig.h"
#include "update.h"

namespace {

std::string from_hex(const std::string& hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

std::string to_hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : bytes) {
    hex.push_back(kDigits[c >> 4]);
    hex.push_back(kDigits[c & 15]);
  }
  return hex;
}

TEST(Hmac, MatchesRfc4231) {
  struct Case {
    std::string key;
    std::string data;
    HmacAlgorithm algorithm;
    const char* mac;
  } cases[] = {
      {std::string(20, '\x0b'), "Hi There", HmacAlgorithm::kSha256,
       "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {"Jefe", "what do ya want for nothing?", HmacAlgorithm::kSha256,
       "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {std::string(20, '\x0b'), "Hi There", HmacAlgorithm::kSha512,
       "87aa7cdea5ef619d4ff0b4241a1d6cb02379f4e2ce4ec2787ad0b30545e17cde"
       "daa833b7d6b8a702038b274eaea3f4e4be9d914eeb61f1702e696c203a126854"},
      {"Jefe", "what do ya want for nothing?", HmacAlgorithm::kSha512,
       "164b7a7bfcf819e2e395fbe73b56e0a387bd64222e831fd610270cd7ea250554"
       "9758bf75c05a994a6d034f65f8f0e6fdcaeab1a34d4a6b4b636e070a38bce737"},
  };
  for (const Case& c : cases) {
    std::string mac;
    ASSERT_TRUE(hmac(c.algorithm, c.key, c.data, &mac)) << c.data;
    EXPECT_EQ(to_hex(mac), c.mac) << c.data;
  }
}

TEST(Base64, DecodesOnlyPaddedStandardText) {
  struct Case {
    const char* text;
    bool ok;
    const char* bytes;
  } cases[] = {
      {"c2VjcmV0", true, "secret"},    {"c2VjcmU=", true, "secre"},  {"c2Vjcg==", true, "secr"},
      {"c2VjcmV0=", false, ""},        {"c2Vjc=V0", false, ""},      {"c2Vj cmV0", false, ""},
      {"c2VjcmV-", false, ""},         {"", false, ""},              {"====", false, ""},
  };
  for (const Case& c : cases) {
    std::string bytes;
    EXPECT_EQ(base64_decode(c.text, &bytes), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(bytes, c.bytes) << c.text;
    }
  }
}

// Made by tests/tools/make_update_vector.py with Debian's dnspython 2.3:
// the signed update of dev1 to 192.0.2.7 in devices.example.lan (ID 0x1234,
// key tarvik-key., hmac-sha256, time signed 1765411200), the server's
// signed NOERROR response to it, and the removal of dev1 (ID 0x4321).
const char kSecret[] = "c2VjcmV0LWtleS1mb3ItdGhlLXVwZGF0ZS10ZXN0cyE=";
const char kRequest[] =
    "1234280000010000000200010764657669636573076578616d706c65036c616e000006000104646576310764"
    "657669636573076578616d706c65036c616e00000100ff00000000000004646576310764657669636573076578"
    "616d706c65036c616e0000010001000000200004c00002070a74617276696b2d6b65790000fa00ff0000000000"
    "3d0b686d61632d736861323536000000693a0980012c0020872d0d5cfa151d12d928768c9b248b4948e2f126c3"
    "511062cf931b3639140679123400000000";
const char kResponse[] =
    "1234a80000010000000000010764657669636573076578616d706c65036c616e00000600010a74617276696b2d"
    "6b65790000fa00ff00000000003d0b686d61632d736861323536000000693a0980012c00202f52f40900c5d3c8"
    "011712ec21bb995d96a6adb267480adff3636afb659b4104123400000000";
const char kRemoval[] =
    "4321280000010000000100000764657669636573076578616d706c65036c616e0000060001046465763107646576"
    "69636573076578616d706c65036c616e00000100ff000000000000";
const std::uint64_t kTimeSigned = 1765411200;

class TsigVectors : public ::testing::Test {
 protected:
  void SetUp() override {
    key_.name = "tarvik-key";
    ASSERT_TRUE(base64_decode(kSecret, &key_.secret));
    ASSERT_TRUE(encode_wire_name("devices.example.lan", &zone_));
  }
  std::string signed_request(std::string* mac) {
    std::string message =
        build_update_message(0x1234, zone_, "dev1", parse_ipv4("192.0.2.7"), false, 32);
    return tsig_sign_request(message, key_, kTimeSigned, mac);
  }
  TsigKey key_;
  std::string zone_;
};

TEST_F(TsigVectors, SignedUpdateAndRemovalMatchTheReference) {
  std::string mac;
  EXPECT_EQ(to_hex(signed_request(&mac)), kRequest);
  EXPECT_EQ(mac.size(), 32u);
  EXPECT_EQ(to_hex(build_update_message(0x4321, zone_, "dev1", 0, true, 32)), kRemoval);
  // The owner name is compared in lower case by servers; the key name and
  // algorithm go into the MAC in canonical (lower-case) form.
  key_.name = "Tarvik-Key.";
  EXPECT_EQ(to_hex(signed_request(&mac)), kRequest);
}

TEST_F(TsigVectors, ResponseIsAcceptedOnlyWithItsRightMac) {
  std::string mac;
  signed_request(&mac);
  std::string response = from_hex(kResponse);
  int error = -1;
  EXPECT_EQ(tsig_verify_response(response, key_, mac, &error), TsigCheck::kValid);
  EXPECT_EQ(error, 0);

  // One flipped bit anywhere: in the header, in the MAC, in the time.
  for (std::size_t at : {std::size_t{3}, response.size() - 12, response.size() - 46}) {
    std::string forged = response;
    forged[at] = static_cast<char>(forged[at] ^ 1);
    EXPECT_EQ(tsig_verify_response(forged, key_, mac, &error), TsigCheck::kBad) << at;
  }
  // Another request's MAC, another secret, another key name.
  std::string other_mac = mac;
  other_mac[0] = static_cast<char>(other_mac[0] ^ 1);
  EXPECT_EQ(tsig_verify_response(response, key_, other_mac, &error), TsigCheck::kBad);
  TsigKey other = key_;
  other.secret += "x";
  EXPECT_EQ(tsig_verify_response(response, other, mac, &error), TsigCheck::kBad);
  other = key_;
  other.name = "other-key";
  EXPECT_EQ(tsig_verify_response(response, other, mac, &error), TsigCheck::kBad);

  // Without its TSIG record the same response is unsigned; cut short it is bad.
  TsigRecord record;
  ASSERT_EQ(tsig_find(response, &record), TsigFound::kFound);
  EXPECT_EQ(tsig_verify_response(tsig_strip(response, record), key_, mac, &error),
            TsigCheck::kUnsigned);
  for (std::size_t cut = 1; cut < response.size() - static_cast<std::size_t>(record.record_offset);
       ++cut) {
    EXPECT_NE(tsig_verify_response(response.substr(0, response.size() - cut), key_, mac, &error),
              TsigCheck::kValid)
        << cut;
  }
}

TEST_F(TsigVectors, KeyErrorWithoutMacIsReported) {
  // The server's answer to an unknown key: NOTAUTH, TSIG error BADKEY, no MAC.
  std::string response = from_hex(kResponse);
  TsigRecord record;
  ASSERT_EQ(tsig_find(response, &record), TsigFound::kFound);
  std::string unsigned_part = tsig_strip(response, record);
  unsigned_part[3] = static_cast<char>(kRcodeNotAuth);
  std::string tail = response.substr(static_cast<std::size_t>(record.record_offset));
  // Owner (12) + type/class/ttl (8) + rdlength (2), then algorithm (13),
  // time (6), fudge (2), MAC size (2) and the 32 MAC bytes.
  std::string rdata = tail.substr(22, 13 + 6 + 2) + std::string("\0\0", 2) + tail.substr(22 + 23 + 32, 2) +
                      std::string("\0\x11\0\0", 4);
  std::string record_bytes = tail.substr(0, 20) + std::string(1, '\0') +
                             std::string(1, static_cast<char>(rdata.size())) + rdata;
  std::string message = unsigned_part + record_bytes;
  message[11] = 1;
  int error = 0;
  EXPECT_EQ(tsig_verify_response(message, key_, "mac", &error), TsigCheck::kKeyError);
  EXPECT_EQ(error, kTsigBadKey);
  EXPECT_STREQ(rcode_text(error), "BADKEY");
}

TEST(TsigFind, RefusesMisplacedRecordsAndPointerLoops) {
  std::string response = from_hex(kResponse);
  TsigRecord record;
  ASSERT_EQ(tsig_find(response, &record), TsigFound::kFound);
  // One more additional record after the TSIG: a root OPT record.
  std::string after = response + std::string("\0\0\x29\x04\xd0\0\0\0\0\0\0", 11);
  after[11] = 2;
  EXPECT_EQ(tsig_find(after, &record), TsigFound::kMalformed);
  // The zone name pointing at itself, or past the end.
  std::string loop = response;
  loop[12] = static_cast<char>(0xC0);
  loop[13] = 12;
  EXPECT_EQ(tsig_find(loop, &record), TsigFound::kMalformed);
  loop[13] = 0x7F;
  EXPECT_EQ(tsig_find(loop, &record), TsigFound::kMalformed);
  // A message without any TSIG.
  EXPECT_EQ(tsig_find(from_hex(kRemoval), &record), TsigFound::kNone);
}

TEST(UpdateMessage, RefusesNamesThatDoNotFit) {
  std::string zone;
  ASSERT_TRUE(encode_wire_name(std::string(63, 'z') + "." + std::string(63, 'z') + "." +
                                   std::string(63, 'z') + "." + std::string(55, 'z'),
                               &zone));
  EXPECT_EQ(zone.size(), 249u);
  // The owner name may reach 255 bytes, no further.
  EXPECT_NE(build_update_message(1, zone, "abcde", 0, true, 32), "");
  EXPECT_EQ(build_update_message(1, zone, "abcdef", 0, true, 32), "");
  EXPECT_EQ(build_update_message(1, zone, "", 0, true, 32), "");
}

}  // namespace

// --- The sender, against a socket of the test standing in for the server ---

namespace {

class Publisher : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = udp_open();
    ASSERT_NE(server_, kNoSocket);
    ASSERT_TRUE(udp_bind(server_, parse_ipv4("127.0.0.1"), 0));
    SocketAddress local;
    ASSERT_TRUE(socket_local_address(server_, &local));
    g_settings = Settings{};
    g_settings.update_server_ip = parse_ipv4("127.0.0.1");
    g_settings.update_server_port = socket_address_port(local);
    g_settings.update_zone = "devices.example.lan";
    publish_start();
  }
  void TearDown() override {
    publish_stop();
    socket_close(server_);
    g_settings = Settings{};
  }
  // The loop's step before its wait: returns the messages that reach the
  // server, with where they came from.
  std::vector<std::pair<std::string, SocketAddress>> send_step() {
    wait_set_clear(&set_);
    add_publish_sockets(tick_count_ms(), &set_);
    std::vector<std::pair<std::string, SocketAddress>> got;
    char buffer[600];
    for (;;) {
      ReadSet read{};
      read.count = 1;
      read.handles[0] = server_;
      if (wait_readable(&read, 200000) <= 0) break;
      SocketAddress from;
      int n = udp_receive(server_, buffer, sizeof buffer, &from);
      if (n <= 0) break;
      got.emplace_back(std::string(buffer, static_cast<std::size_t>(n)), from);
    }
    return got;
  }
  // Answers `request` with `rcode` and lets the sender take the answer.
  void answer(const std::pair<std::string, SocketAddress>& request, int rcode) {
    std::string reply = request.first.substr(0, 12);
    reply[2] = static_cast<char>(reply[2] | 0x80);
    reply[3] = static_cast<char>(rcode);
    for (int i = 4; i < 12; ++i) reply[static_cast<std::size_t>(i)] = 0;
    ASSERT_EQ(udp_send(server_, reply.data(), static_cast<int>(reply.size()), request.second),
              static_cast<int>(reply.size()));
    ASSERT_GT(wait_sockets(&set_, 1000000), 0);
    serve_publish_sockets(set_);
  }
  static std::string owner(const std::string& message) {
    std::size_t at = 12 + 21 + 4;  // header, zone name, type and class
    return message.substr(at + 1, static_cast<unsigned char>(message[at]));
  }
  Socket server_ = kNoSocket;
  WaitSet set_;
};

TEST_F(Publisher, LatestChangeOfANameWaitsForItsMessageUnderWay) {
  for (int i = 0; i < 40; ++i) publish_name("n" + std::to_string(i), parse_ipv4("10.1.0.1"));
  // Two changes before the send: only the latest goes out.
  publish_name("n39", parse_ipv4("10.1.0.39"));
  auto first = send_step();
  ASSERT_EQ(first.size(), static_cast<std::size_t>(kMaxUpdatesInFlight));
  EXPECT_EQ(owner(first[0].first), "n0");

  // n0 changes while its message is under way: nothing more is sent for it.
  publish_name("n0", parse_ipv4("10.1.0.200"));
  EXPECT_TRUE(send_step().empty());
  answer(first[0], 0);
  auto next = send_step();
  // n0's new address and the next name of the queue, one slot each.
  ASSERT_EQ(next.size(), 1u);
  EXPECT_EQ(owner(next[0].first), "n16");

  // Everyone else answered: the rest goes out, n0's second change last.
  for (std::size_t i = 1; i < first.size(); ++i) answer(first[i], 0);
  answer(next[0], 0);
  std::vector<std::string> owners;
  std::string n0_message, n39_message;
  for (int round = 0; round < 5; ++round) {
    auto sent = send_step();
    for (auto& m : sent) {
      owners.push_back(owner(m.first));
      if (owners.back() == "n0") n0_message = m.first;
      if (owners.back() == "n39") n39_message = m.first;
      answer(m, 0);
    }
  }
  EXPECT_EQ(owners.size(), 40u - 17u + 1u);
  EXPECT_EQ(owners.back(), "n0");
  EXPECT_EQ(std::count(owners.begin(), owners.end(), "n39"), 1);
  std::uint32_t address = parse_ipv4("10.1.0.200");
  EXPECT_EQ(n0_message.substr(n0_message.size() - 4), std::string(reinterpret_cast<char*>(&address), 4));
  address = parse_ipv4("10.1.0.39");
  EXPECT_EQ(n39_message.substr(n39_message.size() - 4), std::string(reinterpret_cast<char*>(&address), 4));
  EXPECT_EQ(publish_backlog(), 0u);
}

TEST_F(Publisher, FailureIsRetriedAfterAPause) {
  publish_removal("gone");
  auto sent = send_step();
  ASSERT_EQ(sent.size(), 1u);
  answer(sent[0], 2);  // SERVFAIL
  // Paused for a second: nothing now, the same removal after it.
  EXPECT_TRUE(send_step().empty());
  std::uint32_t start = tick_count_ms();
  std::vector<std::pair<std::string, SocketAddress>> again;
  while (again.empty() && tick_count_ms() - start < 3000) again = send_step();
  ASSERT_EQ(again.size(), 1u);
  EXPECT_GE(tick_count_ms() - start, 700u);
  EXPECT_EQ(owner(again[0].first), "gone");
  EXPECT_EQ(again[0].first.size(), sent[0].first.size());
  EXPECT_EQ(publish_backlog(), 1u);
  answer(again[0], 0);
  EXPECT_EQ(publish_backlog(), 0u);
}

}  // namespace
