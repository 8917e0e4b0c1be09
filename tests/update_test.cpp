// The platform HMAC, TSIG and the UPDATE messages, against vectors computed
// elsewhere; and the update sender against a socket standing in for the
// server.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "config.h"
#include "platform.h"
#include "publish.h"
#include "registry.h"
#include "stats.h"
#include "test_files.h"
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

// Made by tests/tools/make_update_vector.py with Debian's dnspython 2.3, in
// devices.example.lan with the key tarvik-key. (hmac-sha256), time signed
// 1765411200: the signed add of dev1 at 192.0.2.7 (ID 0x1234), the server's
// signed NOERROR to it, the same signed a day later, the server's signed
// BADTIME with its clock a day ahead in the other data; the replace of
// dev1's address by 192.0.2.8 (ID 0x2345) and its removal (ID 0x4321).
const char kSecret[] = "c2VjcmV0LWtleS1mb3ItdGhlLXVwZGF0ZS10ZXN0cyE=";
const char kAddRequest[] =
    "1234280000010001000200010764657669636573076578616d706c65036c616e000006000104646576310764"
    "657669636573076578616d706c65036c616e0000ff00fe000000000000046465763107646576696365730765"
    "78616d706c65036c616e0000010001000000200004c000020704646576310764657669636573076578616d70"
    "6c65036c616e00001000010000002000181774617276696b206f776e65723d74617276696b2d6b65790a7461"
    "7276696b2d6b65790000fa00ff00000000003d0b686d61632d736861323536000000693a0980012c00202cc8"
    "9dcab8ad033469a29c6bdb0f8dd7c9995340e44705abe1648f647abb26de123400000000";
const char kResponse[] =
    "1234a80000010000000000010764657669636573076578616d706c65036c616e00000600010a74617276696b"
    "2d6b65790000fa00ff00000000003d0b686d61632d736861323536000000693a0980012c00201d1560891f70"
    "b91530a26b07fac90b76b6e97de72a36f651e8d08dc75e31e6fd123400000000";
const char kResponseADayLater[] =
    "1234a80000010000000000010764657669636573076578616d706c65036c616e00000600010a74617276696b"
    "2d6b65790000fa00ff00000000003d0b686d61632d736861323536000000693b5b00012c00203755094c6321"
    "59f0d52561fc284145ea93cc46a63723f716181a4c4690b3b185123400000000";
const char kBadTimeResponse[] =
    "1234a80900010000000000010764657669636573076578616d706c65036c616e00000600010a74617276696b"
    "2d6b65790000fa00ff0000000000430b686d61632d736861323536000000693a0980012c0020d81ec365f0ce"
    "c03c98cc2f9d4d70567d619c4b3fc3b8356b743648d4f2d5b0b71234001200060000693b5b00";
const char kReplace[] =
    "2345280000010001000200000764657669636573076578616d706c65036c616e000006000104646576310764"
    "657669636573076578616d706c65036c616e00001000010000000000181774617276696b206f776e65723d74"
    "617276696b2d6b657904646576310764657669636573076578616d706c65036c616e00000100ff0000000000"
    "0004646576310764657669636573076578616d706c65036c616e0000010001000000200004c0000208";
const char kRemoval[] =
    "4321280000010001000200000764657669636573076578616d706c65036c616e000006000104646576310764"
    "657669636573076578616d706c65036c616e00001000010000000000181774617276696b206f776e65723d74"
    "617276696b2d6b657904646576310764657669636573076578616d706c65036c616e00000100ff0000000000"
    "0004646576310764657669636573076578616d706c65036c616e00001000fe0000000000181774617276696b"
    "206f776e65723d74617276696b2d6b6579";
const std::uint64_t kTimeSigned = 1765411200;

class TsigVectors : public ::testing::Test {
 protected:
  void SetUp() override {
    key_.name = "tarvik-key";
    ASSERT_TRUE(base64_decode(kSecret, &key_.secret));
    ASSERT_TRUE(encode_wire_name("devices.example.lan", &zone_));
  }
  std::string message(int id, UpdateKind kind, const char* address) {
    return build_update_message(id, zone_, "dev1", kind, parse_ipv4(address), 32,
                                ownership_text(true, key_.name));
  }
  std::string signed_request(std::string* mac) {
    return tsig_sign_request(message(0x1234, UpdateKind::kAdd, "192.0.2.7"), key_, kTimeSigned, mac);
  }
  TsigKey key_;
  std::string zone_;
};

TEST_F(TsigVectors, UpdatesMatchTheReference) {
  std::string mac;
  EXPECT_EQ(to_hex(signed_request(&mac)), kAddRequest);
  EXPECT_EQ(mac.size(), 32u);
  EXPECT_EQ(to_hex(message(0x2345, UpdateKind::kReplace, "192.0.2.8")), kReplace);
  EXPECT_EQ(to_hex(message(0x4321, UpdateKind::kDelete, "0.0.0.0")), kRemoval);
  // The owner name is compared in lower case by servers; the key name and
  // algorithm go into the MAC in canonical (lower-case) form, and the
  // ownership record names the key the same way however it is written.
  key_.name = "Tarvik-Key.";
  EXPECT_EQ(to_hex(signed_request(&mac)), kAddRequest);
}

TEST_F(TsigVectors, ResponseIsAcceptedOnlyWithItsRightMac) {
  std::string mac;
  signed_request(&mac);
  std::string response = from_hex(kResponse);
  TsigRecord record;
  EXPECT_EQ(tsig_verify_response(response, key_, mac, &record), TsigCheck::kValid);
  EXPECT_EQ(record.error, 0);

  // One flipped bit anywhere: in the header, in the MAC, in the time.
  for (std::size_t at : {std::size_t{3}, response.size() - 12, response.size() - 46}) {
    std::string forged = response;
    forged[at] = static_cast<char>(forged[at] ^ 1);
    EXPECT_EQ(tsig_verify_response(forged, key_, mac, &record), TsigCheck::kBad) << at;
  }
  // Another request's MAC, another secret, another key name.
  std::string other_mac = mac;
  other_mac[0] = static_cast<char>(other_mac[0] ^ 1);
  EXPECT_EQ(tsig_verify_response(response, key_, other_mac, &record), TsigCheck::kBad);
  TsigKey other = key_;
  other.secret += "x";
  EXPECT_EQ(tsig_verify_response(response, other, mac, &record), TsigCheck::kBad);
  other = key_;
  other.name = "other-key";
  EXPECT_EQ(tsig_verify_response(response, other, mac, &record), TsigCheck::kBad);

  // Without its TSIG record the same response is unsigned; cut short it is bad.
  ASSERT_EQ(tsig_find(response, &record), TsigFound::kFound);
  EXPECT_EQ(tsig_verify_response(tsig_strip(response, record), key_, mac, &record), TsigCheck::kUnsigned);
  ASSERT_EQ(tsig_find(response, &record), TsigFound::kFound);
  for (std::size_t cut = 1; cut < response.size() - static_cast<std::size_t>(record.record_offset); ++cut) {
    TsigRecord cut_record;
    EXPECT_NE(tsig_verify_response(response.substr(0, response.size() - cut), key_, mac, &cut_record),
              TsigCheck::kValid)
        << cut;
  }
}

TEST_F(TsigVectors, LengthsThatDoNotAddUpAreMalformed) {
  std::string mac;
  signed_request(&mac);
  const std::string response = from_hex(kResponse);
  TsigRecord record;
  ASSERT_EQ(tsig_find(response, &record), TsigFound::kFound);
  // Within the record: owner (12 bytes), type, class and TTL (8), RDLENGTH;
  // in the RDATA the algorithm (13), time (6) and fudge (2), the MAC size,
  // the MAC (32), the original ID, the error and the other length.
  const std::size_t rdlength = static_cast<std::size_t>(record.record_offset) + 20;
  const std::size_t mac_size = rdlength + 2 + 21;
  const std::size_t other_length = mac_size + 2 + 32 + 4;
  struct Case {
    const char* what;
    std::size_t field;
    int change;
    bool extra_byte;
  } cases[] = {
      {"RDATA runs past the other data", rdlength, +1, true},
      {"RDATA ends before the other data", rdlength, -1, false},
      {"MAC size one more", mac_size, +1, false},
      {"MAC size one less", mac_size, -1, false},
      {"MAC size past the end", mac_size, +0x1000, false},
      {"other length one more", other_length, +1, false},
      {"other length one more, with a byte for it", other_length, +1, true},
  };
  for (const Case& c : cases) {
    std::string m = response;
    int value = ((static_cast<unsigned char>(m[c.field]) << 8) | static_cast<unsigned char>(m[c.field + 1])) +
                c.change;
    m[c.field] = static_cast<char>((value >> 8) & 0xFF);
    m[c.field + 1] = static_cast<char>(value & 0xFF);
    if (c.extra_byte) m.push_back('\0');
    EXPECT_EQ(tsig_find(m, &record), TsigFound::kMalformed) << c.what;
    EXPECT_EQ(tsig_verify_response(m, key_, mac, &record), TsigCheck::kBad) << c.what;
  }
}

TEST_F(TsigVectors, SignedResponseOutsideItsFudgeIsNotAccepted) {
  std::string mac;
  signed_request(&mac);
  TsigRecord record;
  ASSERT_EQ(tsig_verify_response(from_hex(kResponse), key_, mac, &record), TsigCheck::kValid);
  struct Case {
    long long clock_offset;
    bool accepted;
  } cases[] = {{0, true}, {300, true}, {-300, true}, {301, false}, {-301, false}, {-86400, false}};
  for (const Case& c : cases) {
    std::uint64_t now = static_cast<std::uint64_t>(static_cast<long long>(kTimeSigned) + c.clock_offset);
    EXPECT_EQ(tsig_time_acceptable(record, now), c.accepted) << c.clock_offset;
    EXPECT_EQ(tsig_time_skew(record, now), -c.clock_offset);
  }
  // Signed right, a day ahead of the request.
  ASSERT_EQ(tsig_verify_response(from_hex(kResponseADayLater), key_, mac, &record), TsigCheck::kValid);
  EXPECT_FALSE(tsig_time_acceptable(record, kTimeSigned));
  EXPECT_EQ(tsig_time_skew(record, kTimeSigned), 86400);
  // The server's BADTIME is signed and gives its clock in the other data.
  ASSERT_EQ(tsig_verify_response(from_hex(kBadTimeResponse), key_, mac, &record), TsigCheck::kValid);
  EXPECT_EQ(record.error, kTsigBadTime);
  std::uint64_t server_time = 0;
  ASSERT_TRUE(tsig_other_time(record, &server_time));
  EXPECT_EQ(server_time, kTimeSigned + 86400);
  record.other = "12345";
  EXPECT_FALSE(tsig_other_time(record, &server_time));
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
  EXPECT_EQ(tsig_verify_response(message, key_, "mac", &record), TsigCheck::kKeyError);
  EXPECT_EQ(record.error, kTsigBadKey);
  EXPECT_STREQ(rcode_text(record.error), "BADKEY");
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
  for (UpdateKind kind : {UpdateKind::kAdd, UpdateKind::kReplace, UpdateKind::kDelete}) {
    EXPECT_NE(build_update_message(1, zone, "abcde", kind, 0, 32, "tarvik owner=k"), "");
    EXPECT_EQ(build_update_message(1, zone, "abcdef", kind, 0, 32, "tarvik owner=k"), "");
    EXPECT_EQ(build_update_message(1, zone, "", kind, 0, 32, "tarvik owner=k"), "");
  }
  // The ownership text is one TXT string: a key name of 250 bytes is cut to fit.
  std::string text = ownership_text(true, std::string(250, 'k'));
  EXPECT_EQ(text.size(), 255u);
  EXPECT_NE(build_update_message(1, zone, "a", UpdateKind::kAdd, 0, 32, text), "");
  EXPECT_EQ(build_update_message(1, zone, "a", UpdateKind::kAdd, 0, 32, text + "k"), "");
  EXPECT_EQ(ownership_text(false, "ignored"), "tarvik owner=unsigned");
}

TEST(UpdateMessage, PublishesOnlyHostNames) {
  struct Case {
    const char* name;
    bool publishable;
  } cases[] = {
      {"dev1", true},       {"Printer-2", true}, {"a", true},          {"0", true},
      {"bad_name", false},  {"-dev", false},     {"dev-", false},      {"dev.x", false},
      {"", false},          {"d\xc3\xa9v", false},
  };
  for (const Case& c : cases) EXPECT_EQ(is_publishable_name(c.name), c.publishable) << c.name;
  EXPECT_TRUE(is_publishable_name(std::string(63, 'a')));
  EXPECT_FALSE(is_publishable_name(std::string(64, 'a')));
}

}  // namespace

// --- The sender, against a socket of the test standing in for the server ---

namespace {

void put_u16(std::string* out, int value) {
  out->push_back(static_cast<char>((value >> 8) & 0xFF));
  out->push_back(static_cast<char>(value & 0xFF));
}

// `request`'s header turned into a reply with `rcode`, no records.
std::string reply_to(const std::string& request, int rcode) {
  std::string reply = request.substr(0, 12);
  reply[2] = static_cast<char>(reply[2] | 0x80);
  reply[3] = static_cast<char>(rcode & 0x0F);
  for (int i = 4; i < 12; ++i) reply[static_cast<std::size_t>(i)] = 0;
  return reply;
}

// `reply` signed as the server signs its answer to `request`, at `time_signed`.
std::string sign_reply(std::string reply, const std::string& request, const TsigKey& key,
                       std::uint64_t time_signed, int error = 0, const std::string& other = "") {
  TsigRecord request_record;
  EXPECT_EQ(tsig_find(request, &request_record), TsigFound::kFound);
  std::string mac;
  EXPECT_TRUE(tsig_mac(key, request_record.mac, reply, time_signed, kTsigFudge, error, other, &mac));
  std::string rdata = request_record.algorithm;
  put_u16(&rdata, static_cast<int>((time_signed >> 32) & 0xFFFF));
  put_u16(&rdata, static_cast<int>((time_signed >> 16) & 0xFFFF));
  put_u16(&rdata, static_cast<int>(time_signed & 0xFFFF));
  put_u16(&rdata, kTsigFudge);
  put_u16(&rdata, static_cast<int>(mac.size()));
  rdata += mac;
  rdata += reply.substr(0, 2);
  put_u16(&rdata, error);
  put_u16(&rdata, static_cast<int>(other.size()));
  rdata += other;
  reply[11] = static_cast<char>(reply[11] + 1);
  reply += request_record.key_name;
  put_u16(&reply, kTypeTsig);
  put_u16(&reply, 255);
  reply += std::string(4, '\0');
  put_u16(&reply, static_cast<int>(rdata.size()));
  return reply + rdata;
}

// The unsigned error a server sends for a key or MAC it does not accept.
std::string unsigned_key_error(const std::string& request, int error) {
  TsigRecord request_record;
  EXPECT_EQ(tsig_find(request, &request_record), TsigFound::kFound);
  std::string reply = reply_to(request, kRcodeNotAuth);
  reply[11] = 1;
  return reply + tsig_unsigned_error_record(request_record, unix_time_seconds(), error);
}

class Publisher : public ::testing::Test {
 protected:
  using Message = std::pair<std::string, SocketAddress>;

  void SetUp() override {
    char dir[] = "/tmp/tarvik-publish-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    folder_ = dir;
    server_ = udp_open();
    ASSERT_NE(server_, kNoSocket);
    ASSERT_TRUE(udp_bind(server_, parse_ipv4("127.0.0.1"), 0));
    SocketAddress local;
    ASSERT_TRUE(socket_local_address(server_, &local));
    g_settings = Settings{};
    g_settings.config_path = folder_ + "/main.conf";
    g_settings.log_path = folder_;
    g_settings.update_server_ip = parse_ipv4("127.0.0.1");
    g_settings.update_server_port = socket_address_port(local);
    g_settings.update_zone = "devices.example.lan";
    ASSERT_TRUE(encode_wire_name(g_settings.update_zone, &zone_));
    clear_name_table();
    clock_ = tick_count_ms();
    publish_start();
  }
  void TearDown() override {
    publish_stop();
    socket_close(server_);
    clear_name_table();
    g_settings = Settings{};
    std::string command = "rm -rf '" + folder_ + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
  }
  void restart() {
    publish_stop();
    publish_start();
  }
  void use_key() {
    g_settings.update_key_set = true;
    g_settings.update_key_name = "tarvik-key";
    ASSERT_TRUE(base64_decode(kSecret, &g_settings.update_key_secret));
    key_ = TsigKey{g_settings.update_key_name, g_settings.update_key_algorithm, g_settings.update_key_secret};
    restart();
  }
  // The publisher's clock runs only when a test moves it on.
  void advance(std::uint32_t ms) { clock_ += ms; }
  // The loop's step before its wait: returns the messages that reach the
  // server, with where they came from.
  std::vector<Message> send_step() {
    wait_set_clear(&set_);
    add_publish_sockets(clock_, &set_);
    std::vector<Message> got;
    char buffer[1500];
    for (;;) {
      ReadSet read{};
      read.count = 1;
      read.handles[0] = server_;
      if (wait_readable(&read, 50000) <= 0) break;
      SocketAddress from;
      int n = udp_receive(server_, buffer, sizeof buffer, &from);
      if (n <= 0) break;
      got.emplace_back(std::string(buffer, static_cast<std::size_t>(n)), from);
    }
    return got;
  }
  // Sends `reply` to where `request` came from and lets the sender take it.
  void deliver(const Message& request, const std::string& reply) {
    ASSERT_EQ(udp_send(server_, reply.data(), static_cast<int>(reply.size()), request.second),
              static_cast<int>(reply.size()));
    ASSERT_GT(wait_sockets(&set_, 1000000), 0);
    serve_publish_sockets(clock_, set_);
  }
  void answer(const Message& request, int rcode) { deliver(request, reply_to(request.first, rcode)); }
  // The unsigned message of `kind` the sender should have sent as `sent`.
  std::string expected(const Message& sent, UpdateKind kind, const std::string& name, const char* address) {
    int id = (static_cast<unsigned char>(sent.first[0]) << 8) | static_cast<unsigned char>(sent.first[1]);
    return build_update_message(id, zone_, name, kind, parse_ipv4(address), 32,
                                ownership_text(false, std::string()));
  }
  static std::string owner(const std::string& message) {
    std::size_t at = 12 + 21 + 4;  // header, zone name, type and class
    return message.substr(at + 1, static_cast<unsigned char>(message[at]));
  }
  int logged(const std::string& line) {
    std::vector<std::string> messages = log_messages(folder_);
    return static_cast<int>(std::count(messages.begin(), messages.end(), line));
  }
  std::string state_file() { return read_file(folder_ + "/" + kPublishedStateFile); }

  std::string folder_;
  std::string zone_;
  TsigKey key_;
  Socket server_ = kNoSocket;
  WaitSet set_;
  std::uint32_t clock_ = 0;
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
  Message n0_message, n39_message;
  for (int round = 0; round < 5; ++round) {
    auto sent = send_step();
    for (auto& m : sent) {
      owners.push_back(owner(m.first));
      if (owners.back() == "n0") n0_message = m;
      if (owners.back() == "n39") n39_message = m;
      answer(m, 0);
    }
  }
  EXPECT_EQ(owners.size(), 40u - 17u + 1u);
  EXPECT_EQ(owners.back(), "n0");
  EXPECT_EQ(std::count(owners.begin(), owners.end(), "n39"), 1);
  // n0 is published: its new address replaces the old under its ownership record.
  EXPECT_EQ(n0_message.first, expected(n0_message, UpdateKind::kReplace, "n0", "10.1.0.200"));
  EXPECT_EQ(n39_message.first, expected(n39_message, UpdateKind::kAdd, "n39", "10.1.0.39"));
  EXPECT_EQ(publish_backlog(), 0u);
}

TEST_F(Publisher, ServerFailurePausesEveryNameAndASuccessEndsTheBackoff) {
  const Counters before = g_counters;
  publish_name("a", parse_ipv4("10.3.0.1"));
  ASSERT_EQ(send_step().size(), 1u);
  // No answer within 5 s: paused for 1 s, then 2 s, logged once.
  advance(5000);
  EXPECT_TRUE(send_step().empty());
  advance(1000);
  ASSERT_EQ(send_step().size(), 1u);
  advance(5000);
  EXPECT_TRUE(send_step().empty());
  advance(1999);
  EXPECT_TRUE(send_step().empty());
  advance(2);
  auto sent = send_step();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(logged("update a 10.3.0.1: no answer"), 1);
  answer(sent[0], 0);

  // SERVFAIL pauses every name; the success before set the pause back to 1 s.
  publish_name("b", parse_ipv4("10.3.0.2"));
  sent = send_step();
  ASSERT_EQ(sent.size(), 1u);
  answer(sent[0], kRcodeServFail);
  publish_name("c", parse_ipv4("10.3.0.3"));
  advance(999);
  EXPECT_TRUE(send_step().empty());
  advance(2);
  sent = send_step();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(owner(sent[0].first), "b");  // the retry first: it has waited longest
  EXPECT_EQ(sent[0].first, expected(sent[0], UpdateKind::kAdd, "b", "10.3.0.2"));
  EXPECT_EQ(owner(sent[1].first), "c");
  answer(sent[0], 0);
  answer(sent[1], 0);
  EXPECT_EQ(publish_backlog(), 0u);
  // Two answers waited for in vain and a SERVFAIL; a, b and c published.
  EXPECT_EQ(g_counters.updates_failed - before.updates_failed, 3u);
  EXPECT_EQ(g_counters.updates_published - before.updates_published, 3u);
}

TEST_F(Publisher, OnlyTheAnswerToItsMessageEndsIt) {
  publish_name("a", parse_ipv4("10.3.1.1"));
  auto sent = send_step();
  ASSERT_EQ(sent.size(), 1u);
  const std::string good = reply_to(sent[0].first, 0);
  std::string other_id = good;
  other_id[1] = static_cast<char>(other_id[1] ^ 1);
  std::string query = good;
  query[2] = static_cast<char>((query[2] & 0x87) | (0 << 3));
  struct Case {
    const char* what;
    std::string datagram;
  } cases[] = {
      {"the request echoed back (QR clear)", sent[0].first},
      {"another ID", other_id},
      {"another opcode", query},
      {"a header cut short", good.substr(0, 11)},
  };
  for (const Case& c : cases) {
    deliver(sent[0], c.datagram);
    EXPECT_EQ(publish_backlog(), 1u) << c.what;
  }
  EXPECT_TRUE(send_step().empty());
  deliver(sent[0], good);
  EXPECT_EQ(publish_backlog(), 0u);
  EXPECT_EQ(logged("update a 10.3.1.1: NOERROR"), 1);
}

TEST_F(Publisher, NameOfAnotherOwnerIsLeftAlone) {
  publish_name("printer", parse_ipv4("10.66.66.67"));
  auto sent = send_step();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].first, expected(sent[0], UpdateKind::kAdd, "printer", "10.66.66.67"));
  // In use; it may hold our records from before: tried at once as a replace.
  answer(sent[0], kRcodeYxDomain);
  sent = send_step();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].first, expected(sent[0], UpdateKind::kReplace, "printer", "10.66.66.67"));
  // Without our ownership record: someone else's.
  answer(sent[0], kRcodeNxRrset);
  EXPECT_TRUE(send_step().empty());
  EXPECT_EQ(publish_backlog(), 0u);
  const std::string line = "update printer: in use by another owner, not published";
  EXPECT_EQ(logged(line), 1);

  // Tried again when the name changes, logged no more; its removal sends nothing.
  publish_name("printer", parse_ipv4("10.66.66.68"));
  sent = send_step();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].first, expected(sent[0], UpdateKind::kAdd, "printer", "10.66.66.68"));
  answer(sent[0], kRcodeYxDomain);
  sent = send_step();
  ASSERT_EQ(sent.size(), 1u);
  answer(sent[0], kRcodeNxRrset);
  EXPECT_EQ(logged(line), 1);
  publish_removal("printer");
  EXPECT_TRUE(send_step().empty());
  EXPECT_EQ(publish_backlog(), 0u);
  restart();
  EXPECT_EQ(state_file().find("printer"), std::string::npos) << state_file();
}

TEST_F(Publisher, OwnRecordsAreChangedUnderTheirOwnershipRecord) {
  struct Step {
    const char* address;  // null: the removal
    UpdateKind kind;
    int rcode;
  } steps[] = {
      {"10.1.1.1", UpdateKind::kAdd, 0},
      {"10.1.1.2", UpdateKind::kReplace, 0},
      // Our records gone from the zone (an admin removed them): added again.
      {"10.1.1.3", UpdateKind::kReplace, kRcodeNxRrset},
      {"10.1.1.3", UpdateKind::kAdd, 0},
      {nullptr, UpdateKind::kDelete, 0},
      // Not ours any more, so it is added; in use, yet with our record (the
      // state file lost): replaced.
      {"10.1.1.4", UpdateKind::kAdd, kRcodeYxDomain},
      {"10.1.1.4", UpdateKind::kReplace, 0},
      // A removal that finds nothing of ours is done.
      {nullptr, UpdateKind::kDelete, kRcodeNxRrset},
  };
  const char* last = nullptr;
  bool removed = false;
  for (const Step& step : steps) {
    bool change = step.address == nullptr ? !removed : (last == nullptr || std::string(last) != step.address);
    if (change && step.address != nullptr) publish_name("dev", parse_ipv4(step.address));
    if (change && step.address == nullptr) publish_removal("dev");
    removed = step.address == nullptr;
    last = step.address;
    auto sent = send_step();
    ASSERT_EQ(sent.size(), 1u) << static_cast<int>(step.kind) << " " << (step.address ? step.address : "-");
    EXPECT_EQ(sent[0].first, expected(sent[0], step.kind, "dev", step.address ? step.address : "0.0.0.0"))
        << (step.address ? step.address : "removal");
    answer(sent[0], step.rcode);
  }
  EXPECT_TRUE(send_step().empty());
  EXPECT_EQ(publish_backlog(), 0u);
  EXPECT_EQ(logged("update dev deleted: nothing of ours there"), 1);
}

TEST_F(Publisher, RefusedNameBacksOffAloneAndIsGivenUp) {
  publish_name("refused", parse_ipv4("10.2.0.1"));
  auto sent = send_step();
  ASSERT_EQ(sent.size(), 1u);
  answer(sent[0], kRcodeRefused);
  // Another name goes out at once.
  publish_name("good", parse_ipv4("10.2.0.2"));
  sent = send_step();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(owner(sent[0].first), "good");
  answer(sent[0], 0);
  // The refused one after 1 s, then after 2 s, then given up.
  for (std::uint32_t wait : {1000u, 2000u}) {
    advance(wait - 1);
    EXPECT_TRUE(send_step().empty()) << wait;
    advance(2);
    sent = send_step();
    ASSERT_EQ(sent.size(), 1u) << wait;
    EXPECT_EQ(owner(sent[0].first), "refused");
    answer(sent[0], wait == 1000 ? kRcodeNotAuth : kRcodeRefused);
  }
  EXPECT_EQ(logged("update refused 10.2.0.1: REFUSED, given up until the name changes"), 1);
  advance(60000);
  EXPECT_TRUE(send_step().empty());
  EXPECT_EQ(publish_backlog(), 0u);
  // A new address is a new try.
  publish_name("refused", parse_ipv4("10.2.0.3"));
  sent = send_step();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].first, expected(sent[0], UpdateKind::kAdd, "refused", "10.2.0.3"));
  answer(sent[0], 0);
}

TEST_F(Publisher, OnlyHostNamesArePublished) {
  publish_name("bad_name", parse_ipv4("10.2.1.1"));
  publish_name("bad_name", parse_ipv4("10.2.1.2"));
  publish_name("-dash", parse_ipv4("10.2.1.3"));
  publish_name("fine", parse_ipv4("10.2.1.4"));
  auto sent = send_step();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(owner(sent[0].first), "fine");
  answer(sent[0], 0);
  publish_removal("bad_name");
  EXPECT_TRUE(send_step().empty());
  EXPECT_EQ(logged("update bad_name: not a host name, kept local"), 1);
  EXPECT_EQ(logged("update -dash: not a host name, kept local"), 1);
  EXPECT_EQ(publish_backlog(), 0u);
}

TEST_F(Publisher, UnsignedOrForgedAnswersAreIgnoredAndLoggedOnce) {
  use_key();
  publish_name("a", parse_ipv4("10.3.2.1"));
  auto sent = send_step();
  ASSERT_EQ(sent.size(), 1u);
  TsigKey wrong = key_;
  wrong.secret[0] = static_cast<char>(wrong.secret[0] ^ 1);
  struct Case {
    const char* line;
    std::string datagram;
  } cases[] = {
      {"update a 10.3.2.1: unsigned NOERROR answer ignored", reply_to(sent[0].first, 0)},
      {"update a 10.3.2.1: unsigned BADKEY answer ignored", unsigned_key_error(sent[0].first, kTsigBadKey)},
      {"update a 10.3.2.1: unsigned BADSIG answer ignored", unsigned_key_error(sent[0].first, kTsigBadSig)},
      {"update a 10.3.2.1: unsigned NOTAUTH answer ignored", reply_to(sent[0].first, kRcodeNotAuth)},
      {"update a 10.3.2.1: NOERROR answer with a wrong signature ignored",
       sign_reply(reply_to(sent[0].first, 0), sent[0].first, wrong, unix_time_seconds())},
  };
  for (int round = 0; round < 2; ++round) {
    for (const Case& c : cases) {
      deliver(sent[0], c.datagram);
      EXPECT_EQ(logged(c.line), 1) << c.line;
    }
  }
  // None of them ended the message, nor paused the others.
  EXPECT_EQ(publish_backlog(), 1u);
  publish_name("b", parse_ipv4("10.3.2.2"));
  auto other = send_step();
  ASSERT_EQ(other.size(), 1u);
  // The signed answer counts.
  deliver(sent[0], sign_reply(reply_to(sent[0].first, 0), sent[0].first, key_, unix_time_seconds()));
  EXPECT_EQ(logged("update a 10.3.2.1: NOERROR"), 1);
  deliver(other[0], sign_reply(reply_to(other[0].first, 0), other[0].first, key_, unix_time_seconds()));
  EXPECT_EQ(publish_backlog(), 0u);
}

TEST_F(Publisher, SignedAnswersOffTheClockPauseEveryName) {
  use_key();
  publish_name("a", parse_ipv4("10.3.3.1"));
  auto sent = send_step();
  ASSERT_EQ(sent.size(), 1u);
  // Signed right, but a day ahead: not accepted, as the server's BADTIME.
  deliver(sent[0], sign_reply(reply_to(sent[0].first, 0), sent[0].first, key_, unix_time_seconds() + 86400));
  EXPECT_EQ(logged("update a 10.3.3.1: BADTIME, the answer's time is 86400 s ahead of our clock"), 1);
  publish_name("b", parse_ipv4("10.3.3.2"));
  EXPECT_TRUE(send_step().empty());
  advance(1001);
  sent = send_step();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(owner(sent[0].first), "a");
  // The server's BADTIME gives its clock: the line says how far apart.
  TsigRecord request;
  ASSERT_EQ(tsig_find(sent[0].first, &request), TsigFound::kFound);
  std::string server_clock;
  std::uint64_t clock = request.time_signed - 3600;
  for (int shift = 40; shift >= 0; shift -= 8) server_clock.push_back(static_cast<char>((clock >> shift) & 0xFF));
  deliver(sent[0], sign_reply(reply_to(sent[0].first, kRcodeNotAuth), sent[0].first, key_, request.time_signed,
                              kTsigBadTime, server_clock));
  EXPECT_EQ(logged("update a 10.3.3.1: BADTIME, the server's clock is 3600 s behind ours"), 1);
  EXPECT_EQ(publish_backlog(), 2u);
  deliver(sent[1], sign_reply(reply_to(sent[1].first, 0), sent[1].first, key_, unix_time_seconds()));
  EXPECT_EQ(publish_backlog(), 1u);
}

TEST_F(Publisher, StateFileKeepsWhatMayBeOursAcrossAStop) {
  publish_name("dev1", parse_ipv4("10.4.0.1"));
  auto sent = send_step();
  ASSERT_EQ(sent.size(), 1u);
  // The file learnt the name before the server could.
  EXPECT_NE(state_file().find("\ndev1\n"), std::string::npos) << state_file();
  answer(sent[0], 0);
  // Its removal finds the server gone, and the service stops.
  publish_removal("dev1");
  ASSERT_EQ(send_step().size(), 1u);
  advance(5000);
  EXPECT_TRUE(send_step().empty());
  publish_stop();
  EXPECT_NE(state_file().find("\ndev1\n"), std::string::npos) << state_file();
  // The next start removes it, though the table no longer names it.
  publish_start();
  sent = send_step();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].first, expected(sent[0], UpdateKind::kDelete, "dev1", "0.0.0.0"));
  answer(sent[0], 0);
  restart();
  EXPECT_TRUE(send_step().empty());
  EXPECT_EQ(state_file().find("dev1"), std::string::npos) << state_file();
}

TEST_F(Publisher, AtStartTheStateFileSaysWhichNamesAreOurs) {
  publish_stop();
  write_file(folder_ + "/" + kPublishedStateFile, "zone devices.example.lan\nkept\ngone\n");
  ASSERT_TRUE(update_name_table("kept", "10.4.1.1"));
  ASSERT_TRUE(update_name_table("fresh", "10.4.1.2"));
  publish_start();
  auto sent = send_step();
  ASSERT_EQ(sent.size(), 3u);
  std::sort(sent.begin(), sent.end(),
            [](const Message& a, const Message& b) { return owner(a.first) < owner(b.first); });
  EXPECT_EQ(sent[0].first, expected(sent[0], UpdateKind::kAdd, "fresh", "10.4.1.2"));
  EXPECT_EQ(sent[1].first, expected(sent[1], UpdateKind::kDelete, "gone", "0.0.0.0"));
  EXPECT_EQ(sent[2].first, expected(sent[2], UpdateKind::kReplace, "kept", "10.4.1.1"));
  for (const Message& m : sent) answer(m, 0);
  // A file of another zone: its names are not ours to remove from this one.
  publish_stop();
  clear_name_table();
  write_file(folder_ + "/" + kPublishedStateFile, "zone old.example.lan\nold1\nold2\n");
  publish_start();
  EXPECT_TRUE(send_step().empty());
  EXPECT_EQ(logged(folder_ + "/published: 2 names published into old.example.lan are left there: "
                             "update-zone is now devices.example.lan"),
            1);
}

}  // namespace
