// The DNS codec against hand-built messages, and the DNS service over real
// loopback sockets.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "config.h"
#include "dns.h"
#include "dns_codec.h"
#include "host.h"
#include "platform.h"
#include "registry.h"
#include "stats.h"
#include "test_files.h"
#include "tsig.h"

namespace {

using Bytes = std::vector<unsigned char>;

// A query: header with the given flags byte and QDCOUNT, then one question.
// `labels` are the QNAME's labels, written as they are.
Bytes make_query(const std::vector<std::string>& labels, int qtype = 1, int qclass = 1,
                 unsigned char flags = 0x01, int qdcount = 1) {
  Bytes m = {0x12, 0x34, flags, 0x00, static_cast<unsigned char>(qdcount >> 8),
             static_cast<unsigned char>(qdcount), 0, 0, 0, 0, 0, 0};
  for (const std::string& label : labels) {
    m.push_back(static_cast<unsigned char>(label.size()));
    m.insert(m.end(), label.begin(), label.end());
  }
  m.push_back(0);
  m.push_back(static_cast<unsigned char>(qtype >> 8));
  m.push_back(static_cast<unsigned char>(qtype));
  m.push_back(static_cast<unsigned char>(qclass >> 8));
  m.push_back(static_cast<unsigned char>(qclass));
  return m;
}

struct Decoded {
  int result;
  std::string name;
  int qtype;
  int qclass;
};

// Decodes from a heap copy of exactly `length` bytes, so that a read past
// the received length is caught by the sanitizer build, and checks that the
// name buffer holds a zero-terminated string within its capacity.
Decoded decode(const Bytes& message, std::size_t length, unsigned capacity = 500) {
  std::vector<unsigned char> exact(message.begin(), message.begin() + length);
  std::vector<char> name(capacity + 16, '#');
  Decoded d{};
  int question_end = 0;
  d.result = decode_question(name.data(), capacity, exact.data(), static_cast<int>(length),
                             &d.qtype, &d.qclass, &question_end);
  EXPECT_EQ(question_end > 0, d.result >= 0);
  const void* zero = std::memchr(name.data(), 0, capacity);
  EXPECT_NE(zero, nullptr) << "name buffer not terminated within its capacity";
  for (std::size_t i = capacity; i < name.size(); ++i) EXPECT_EQ(name[i], '#') << "wrote past";
  d.name = zero ? std::string(name.data()) : std::string();
  return d;
}
Decoded decode(const Bytes& message) { return decode(message, message.size()); }

TEST(DnsDecode, ReadsTheFirstQuestionWhateverTheHeader) {
  Bytes header_only = make_query({"a", "b"});
  header_only.resize(12);
  struct Case {
    const char* what;
    Bytes message;
    int result;
    const char* name;
    int qtype;
    int qclass;
  } cases[] = {
      {"header only", header_only, -1, "", 0, 0},
      {"root name", make_query({}), 0, "", 1, 1},
      {"opcode 2, QR set: the header is not the decoder's business",
       make_query({"a", "b"}, 1, 1, 0x91), 3, "a.b", 1, 1},
      {"AAAA, class ANY", make_query({"a", "b"}, 28, 255), 3, "a.b", 28, 255},
      {"QDCOUNT 0", make_query({"dev", "tarvik"}, 1, 1, 0x01, 0), 10, "dev.tarvik", 1, 1},
      {"bytes copied as they are, a dot or backslash in a label escaped",
       make_query({"A.b\\", "C"}), 8, "A\\.b\\\\.C", 1, 1},
      {"63-byte label", make_query({std::string(63, 'x')}), 63, "", 1, 1},
      {"64-byte label", make_query({std::string(64, 'x')}), -1, "", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Decoded d = decode(c.message);
    EXPECT_EQ(d.result, c.result);
    if (c.result != 63) {
      EXPECT_EQ(d.name, c.name);
    }
    EXPECT_EQ(d.qtype, c.qtype);
    EXPECT_EQ(d.qclass, c.qclass);
  }
}

TEST(DnsDecode, NameMustFitTheCapacity) {
  std::string a(63, 'a');
  Decoded fits = decode(make_query({a, a, a, a, a, a, a, std::string(50, 'b')}));
  EXPECT_EQ(fits.result, 498);
  EXPECT_EQ(fits.name, a + "." + a + "." + a + "." + a + "." + a + "." + a + "." + a + "." +
                           std::string(50, 'b'));

  Decoded too_long = decode(make_query({a, a, a, a, a, a, a, std::string(51, 'b')}));
  EXPECT_EQ(too_long.result, -1);
  EXPECT_LE(too_long.name.size(), 499u);

  // Small capacities: the zero always fits, the name only with room to spare.
  EXPECT_EQ(decode(make_query({"ab"}), make_query({"ab"}).size(), 4).result, 2);
  EXPECT_EQ(decode(make_query({"ab"}), make_query({"ab"}).size(), 3).result, -1);
  EXPECT_EQ(decode(make_query({"ab"}), make_query({"ab"}).size(), 1).result, -1);
  // An escaped dot takes its room in the text.
  EXPECT_EQ(decode(make_query({"a.b"}), make_query({"a.b"}).size(), 6).result, 4);
  EXPECT_EQ(decode(make_query({"a.b"}), make_query({"a.b"}).size(), 5).result, -1);
}

TEST(DnsDecode, NeverReadsPastTheReceivedLength) {
  // Every truncation of a valid query fails, and none reads past its end.
  Bytes full = make_query({"printer", "lab", "tarvik"});
  ASSERT_EQ(decode(full).result, 18);
  for (std::size_t length = 0; length < full.size(); ++length) {
    SCOPED_TRACE(length);
    Decoded d = decode(full, length);
    EXPECT_EQ(d.result, -1);
    EXPECT_EQ(d.qtype, 0);
  }
}

TEST(DnsDecode, HostileNames) {
  Bytes head = make_query({});
  head.resize(12);
  auto with = [&](std::initializer_list<unsigned char> tail) {
    Bytes m = head;
    m.insert(m.end(), tail);
    return m;
  };
  Bytes pointer_with_room = with({0xC0, 0x0C});
  pointer_with_room.resize(12 + 1 + 192, 'p');  // a 192-byte "label" is all there
  pointer_with_room.insert(pointer_with_room.end(), {0, 0, 1, 0, 1});
  struct Case {
    const char* what;
    Bytes message;
  } cases[] = {
      {"pointer to itself", with({0xC0, 0x0C, 0, 1, 0, 1})},
      {"pointer after a label", with({1, 'a', 0xC0, 0x0C, 0, 1, 0, 1})},
      {"label longer than the rest", with({5, 'a', 'b', 0, 1})},
      {"length byte is the last byte", with({3})},
      {"name without its end", with({1, 'a', 1, 'b'})},
      {"type and class cut short", with({1, 'a', 0, 0, 1, 0})},
      {"255-byte label in a short datagram", with({255, 'x', 'y', 0, 0, 1, 0, 1})},
      {"pointer with room for it as a label", pointer_with_room},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(decode(c.message).result, -1);
  }
}

// --- Answering: the whole reply, byte for byte --------------------------------

// Hex digits, spaces ignored; 'text' in single quotes is copied as it is.
Bytes hex(const std::string& text) {
  Bytes out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == ' ') continue;
    if (text[i] == '\'') {
      std::size_t end = text.find('\'', i + 1);
      out.insert(out.end(), text.begin() + i + 1, text.begin() + end);
      i = end;
      continue;
    }
    out.push_back(static_cast<unsigned char>(std::stoi(text.substr(i, 2), nullptr, 16)));
    ++i;
  }
  return out;
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The query's question, as the reply must carry it back.
Bytes question_of(const Bytes& query) {
  std::size_t end = 12;
  while (query[end] != 0) end += query[end] + 1;
  return Bytes(query.begin() + 12, query.begin() + end + 5);
}

// Appends a record to the additional section (ARCOUNT + 1).
Bytes with_additional(Bytes query, const Bytes& record) {
  query[11] = static_cast<unsigned char>(query[11] + 1);
  return query + record;
}

// Client OPT records: payload 4096, DO set, a cookie option.
const Bytes kClientOpt = hex("00 0029 1000 00 00 8000 000C 000A 0008 0102030405060708");
const Bytes kClientOptNoDo = hex("00 0029 0200 00 00 0000 0000");
const Bytes kClientOptVersion1 = hex("00 0029 1000 00 01 0000 0000");

// The records the server appends.
const Bytes kAnswerDev = hex("C00C 0001 0001 00000020 0004 C0A80114");
const Bytes kZoneNs = hex("06'tarvik'00 0002 0001 00000020 000B 02'ns'06'tarvik'00");
const Bytes kGlue = hex("02'ns'06'tarvik'00 0001 0001 00000020 0004 0A090807");
const Bytes kOpt = hex("00 0029 04D0 00 00 0000 0000");
const Bytes kOptDo = hex("00 0029 04D0 00 00 8000 0000");
const Bytes kOptBadVers = hex("00 0029 04D0 01 00 0000 0000");

Bytes soa(std::uint32_t serial) {
  Bytes serial_bytes = {static_cast<unsigned char>(serial >> 24),
                        static_cast<unsigned char>(serial >> 16),
                        static_cast<unsigned char>(serial >> 8), static_cast<unsigned char>(serial)};
  return hex("06'tarvik'00 0006 0001 00000020 0035 02'ns'06'tarvik'00 "
             "0A'hostmaster'02'ns'06'tarvik'00") +
         serial_bytes + hex("00003840 00000E10 00127500 00000020");
}

struct Answered {
  QueryOutcome outcome;
  Bytes reply;
};

// Answers `query` in a heap buffer of exactly `capacity` bytes (the query's
// own length when 0), so that the sanitizer build catches any read or write
// past it.
Answered answer(const Bytes& query, int capacity = 512, Transport transport = Transport::kUdp) {
  if (capacity == 0) capacity = static_cast<int>(query.size());
  std::vector<unsigned char> buffer(capacity, 0xEE);
  std::copy(query.begin(), query.end(), buffer.begin());
  int reply_length = -1;
  Answered a{answer_query(buffer.data(), static_cast<int>(query.size()), capacity, transport,
                          &reply_length),
             {}};
  if (a.outcome == QueryOutcome::kReply) {
    EXPECT_GE(reply_length, 12);
    EXPECT_LE(reply_length, capacity);
    if (reply_length >= 0 && reply_length <= capacity) {
      a.reply.assign(buffer.begin(), buffer.begin() + reply_length);
    }
  } else if (a.outcome == QueryOutcome::kForward) {
    EXPECT_TRUE(std::equal(query.begin(), query.end(), buffer.begin())) << "forward changed";
  }
  return a;
}

class AnswerQuery : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = g_settings;
    g_settings.log_path = ::testing::TempDir();
    g_settings.verbose = false;
    g_settings.dns_server_ip = kAddressNone;
    g_settings.tarvik_server_ip = parse_ipv4("10.9.8.7");
    clear_name_table();
    update_name_table("dev", "192.168.1.20");
    update_name_table("printer", "192.168.1.21");
  }
  void TearDown() override {
    clear_name_table();
    g_settings = saved_;
  }
  Settings saved_;
};

TEST_F(AnswerQuery, RepliesByteForByte) {
  const Bytes dev = make_query({"dev", "tarvik"});
  const Bytes mixed = make_query({"DeV", "TaRvIk"});
  const Bytes nobody = make_query({"nobody", "tarvik"});
  const Bytes apex_soa = make_query({"tarvik"}, 6);
  const Bytes ns = make_query({"ns", "TARVIK"});
  const Bytes external = make_query({"www", "example", "test"});
  // Labels holding a dot byte: "dev\.tarvik." and "ns\.tarvik." are names
  // of one label, "ns.x\.tarvik." one of two whose last is not the zone's.
  const Bytes dotted_dev = make_query({"dev.tarvik"});
  const Bytes dotted_ns = make_query({"ns.tarvik"});
  const Bytes dotted_last = make_query({"ns", "x.tarvik"});
  const Bytes dotted_below = make_query({"x.dev", "tarvik"});
  // Records behind the question whose owner name no reader can follow
  // (the question of `dev` ends at offset 28).
  const Bytes formerr_dev = hex("1234 8101 0001 0000 0000 0000") + question_of(dev);
  auto with_owner = [&](const char* owner) {
    return with_additional(dev, hex(std::string(owner) + " 0001 0001 00000000 0000"));
  };
  // The same record in the answer (ANCOUNT) or authority (NSCOUNT) section.
  auto in_section = [&](int count_byte, const char* owner) {
    Bytes query = dev + hex(std::string(owner) + " 0001 0001 00000000 0000");
    query[count_byte] = 1;
    return query;
  };
  auto in_answer = [&](const char* owner) { return in_section(7, owner); };
  auto in_authority = [&](const char* owner) { return in_section(9, owner); };
  const std::uint32_t serial = name_table_version();
  auto header = [](const char* flags, const char* counts) {
    return hex(std::string("1234") + flags + counts);
  };
  struct Case {
    const char* what;
    Bytes query;
    bool upstream;
    QueryOutcome outcome;
    Bytes reply;
  } cases[] = {
      {"registered A: answer, NS and glue, as always", dev, false, QueryOutcome::kReply,
       header("8500", "0001 0001 0001 0001") + question_of(dev) + kAnswerDev + kZoneNs + kGlue},
      {"RA set when an upstream server is configured", dev, true, QueryOutcome::kReply,
       header("8580", "0001 0001 0001 0001") + question_of(dev) + kAnswerDev + kZoneNs + kGlue},
      {"any case; the question goes back as asked", mixed, false, QueryOutcome::kReply,
       header("8500", "0001 0001 0001 0001") + question_of(mixed) + kAnswerDev + kZoneNs + kGlue},
      {"EDNS: the server's OPT, DO copied, no cookie", with_additional(dev, kClientOpt), false,
       QueryOutcome::kReply,
       header("8500", "0001 0001 0001 0002") + question_of(dev) + kAnswerDev + kZoneNs + kGlue +
           kOptDo},
      {"ANY of a registered name: its A record", make_query({"dev", "tarvik"}, 255), false,
       QueryOutcome::kReply,
       header("8500", "0001 0001 0001 0001") + question_of(make_query({"dev", "tarvik"}, 255)) +
           kAnswerDev + kZoneNs + kGlue},
      {"class ANY: answered in class IN", make_query({"dev", "tarvik"}, 1, 255), false,
       QueryOutcome::kReply,
       header("8500", "0001 0001 0001 0001") + question_of(make_query({"dev", "tarvik"}, 1, 255)) +
           kAnswerDev + kZoneNs + kGlue},
      {"missing name: NXDOMAIN with the SOA", nobody, false, QueryOutcome::kReply,
       header("8503", "0001 0000 0001 0000") + question_of(nobody) + soa(serial)},
      {"missing name, EDNS without DO", with_additional(nobody, kClientOptNoDo), false,
       QueryOutcome::kReply,
       header("8503", "0001 0000 0001 0001") + question_of(nobody) + soa(serial) + kOpt},
      {"AAAA of a registered name: no data, with the SOA", make_query({"dev", "tarvik"}, 28),
       false, QueryOutcome::kReply,
       header("8500", "0001 0000 0001 0000") + question_of(make_query({"dev", "tarvik"}, 28)) +
           soa(serial)},
      {"zone SOA", apex_soa, false, QueryOutcome::kReply,
       header("8500", "0001 0001 0000 0000") + question_of(apex_soa) + soa(serial)},
      {"zone NS, with the glue", make_query({"TarviK"}, 2), false, QueryOutcome::kReply,
       header("8500", "0001 0001 0000 0001") + question_of(make_query({"TarviK"}, 2)) + kZoneNs +
           kGlue},
      {"zone ANY", make_query({"tarvik"}, 255), false, QueryOutcome::kReply,
       header("8500", "0001 0002 0000 0001") + question_of(make_query({"tarvik"}, 255)) +
           soa(serial) + kZoneNs + kGlue},
      {"zone A: no data", make_query({"tarvik"}), false, QueryOutcome::kReply,
       header("8500", "0001 0000 0001 0000") + question_of(make_query({"tarvik"})) + soa(serial)},
      {"ns.tarvik A: the server's address", ns, false, QueryOutcome::kReply,
       header("8500", "0001 0001 0000 0000") + question_of(ns) +
           hex("C00C 0001 0001 00000020 0004 0A090807")},
      {"ns.tarvik AAAA: no data", make_query({"ns", "tarvik"}, 28), false, QueryOutcome::kReply,
       header("8500", "0001 0000 0001 0000") + question_of(make_query({"ns", "tarvik"}, 28)) +
           soa(serial)},
      {"below a registered name: NXDOMAIN", make_query({"x", "dev", "tarvik"}), false,
       QueryOutcome::kReply,
       header("8503", "0001 0000 0001 0000") + question_of(make_query({"x", "dev", "tarvik"})) +
           soa(serial)},
      {"a registered name below another: NXDOMAIN", make_query({"dev", "dev", "tarvik"}), false,
       QueryOutcome::kReply,
       header("8503", "0001 0000 0001 0000") + question_of(make_query({"dev", "dev", "tarvik"})) +
           soa(serial)},
      {"a registered name above a label: NXDOMAIN", make_query({"dev", "x", "tarvik"}), false,
       QueryOutcome::kReply,
       header("8503", "0001 0000 0001 0000") + question_of(make_query({"dev", "x", "tarvik"})) +
           soa(serial)},
      {"class CH in the zone: REFUSED", make_query({"dev", "tarvik"}, 1, 3), false,
       QueryOutcome::kReply,
       header("8105", "0001 0000 0000 0000") + question_of(make_query({"dev", "tarvik"}, 1, 3))},
      {"zone transfer: REFUSED", make_query({"tarvik"}, 252), false, QueryOutcome::kReply,
       header("8105", "0001 0000 0000 0000") + question_of(make_query({"tarvik"}, 252))},
      {"other names without upstream: REFUSED", external, false, QueryOutcome::kReply,
       header("8105", "0001 0000 0000 0000") + question_of(external)},
      {"other names without upstream, EDNS", with_additional(external, kClientOpt), false,
       QueryOutcome::kReply,
       header("8105", "0001 0000 0000 0001") + question_of(external) + kOptDo},
      {"the root without upstream: REFUSED", make_query({}), false, QueryOutcome::kReply,
       header("8105", "0001 0000 0000 0000") + question_of(make_query({}))},
      {"other names with upstream: relayed", external, true, QueryOutcome::kForward, {}},
      {"relayed whatever their EDNS", with_additional(external, kClientOptVersion1), true,
       QueryOutcome::kForward, {}},
      {"a suffix without its dot is not ours", make_query({"xtarvik"}), true,
       QueryOutcome::kForward, {}},
      {"one label holding a dot is not the zone: relayed", dotted_dev, true,
       QueryOutcome::kForward, {}},
      {"nor is ns with a dot", dotted_ns, true, QueryOutcome::kForward, {}},
      {"one label holding a dot, without upstream: REFUSED", dotted_dev, false,
       QueryOutcome::kReply, header("8105", "0001 0000 0000 0000") + question_of(dotted_dev)},
      {"a last label holding a dot: REFUSED", dotted_last, false, QueryOutcome::kReply,
       header("8105", "0001 0000 0000 0000") + question_of(dotted_last)},
      {"a dotted label in the zone is no registered name: NXDOMAIN", dotted_below, false,
       QueryOutcome::kReply,
       header("8503", "0001 0000 0001 0000") + question_of(dotted_below) + soa(serial)},
      {"a response is dropped", make_query({"dev", "tarvik"}, 1, 1, 0x81), true,
       QueryOutcome::kDrop, {}},
      {"a response to an external name too", make_query({"a", "test"}, 1, 1, 0x80), true,
       QueryOutcome::kDrop, {}},
      {"shorter than a header", hex("1234 0100 0001 0000 0000"), true, QueryOutcome::kDrop, {}},
      {"IQUERY: NOTIMP", make_query({"dev", "tarvik"}, 1, 1, 0x09), true, QueryOutcome::kReply,
       header("8984", "0001 0000 0000 0000") + question_of(dev)},
      {"STATUS of an external name: NOTIMP", make_query({"a", "test"}, 1, 1, 0x10), true,
       QueryOutcome::kReply,
       header("9084", "0001 0000 0000 0000") + question_of(make_query({"a", "test"}))},
      {"QDCOUNT 0: FORMERR", make_query({"dev", "tarvik"}, 1, 1, 0x01, 0), false,
       QueryOutcome::kReply, header("8101", "0000 0000 0000 0000")},
      {"QDCOUNT 2: FORMERR", make_query({"a", "test"}, 1, 1, 0x01, 2), true, QueryOutcome::kReply,
       header("8181", "0000 0000 0000 0000")},
      {"question past the end: FORMERR", hex("1234 0100 0001 0000 0000 0000 03'dev'"), true,
       QueryOutcome::kReply, header("8181", "0000 0000 0000 0000")},
      {"compressed question: FORMERR", hex("1234 0100 0001 0000 0000 0000 C00C 0001 0001"), true,
       QueryOutcome::kReply, header("8181", "0000 0000 0000 0000")},
      {"EDNS version 1: BADVERS", with_additional(dev, kClientOptVersion1), false,
       QueryOutcome::kReply, header("8100", "0001 0000 0000 0001") + question_of(dev) + kOptBadVers},
      {"two OPT records: FORMERR", with_additional(with_additional(dev, kClientOpt), kClientOpt),
       false, QueryOutcome::kReply, header("8101", "0001 0000 0000 0000") + question_of(dev)},
      {"OPT with a name: FORMERR", with_additional(dev, hex("01'x'00 0029 1000 00000000 0000")),
       false, QueryOutcome::kReply, header("8101", "0001 0000 0000 0000") + question_of(dev)},
      {"OPT cut short: FORMERR", with_additional(dev, hex("00 0029 1000 00000000 0004 000A")),
       false, QueryOutcome::kReply, header("8101", "0001 0000 0000 0000") + question_of(dev)},
      {"a record's name pointing at itself: FORMERR", with_owner("C01C"), false,
       QueryOutcome::kReply, formerr_dev},
      {"a label, then a pointer back to it: FORMERR", with_owner("01'a' C01C"), false,
       QueryOutcome::kReply, formerr_dev},
      {"a pointer past the message: FORMERR", with_owner("C100"), false, QueryOutcome::kReply,
       formerr_dev},
      {"a pointer into the header: FORMERR", with_owner("C002"), false, QueryOutcome::kReply,
       formerr_dev},
      {"label type 0x40 in an additional record's owner: FORMERR", with_owner("41'a' 00"), false,
       QueryOutcome::kReply, formerr_dev},
      {"label type 0x80 behind a label: FORMERR", with_owner("01'a' 80 00"), false,
       QueryOutcome::kReply, formerr_dev},
      {"label type 0x80 in an answer record's owner: FORMERR", in_answer("80 00"), false,
       QueryOutcome::kReply, formerr_dev},
      {"label type 0x40 in an authority record's owner: FORMERR", in_authority("40"), false,
       QueryOutcome::kReply, formerr_dev},
      {"a pointer to the question's name is fine", with_owner("C00C"), false,
       QueryOutcome::kReply,
       header("8500", "0001 0001 0001 0001") + question_of(dev) + kAnswerDev + kZoneNs + kGlue},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    g_settings.dns_server_ip = c.upstream ? parse_ipv4("127.53.0.1") : kAddressNone;
    Answered a = answer(c.query);
    EXPECT_EQ(a.outcome, c.outcome);
    EXPECT_EQ(a.reply, c.reply);
  }
}

TEST_F(AnswerQuery, HeaderBitsAreSetNotCopied) {
  // The query sets every bit it can: opcode 0 with AA, TC and RD, then Z,
  // AD, CD and RCODE 5. Only RD and CD come back, and the RCODE is ours.
  Bytes query = make_query({"nobody", "tarvik"}, 1, 1, 0x07);
  query[3] = 0x75;
  Bytes reply = answer(query).reply;
  ASSERT_GE(reply.size(), 4u);
  EXPECT_EQ(reply[2], 0x85);
  EXPECT_EQ(reply[3], 0x13);

  // Records in a query's answer and authority sections are never echoed.
  Bytes stuffed = make_query({"dev", "tarvik"}, 1, 1, 0x00);
  stuffed[7] = 1;
  stuffed[9] = 1;
  stuffed = stuffed + hex("C00C 0001 0001 00000020 0004 01020304") +
            hex("C00C 0002 0001 00000020 0002 C00C");
  Bytes expected = hex("1234 8400 0001 0001 0001 0001") + question_of(stuffed) + kAnswerDev +
                   kZoneNs + kGlue;
  EXPECT_EQ(answer(stuffed).reply, expected);

  // An OPT in the answer section is a format error.
  Bytes misplaced = make_query({"dev", "tarvik"});
  misplaced[7] = 1;
  misplaced = misplaced + kClientOpt;
  EXPECT_EQ(answer(misplaced).reply, hex("1234 8101 0001 0000 0000 0000") + question_of(misplaced));
}

TEST_F(AnswerQuery, NamesLongerThan255BytesAreFormatErrors) {
  std::string label(63, 'a');
  // 4 x 64 + 7 + 1 = 264 bytes of name with ".tarvik"; 3 labels + 61 fit.
  Bytes too_long = make_query({label, label, label, label, "tarvik"});
  EXPECT_EQ(answer(too_long).reply, hex("1234 8101 0000 0000 0000 0000"));
  Bytes longest = make_query({label, label, label, std::string(54, 'b'), "tarvik"});
  ASSERT_EQ(question_of(longest).size(), 255u + 4u);
  Answered a = answer(longest);
  EXPECT_EQ(a.reply.size(), 12u + 259u + soa(0).size()) << "NXDOMAIN with the SOA";

  // The longest name is read whatever its bytes, even when every one of
  // them is a dot that its text writes as two.
  Bytes dots = make_query({std::string(63, '.'), std::string(63, '.'), std::string(63, '.'),
                           std::string(61, '.')});
  ASSERT_EQ(question_of(dots).size(), 255u + 4u);
  EXPECT_EQ(answer(dots).reply, hex("1234 8105 0001 0000 0000 0000") + question_of(dots));
}

TEST_F(AnswerQuery, SignedQueriesGetBadKeyUnlessTheSignatureIsMisplaced) {
  const Bytes dev = make_query({"dev", "tarvik"});
  // Key "Tarvik-Key.", hmac-sha256, time 0x5F0000000000... a 32-byte MAC,
  // original ID 0x1234; its owner is compressed onto the question's name.
  const Bytes tsig = hex("0A'Tarvik-Key'00 00FA 00FF 00000000 003D 0B'hmac-sha256'00 "
                         "00005F000000 012C 0020") +
                     Bytes(32, 0xAB) + hex("1234 0000 0000");
  const Bytes tsig_class_in = hex("0A'Tarvik-Key'00 00FA 0001 00000000 001D 0B'hmac-sha256'00 "
                                  "00005F000000 012C 0000 1234 0000 0000");
  Bytes in_answer = dev + tsig;
  in_answer[7] = 1;
  struct Case {
    const char* what;
    Bytes query;
    bool upstream;
    QueryOutcome outcome;
    Bytes head;  // the reply up to its TSIG record (all of it when there is none)
  } cases[] = {
      {"signed: NOTAUTH", with_additional(dev, tsig), false, QueryOutcome::kReply,
       hex("1234 8109 0001 0000 0000 0001") + question_of(dev)},
      {"signed, with EDNS: our OPT, then the TSIG", with_additional(with_additional(dev, kClientOpt), tsig),
       false, QueryOutcome::kReply, hex("1234 8109 0001 0000 0000 0002") + question_of(dev) + kOptDo},
      {"signed, for a name outside the zone: NOTAUTH without upstream",
       with_additional(make_query({"a", "test"}), tsig), false, QueryOutcome::kReply,
       hex("1234 8109 0001 0000 0000 0001") + question_of(make_query({"a", "test"}))},
      {"relayed untouched with upstream", with_additional(make_query({"a", "test"}), tsig), true,
       QueryOutcome::kForward, {}},
      {"TSIG before the OPT: FORMERR", with_additional(with_additional(dev, tsig), kClientOpt),
       false, QueryOutcome::kReply,
       hex("1234 8101 0001 0000 0000 0001") + question_of(dev) + kOptDo},
      {"TSIG in the answer section: FORMERR", in_answer, false, QueryOutcome::kReply,
       hex("1234 8101 0001 0000 0000 0000") + question_of(dev)},
      {"TSIG of class IN: FORMERR", with_additional(dev, tsig_class_in), false,
       QueryOutcome::kReply, hex("1234 8101 0001 0000 0000 0000") + question_of(dev)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    g_settings.dns_server_ip = c.upstream ? parse_ipv4("127.53.0.1") : kAddressNone;
    std::uint64_t before = unix_time_seconds();
    Answered a = answer(c.query);
    std::uint64_t after = unix_time_seconds();
    ASSERT_EQ(a.outcome, c.outcome);
    if (c.outcome != QueryOutcome::kReply) continue;
    ASSERT_GE(a.reply.size(), c.head.size());
    EXPECT_EQ(Bytes(a.reply.begin(), a.reply.begin() + c.head.size()), c.head);
    if ((a.reply[3] & 0x0F) != 9) {
      EXPECT_EQ(a.reply.size(), c.head.size());
      continue;
    }
    // The key's name and algorithm as asked, the server's time, no MAC,
    // BADKEY: a TSIG record the asker can read.
    TsigRecord record;
    ASSERT_EQ(tsig_find(std::string(a.reply.begin(), a.reply.end()), &record), TsigFound::kFound);
    EXPECT_EQ(record.record_offset, static_cast<int>(c.head.size()));
    EXPECT_EQ(record.key_name, std::string("\x0atarvik-key\x00", 12));
    EXPECT_EQ(record.algorithm, std::string("\x0bhmac-sha256\x00", 13));
    EXPECT_GE(record.time_signed, before);
    EXPECT_LE(record.time_signed, after);
    EXPECT_EQ(record.fudge, 300);
    EXPECT_EQ(record.mac, "");
    EXPECT_EQ(record.original_id, 0x1234);
    EXPECT_EQ(record.error, kTsigBadKey);
    EXPECT_EQ(record.other, "");
  }

  // Over UDP without EDNS a TSIG with long names does not fit 512 bytes:
  // the NOTAUTH goes truncated, so that the asker comes back over TCP.
  std::string label(63, 'k');
  Bytes long_key = hex("3F'" + label + "' 3F'" + label + "' 3F'" + label + "' 3D'" +
                       label.substr(2) + "' 00 00FA 00FF 00000000 001D 0B'hmac-sha256'00 "
                       "00005F000000 012C 0000 1234 0000 0000");
  Bytes query = with_additional(
      make_query({label, label, label, std::string(54, 'b'), "tarvik"}), long_key);
  Answered udp = answer(query, 1000);
  EXPECT_EQ(udp.reply, hex("1234 8309 0001 0000 0000 0000") + question_of(query));
  Answered tcp = answer(query, 1000, Transport::kTcp);
  EXPECT_EQ(tcp.reply.size(), query.size());
}

TEST_F(AnswerQuery, SerialGrowsWithEveryChangeOfTheTable) {
  auto serial_in = [](const Bytes& reply) {
    // The serial is the 4 bytes behind the two names of the SOA's RDATA.
    std::size_t at = reply.size() - 20;
    return static_cast<std::uint32_t>(reply[at] << 24 | reply[at + 1] << 16 |
                                      reply[at + 2] << 8 | reply[at + 3]);
  };
  const Bytes query = make_query({"tarvik"}, 6);
  std::uint32_t first = serial_in(answer(query).reply);
  EXPECT_EQ(serial_in(answer(query).reply), first) << "no change, same serial";
  update_name_table("dev", "192.168.1.30");
  std::uint32_t second = serial_in(answer(query).reply);
  EXPECT_GT(second, first);
  update_name_table("other", "192.168.1.31");
  EXPECT_GT(serial_in(answer(query).reply), second);
}

TEST_F(AnswerQuery, EdnsPayloadBelow512CountsAs512) {
  // A full answer is 109 bytes: more than these payloads say, less than the
  // 512 that every resolver takes over UDP.
  const Bytes dev = make_query({"dev", "tarvik"});
  for (const char* payload : {"0000", "0064", "01FF"}) {
    SCOPED_TRACE(payload);
    Answered a = answer(with_additional(dev, hex(std::string("00 0029 ") + payload +
                                                 " 00 00 0000 0000")));
    EXPECT_EQ(a.outcome, QueryOutcome::kReply);
    EXPECT_EQ(a.reply, hex("1234 8500 0001 0001 0001 0002") + question_of(dev) + kAnswerDev +
                           kZoneNs + kGlue + kOpt);
  }
}

TEST_F(AnswerQuery, TruncatedWhenTheAnswerDoesNotFit) {
  // With no room behind the query, a local answer shrinks to its header and
  // question with TC set (and the OPT when asked with one); an error reply
  // that does not fit is dropped.
  const Bytes dev = make_query({"dev", "tarvik"});
  const Bytes dev_opt = with_additional(dev, kClientOpt);
  struct Case {
    const char* what;
    Bytes query;
    int capacity;
    Transport transport;
    Bytes reply;
  } cases[] = {
      {"UDP, room for the question only", dev, 0, Transport::kUdp,
       hex("1234 8700 0001 0000 0000 0000") + question_of(dev)},
      {"TCP, room for the question only", dev, 0, Transport::kTcp,
       hex("1234 8700 0001 0000 0000 0000") + question_of(dev)},
      {"room for the question and OPT", dev_opt, 0, Transport::kUdp,
       hex("1234 8700 0001 0000 0000 0001") + question_of(dev) + kOptDo},
      {"room to spare", dev_opt, 28 + 70 + 11, Transport::kTcp,
       hex("1234 8500 0001 0001 0001 0002") + question_of(dev) + kAnswerDev + kZoneNs + kGlue +
           kOptDo},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Answered a = answer(c.query, c.capacity, c.transport);
    EXPECT_EQ(a.outcome, QueryOutcome::kReply);
    EXPECT_EQ(a.reply, c.reply);
  }
  // A 12-byte FORMERR always fits the 12 bytes received; less is dropped.
  EXPECT_EQ(answer(hex("1234 0100 0000 0000 0000 0000"), 0).reply,
            hex("1234 8101 0000 0000 0000 0000"));
}

TEST_F(AnswerQuery, EveryTruncationOfEveryQuery) {
  // Each query cut at every length, in a buffer of exactly that length: no
  // read or write past it (the sanitizer build checks), and the outcome
  // follows from how much of the message is left.
  const Bytes dev = make_query({"dev", "tarvik"});
  const Bytes queries[] = {
      dev,
      with_additional(dev, kClientOpt),
      with_additional(make_query({"nobody", "tarvik"}), kClientOptVersion1),
      with_additional(with_additional(make_query({"tarvik"}, 255), kClientOpt), kClientOpt),
      make_query({"www", "example", "test"}, 1, 1, 0x09),
  };
  for (const Bytes& full : queries) {
    const std::size_t question_end = 12 + question_of(full).size();
    for (std::size_t length = 0; length < full.size(); ++length) {
      SCOPED_TRACE(::testing::Message() << "query of " << full.size() << " cut to " << length);
      Bytes cut(full.begin(), full.begin() + length);
      for (int capacity : {0, 512}) {
        Answered a = answer(cut, capacity);
        if (length < 12) {
          EXPECT_EQ(a.outcome, QueryOutcome::kDrop);
          continue;
        }
        ASSERT_EQ(a.outcome, QueryOutcome::kReply);
        ASSERT_GE(a.reply.size(), 12u);
        EXPECT_EQ(a.reply[0], 0x12);
        EXPECT_EQ(a.reply[2] & 0x80, 0x80) << "QR";
        int rcode = a.reply[3] & 0x0F;
        if ((full[2] & 0x78) != 0) {
          EXPECT_EQ(rcode, 4) << "NOTIMP, however short";
        } else if (length < question_end) {
          EXPECT_EQ(Bytes(a.reply.begin() + 2, a.reply.end()), hex("8101 0000 0000 0000 0000"))
              << "FORMERR without a question";
        } else {
          // The records behind the question are cut: a format error.
          EXPECT_EQ(rcode, 1);
          EXPECT_EQ(a.reply.size(), question_end);
        }
      }
    }
  }
}

TEST(DnsBuild, LocalAnswerAppendsTheRecordBlock) {
  Bytes query = make_query({"dev", "tarvik"});
  ASSERT_EQ(query.size(), 28u);
  Bytes buffer = query;
  buffer.resize(28 + kAnswerBlockSize, 0xEE);
  const unsigned char entry[4] = {192, 168, 1, 20};
  const unsigned char server[4] = {10, 9, 8, 7};
  std::uint32_t entry_address;
  std::uint32_t server_address;
  std::memcpy(&entry_address, entry, 4);
  std::memcpy(&server_address, server, 4);

  ASSERT_EQ(build_local_answer(buffer.data(), 28, entry_address, server_address), 98);
  EXPECT_EQ(buffer, query + kAnswerDev + kZoneNs + kGlue) << "the header is not touched";
}

TEST(DnsBuild, AppendsStopAtTheLimit) {
  // Each append writes its whole record or nothing.
  struct Case {
    const char* what;
    int size;
    int (*append)(unsigned char*, int, int);
  } cases[] = {
      {"SOA", static_cast<int>(soa(7).size()),
       [](unsigned char* m, int pos, int limit) { return append_soa(m, pos, limit, 7); }},
      {"zone NS", static_cast<int>(kZoneNs.size()), append_zone_ns},
      {"glue", static_cast<int>(kGlue.size()),
       [](unsigned char* m, int pos, int limit) {
         return append_a_for_ns(m, pos, limit, parse_ipv4("10.9.8.7"));
       }},
      {"OPT", kOptRecordSize,
       [](unsigned char* m, int pos, int limit) { return append_opt(m, pos, limit, 0, false); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes buffer(5 + c.size, 0xEE);
    EXPECT_EQ(c.append(buffer.data(), 5, 5 + c.size - 1), -1);
    EXPECT_EQ(buffer, Bytes(5 + c.size, 0xEE)) << "wrote although it did not fit";
    EXPECT_EQ(c.append(buffer.data(), -1, 5 + c.size), -1) << "a failed append stays failed";
    EXPECT_EQ(c.append(buffer.data(), 5, 5 + c.size), 5 + c.size);
  }
}

TEST(DnsForward, ExpiryUsesUnsignedTickDifference) {
  struct Case {
    std::uint32_t now;
    std::uint32_t sent;
    bool expired;
  } cases[] = {
      {10000, 5000, false},         {10001, 5000, true},        {5000, 5000, false},
      {3000, 0xFFFFFFFFu - 1999, false},  // 5000 ms across the wrap
      {3001, 0xFFFFFFFFu - 1999, true},   // 5001 ms across the wrap
      {0xFFFFFFFFu, 0, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(forward_expired(c.now, c.sent), c.expired) << c.now << " " << c.sent;
  }
}

TEST(DnsForward, CapsFitTheDescriptorLimitWithRoomForEverythingElse) {
  // Everything else the service may hold at once: stdio, 3 sockets of its
  // own and the epoll set, one accept in hand, 16 updates, 16 files.
  const int elsewhere = 3 + 4 + 1 + 16 + 16;
  for (int limit = 0; limit <= 5000; ++limit) {
    DnsCaps caps = dns_caps_for(limit);
    ASSERT_GE(caps.forwards, 0) << limit;
    ASSERT_GE(caps.tcp_clients, 0) << limit;
    ASSERT_LE(caps.forwards, kMaxPendingForwards) << limit;
    ASSERT_LE(caps.tcp_clients, kMaxTcpClients) << limit;
    if (limit >= elsewhere) {
      ASSERT_LE(elsewhere + caps.forwards + 2 * caps.tcp_clients, limit) << limit;
    } else {
      ASSERT_EQ(caps.forwards + caps.tcp_clients, 0) << limit;
    }
  }
  struct Case {
    int limit;
    int forwards;
    int tcp_clients;
  } cases[] = {
      {64, 15, 2},       // a tight container: a few of each
      {1024, 851, 64},   // the common soft default: TCP keeps its design cap
      {4096, 3923, 64},
      {4352, kMaxPendingForwards, kMaxTcpClients},  // the Windows wait set
      {1 << 30, kMaxPendingForwards, kMaxTcpClients},
  };
  for (const Case& c : cases) {
    DnsCaps caps = dns_caps_for(c.limit);
    EXPECT_EQ(caps.forwards, c.forwards) << c.limit;
    EXPECT_EQ(caps.tcp_clients, c.tcp_clients) << c.limit;
  }
}

// --- The service over loopback ----------------------------------------------

std::uint32_t ip(const char* text) { return parse_ipv4(text); }

// A UDP socket bound on `address` to some free port.
Socket bind_somewhere(std::uint32_t address, int* port) {
  for (int attempt = 0; attempt < 50; ++attempt) {
    int candidate = 20000 + std::rand() % 30000;
    Socket s = udp_open();
    if (s == kNoSocket) return kNoSocket;
    if (udp_bind(s, address, candidate)) {
      *port = candidate;
      return s;
    }
    socket_close(s);
  }
  return kNoSocket;
}

bool readable(Socket s, long timeout_us) {
  ReadSet set;
  read_set_clear(&set);
  read_set_add(&set, s);
  return wait_readable(&set, timeout_us) == 1;
}

// Receives one datagram within a second, or returns an empty vector.
Bytes receive(Socket s, SocketAddress* from = nullptr, long timeout_us = 1000000) {
  if (!readable(s, timeout_us)) return {};
  Bytes buffer(20000);
  int n = udp_receive(s, reinterpret_cast<char*>(buffer.data()), 20000, from);
  buffer.resize(n > 0 ? n : 0);
  return buffer;
}

class DnsService : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(net_start());
    saved_ = g_settings;
    g_settings.log_path = ::testing::TempDir();
    g_settings.verbose = false;
    g_settings.dns_server_ip = kAddressNone;
    g_settings.tarvik_server_ip = ip("10.9.8.7");
    clear_name_table();
    g_dns_socket = bind_somewhere(ip("127.0.0.1"), &dns_port_);
    ASSERT_NE(g_dns_socket, kNoSocket);
    client_ = bind_somewhere(ip("127.0.0.1"), &client_port_);
    ASSERT_NE(client_, kNoSocket);
  }
  void TearDown() override {
    drop_all_pending_forwards();
    close_tcp_clients();
    if (g_dns_tcp_socket != kNoSocket) socket_close(g_dns_tcp_socket);
    g_dns_tcp_socket = kNoSocket;
    if (upstream_ != kNoSocket) socket_close(upstream_);
    socket_close(client_);
    socket_close(g_dns_socket);
    g_dns_socket = kNoSocket;
    clear_name_table();
    g_settings = saved_;
  }

  // The upstream server on 127.53.0.1:53; skips the test without the right
  // to bind port 53.
  bool start_upstream() {
    upstream_ = udp_open();
    if (upstream_ == kNoSocket || !udp_bind(upstream_, ip("127.53.0.1"), 53)) return false;
    g_settings.dns_server_ip = ip("127.53.0.1");
    return true;
  }

  // Sends `query` from the client and lets the service take it, as the loop
  // does once the DNS socket is ready.
  void ask(const Bytes& query) {
    ASSERT_EQ(udp_send_to(client_, reinterpret_cast<const char*>(query.data()),
                          static_cast<int>(query.size()), ip("127.0.0.1"), dns_port_),
              static_cast<int>(query.size()));
    ASSERT_TRUE(readable(g_dns_socket, 1000000));
    handle_dns_queries();
  }

  // Sends `query` from the client without letting the service take it.
  void queue(const Bytes& query, std::uint32_t to = 0) {
    ASSERT_EQ(udp_send_to(client_, reinterpret_cast<const char*>(query.data()),
                          static_cast<int>(query.size()), to != 0 ? to : ip("127.0.0.1"),
                          dns_port_),
              static_cast<int>(query.size()));
  }

  // A TCP listener on the DNS port's number and a client connected to it,
  // taken by the service; false when no port could be had.
  bool connect_tcp_client(Socket* client) {
    g_dns_tcp_socket = tcp_listen(dns_port_);
    if (g_dns_tcp_socket == kNoSocket) return false;
    *client = tcp_connect_start(ip("127.0.0.1"), dns_port_);
    if (*client == kNoSocket) return false;
    relay_once();  // the accept
    return true;
  }

  // The DNS side of one loop iteration: compose, wait, serve.
  int relay_once(long timeout_us = 1000000) {
    wait_set_clear(&set_);
    add_dns_sockets(tick_count_ms(), &set_);
    int ready = wait_sockets(&set_, timeout_us);
    if (ready > 0) serve_dns_sockets(set_);
    return ready;
  }

  WaitSet set_;

  Settings saved_;
  int dns_port_ = 0;
  int client_port_ = 0;
  Socket client_ = kNoSocket;
  Socket upstream_ = kNoSocket;
};

// The query with an EDNS OPT record (UDP size 1232, a cookie option) in its
// additional section, as most resolvers send it.
Bytes with_opt(Bytes query) {
  query[11] = 1;  // ARCOUNT
  const unsigned char opt[] = {0, 0, 41, 0x04, 0xD0, 0, 0, 0, 0, 0, 12,
                               0, 10, 0, 8, 1, 2, 3, 4, 5, 6, 7, 8};
  query.insert(query.end(), opt, opt + sizeof opt);
  return query;
}

TEST_F(DnsService, AnswersThroughTheDnsSocket) {
  // The rules themselves are AnswerQuery's; here the replies reach the asker.
  update_name_table("dev", "192.168.1.20");
  struct Case {
    const char* what;
    Bytes query;
    std::size_t length;        // 0: no reply at all
    unsigned char rcode_byte;  // byte 3 of the reply
  } cases[] = {
      {"registered", make_query({"dev", "tarvik"}), 98, 0x00},
      {"registered, EDNS: our OPT behind the glue", with_opt(make_query({"dev", "tarvik"})),
       98 + 11, 0x00},
      {"registered, any case", make_query({"DEV", "Tarvik"}), 98, 0x00},
      {"not registered: the SOA", make_query({"nobody", "tarvik"}), 31 + 71, 0x03},
      {"no upstream server: REFUSED at once", make_query({"www", "example", "test"}), 34, 0x05},
      {"a response: never answered", make_query({"dev", "tarvik"}, 1, 1, 0x81), 0, 0},
      {"not a DNS message", Bytes{'h', 'i'}, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ask(c.query);
    Bytes reply = receive(client_, nullptr, c.length ? 1000000 : 100000);
    ASSERT_EQ(reply.size(), c.length);
    if (c.length == 0) continue;
    EXPECT_EQ(reply[0], 0x12);
    EXPECT_EQ(reply[3], c.rcode_byte);
    Bytes question = question_of(c.query);
    EXPECT_TRUE(std::equal(question.begin(), question.end(), reply.begin() + 12))
        << "question changed";
  }
  EXPECT_EQ(pending_forward_count(), 0u);
}

TEST_F(DnsService, SurvivesEmptyAndOversizedDatagrams) {
  update_name_table("dev", "192.168.1.20");
  ask(Bytes{});
  Bytes oversized(12000, 0);
  ask(oversized);  // refused by the receive and logged
  ask(make_query({"dev", "tarvik"}));
  EXPECT_EQ(receive(client_).size(), 98u) << "the first reply must be the real query's";
}

// The query with ID `id`.
Bytes with_id(Bytes query, int id) {
  query[0] = static_cast<unsigned char>(id >> 8);
  query[1] = static_cast<unsigned char>(id);
  return query;
}

int id_of(const Bytes& message) { return message.size() < 2 ? -1 : message[0] << 8 | message[1]; }
int rcode_of(const Bytes& message) { return message.size() < 4 ? -1 : message[3] & 0x0F; }

// What the upstream server received for `query`: the same bytes under an
// ID of the forward's own. Returns that ID.
int expect_relayed(const Bytes& relayed, const Bytes& query) {
  EXPECT_EQ(relayed.size(), query.size());
  if (relayed.size() != query.size() || relayed.size() < 2) return -1;
  EXPECT_TRUE(std::equal(relayed.begin() + 2, relayed.end(), query.begin() + 2)) << "query changed";
  return relayed[0] << 8 | relayed[1];
}

// An upstream answer: `id` first, then `payload`.
Bytes upstream_answer(int id, const Bytes& payload) {
  Bytes answer = {static_cast<unsigned char>(id >> 8), static_cast<unsigned char>(id)};
  answer.insert(answer.end(), payload.begin(), payload.end());
  return answer;
}

TEST_F(DnsService, RelaysUpstreamAnswersInListOrder) {
  if (!start_upstream()) GTEST_SKIP() << "cannot bind 127.53.0.1:53 (needs root)";
  update_name_table("dev", "192.168.1.20");

  // Three forwards; the upstream server gets each unchanged but for the ID,
  // which is the forward's own.
  const Bytes queries[] = {make_query({"example", "test"}), with_opt(make_query({"a", "test"})),
                           make_query({"DEV", "TARVIKX"}, 1, 255)};
  SocketAddress sources[3];
  int ids[3];
  for (int i = 0; i < 3; ++i) {
    ask(queries[i]);
    ids[i] = expect_relayed(receive(upstream_, &sources[i]), queries[i]);
  }
  EXPECT_EQ(pending_forward_count(), 3u);
  EXPECT_FALSE(ids[0] == id_of(queries[0]) && ids[1] == id_of(queries[1]) && ids[2] == id_of(queries[2]))
      << "the asker's IDs went upstream";

  // An answer under another ID is no answer: the forward waits on.
  const Bytes payload2 = {'a', 'n', 's', '2'};
  const Bytes payload3 = {'a', 'n', 's', '3'};
  Bytes wrong = upstream_answer(ids[1] ^ 1, payload2);
  udp_send(upstream_, reinterpret_cast<const char*>(wrong.data()), static_cast<int>(wrong.size()),
           sources[1]);
  relay_once(200000);
  EXPECT_TRUE(receive(client_, nullptr, 100000).empty()) << "an answer under another ID was relayed";
  EXPECT_EQ(pending_forward_count(), 3u);

  // Only the second and third are answered; both reach the client from the
  // DNS port, byte for byte but for the ID, which is the asker's again, and
  // the first stays pending.
  Bytes answer2 = upstream_answer(ids[1], payload2);
  Bytes answer3 = upstream_answer(ids[2], payload3);
  udp_send(upstream_, reinterpret_cast<const char*>(answer3.data()), static_cast<int>(answer3.size()),
           sources[2]);
  udp_send(upstream_, reinterpret_cast<const char*>(answer2.data()), static_cast<int>(answer2.size()),
           sources[1]);
  for (int tries = 0; tries < 10 && pending_forward_count() > 1; ++tries) relay_once();
  EXPECT_EQ(pending_forward_count(), 1u);
  SocketAddress from;
  Bytes first = receive(client_, &from);
  Bytes second = receive(client_);
  EXPECT_EQ(first, upstream_answer(id_of(queries[1]), payload2)) << "relayed in list order";
  EXPECT_EQ(second, upstream_answer(id_of(queries[2]), payload3));
  EXPECT_EQ(socket_address_ip(from), ip("127.0.0.1"));
  EXPECT_EQ(from.bytes[2] * 256 + from.bytes[3], dns_port_) << "answer not from the DNS port";

  drop_all_pending_forwards();
  EXPECT_EQ(pending_forward_count(), 0u);
}

TEST_F(DnsService, OnlyTheUpstreamServerCanAnswer) {
  if (!start_upstream()) GTEST_SKIP() << "cannot bind 127.53.0.1:53 (needs root)";
  ask(make_query({"example", "test"}));
  SocketAddress forward;
  ASSERT_FALSE(receive(upstream_, &forward).empty());

  int rogue_port = 0;
  Socket rogue = bind_somewhere(ip("127.0.0.1"), &rogue_port);
  ASSERT_NE(rogue, kNoSocket);
  udp_send(rogue, "fake", 4, forward);
  socket_close(rogue);
  EXPECT_EQ(relay_once(200000), 0) << "a datagram from elsewhere reached the forward socket";
  EXPECT_EQ(pending_forward_count(), 1u);
  EXPECT_TRUE(receive(client_, nullptr, 100000).empty());
}

TEST_F(DnsService, AFailedReceiveLosesOneDatagramAndAnExcludedSenderStaysUnseen) {
  std::remove((::testing::TempDir() + "/log").c_str());
  update_name_table("dev", "192.168.1.20");
  Bytes oversized(10001, 'x');
  Bytes query = make_query({"dev", "tarvik"});
  for (const Bytes* datagram : {&oversized, &query}) {
    ASSERT_EQ(udp_send_to(client_, reinterpret_cast<const char*>(datagram->data()),
                          static_cast<int>(datagram->size()), ip("127.0.0.1"), dns_port_),
              static_cast<int>(datagram->size()));
  }
  // One wait serves both: the junk is lost, the query behind it answered.
  relay_once();
  EXPECT_EQ(receive(client_, nullptr, 0).size(), 98u);
  EXPECT_EQ(log_messages(::testing::TempDir()),
            std::vector<std::string>{"g_dns_s recvfrom error: " + std::to_string(kMessageTooLong) + ": " +
                                     system_error_text(kMessageTooLong)});

  // From a sender that allow-from leaves out: no record, whatever its size.
  std::remove((::testing::TempDir() + "/log").c_str());
  g_settings.allow_from_set = true;
  g_settings.allow_from = {Ipv4Prefix{ip("10.0.0.0"), ip("255.0.0.0")}};
  udp_send_to(client_, reinterpret_cast<const char*>(oversized.data()),
              static_cast<int>(oversized.size()), ip("127.0.0.1"), dns_port_);
  relay_once();
  EXPECT_EQ(read_file(::testing::TempDir() + "/log"), "");
}

TEST_F(DnsService, AForwardThatComesBackToThisServerIsNotForwardedAgain) {
  // This server as its own upstream: its DNS socket on port 53 of the
  // upstream address.
  std::uint32_t self = ip("127.53.0.2");
  Socket on_53 = udp_open();
  if (!udp_bind(on_53, self, 53)) {
    socket_close(on_53);
    GTEST_SKIP() << "cannot bind 127.53.0.2:53 (needs root)";
  }
  socket_close(g_dns_socket);
  g_dns_socket = on_53;
  g_settings.dns_server_ip = self;
  start_relaying(53);
  const Bytes query = make_query({"example", "test"});
  ASSERT_EQ(udp_send_to(client_, reinterpret_cast<const char*>(query.data()),
                        static_cast<int>(query.size()), self, 53),
            static_cast<int>(query.size()));
  ASSERT_TRUE(readable(g_dns_socket, 1000000));
  ASSERT_EQ(handle_dns_queries(), 1);
  ASSERT_EQ(pending_forward_count(), 1u);
  // The forward arrives here as a query: dropped, not relayed again.
  ASSERT_TRUE(readable(g_dns_socket, 1000000));
  EXPECT_EQ(handle_dns_queries(), 1);
  EXPECT_EQ(pending_forward_count(), 1u);
  EXPECT_FALSE(readable(g_dns_socket, 100000)) << "nothing more in flight";
}

TEST_F(DnsService, SweepKeepsForwardsFor5000Ms) {
  if (!start_upstream()) GTEST_SKIP() << "cannot bind 127.53.0.1:53 (needs root)";
  std::uint32_t before;
  std::uint32_t after;
  do {  // retry until the forward is stamped within one known millisecond
    drop_all_pending_forwards();
    before = tick_count_ms();
    ask(make_query({"example", "test"}));
    after = tick_count_ms();
  } while (before != after);
  ASSERT_EQ(pending_forward_count(), 1u);

  wait_set_clear(&set_);
  add_dns_sockets(before + 5000, &set_);
  EXPECT_EQ(set_.count, 2) << "a forward 5000 ms old is still watched";
  EXPECT_EQ(pending_forward_count(), 1u);

  wait_set_clear(&set_);
  add_dns_sockets(before + 5001, &set_);
  EXPECT_EQ(set_.count, 1) << "only the DNS socket";
  EXPECT_EQ(pending_forward_count(), 0u);
}

TEST_F(DnsService, ANewForwardBeyondTheLimitEndsTheOldest) {
  if (!start_upstream()) GTEST_SKIP() << "cannot bind 127.53.0.1:53 (needs root)";
  const Bytes first = make_query({"first", "test"});
  ask(first);
  SocketAddress oldest;
  int oldest_id = expect_relayed(receive(upstream_, &oldest), first);
  // Fill the list up to the limit, then one more: each is its own forward.
  Bytes filler = make_query({"filler", "test"});
  for (int i = 1; i <= kMaxPendingForwards; ++i) {
    ASSERT_EQ(udp_send_to(client_, reinterpret_cast<const char*>(filler.data()),
                          static_cast<int>(filler.size()), ip("127.0.0.1"), dns_port_),
              static_cast<int>(filler.size()));
    while (handle_dns_queries() == 0) ASSERT_TRUE(readable(g_dns_socket, 1000000));
  }
  EXPECT_EQ(pending_forward_count(), static_cast<std::size_t>(kMaxPendingForwards));
  wait_set_clear(&set_);
  add_dns_sockets(tick_count_ms(), &set_);
  EXPECT_EQ(set_.count, 1 + kMaxPendingForwards) << "every forward is watched";

  // Its asker has had SERVFAIL with its question at once...
  Bytes failure = receive(client_, nullptr, 100000);
  ASSERT_GE(failure.size(), first.size());
  EXPECT_EQ(failure[1], first[1]);   // the ID
  EXPECT_EQ(failure[3] & 0x0F, 2);   // SERVFAIL
  EXPECT_TRUE(std::equal(first.begin() + 12, first.end(), failure.begin() + 12));
  // ...and the first forward's socket is gone: an answer to it reaches nobody.
  const Bytes answer = upstream_answer(oldest_id, {'o', 'l', 'd'});
  udp_send(upstream_, reinterpret_cast<const char*>(answer.data()), static_cast<int>(answer.size()),
           oldest);
  relay_once(200000);
  EXPECT_TRUE(receive(client_, nullptr, 100000).empty());
  EXPECT_EQ(pending_forward_count(), static_cast<std::size_t>(kMaxPendingForwards));
}

TEST_F(DnsService, NoRoomForAnyForwardAnswersServfailAtOnce) {
  if (!start_upstream()) GTEST_SKIP() << "cannot bind 127.53.0.1:53 (needs root)";
  const DnsCaps saved = g_dns_caps;
  g_dns_caps.forwards = 0;
  const Bytes query = make_query({"www", "example", "test"});
  ask(query);
  g_dns_caps = saved;
  Bytes failure = receive(client_, nullptr, 100000);
  ASSERT_GE(failure.size(), query.size());
  EXPECT_EQ(failure[3] & 0x0F, 2);  // SERVFAIL
  EXPECT_TRUE(std::equal(query.begin() + 12, query.end(), failure.begin() + 12));
  EXPECT_EQ(pending_forward_count(), 0u);
  EXPECT_TRUE(receive(upstream_, nullptr, 100000).empty()) << "nothing relayed";
}

TEST_F(DnsService, AFinishedForwardsPortIsFreeForAnAsker) {
  if (!start_upstream()) GTEST_SKIP() << "cannot bind 127.53.0.1:53 (needs root)";
  const Bytes query = make_query({"example", "test"});
  ask(query);
  SocketAddress forward;
  Bytes relayed = receive(upstream_, &forward);
  expect_relayed(relayed, query);
  Bytes reply = relayed;
  reply[2] |= 0x80;
  udp_send(upstream_, reinterpret_cast<const char*>(reply.data()), static_cast<int>(reply.size()),
           forward);
  relay_once();
  ASSERT_EQ(receive(client_), with_id(reply, id_of(query)));
  ASSERT_EQ(pending_forward_count(), 0u);

  // The forward's port is free again; whoever gets it next is an asker
  // like any other, not this server's own forward come back.
  Socket next = udp_open();
  ASSERT_NE(next, kNoSocket);
  ASSERT_TRUE(udp_bind(next, socket_address_ip(forward), socket_address_port(forward)));
  const Bytes local = make_query({"nobody", "tarvik"});
  udp_send_to(next, reinterpret_cast<const char*>(local.data()), static_cast<int>(local.size()),
              ip("127.0.0.1"), dns_port_);
  relay_once();
  Bytes answer = receive(next, nullptr, 200000);
  socket_close(next);
  ASSERT_GE(answer.size(), 12u);
  EXPECT_EQ(answer[3] & 0x0F, 3);  // NXDOMAIN
}


// Every datagram that reaches `s` within 100 ms of the last: (ID, RCODE).
std::vector<std::pair<int, int>> answers_received(Socket s) {
  std::vector<std::pair<int, int>> got;
  for (Bytes b = receive(s, nullptr, 100000); !b.empty(); b = receive(s, nullptr, 100000)) {
    got.emplace_back(id_of(b), rcode_of(b));
  }
  return got;
}

TEST_F(DnsService, ABatchAnswersEachOfItsQueriesInOrder) {
  if (!start_upstream()) GTEST_SKIP() << "cannot bind 127.53.0.1:53 (needs root)";
  update_name_table("dev", "192.168.1.20");
  const Counters before = g_counters;
  // Local answers, relays, junk and an oversized datagram, all queued
  // before the service takes any: one batch.
  queue(with_id(make_query({"dev", "tarvik"}), 1));
  queue(with_id(make_query({"www", "example", "test"}), 2));
  queue(Bytes{'h', 'i'});
  queue(Bytes(10001, 'x'));
  queue(with_id(make_query({"nobody", "tarvik"}), 5));
  queue(with_id(make_query({"ftp", "example", "test"}), 6));
  ASSERT_EQ(handle_dns_queries(), 6);

  EXPECT_EQ(answers_received(client_), (std::vector<std::pair<int, int>>{{1, 0}, {5, 3}}));
  SocketAddress forwards[2];
  int forward_ids[2];
  forward_ids[0] = expect_relayed(receive(upstream_, &forwards[0]),
                                  with_id(make_query({"www", "example", "test"}), 2));
  forward_ids[1] = expect_relayed(receive(upstream_, &forwards[1]),
                                  with_id(make_query({"ftp", "example", "test"}), 6));
  ASSERT_EQ(pending_forward_count(), 2u);
  // Both answers reach the client as they came (with the asker's IDs
  // again), relayed in the order of their forwards.
  for (int i : {1, 0}) {
    Bytes answer = with_id(make_query({"x"}, 1, 1, 0x81), forward_ids[i]);
    udp_send(upstream_, reinterpret_cast<const char*>(answer.data()),
             static_cast<int>(answer.size()), forwards[i]);
  }
  for (int tries = 0; tries < 10 && pending_forward_count() > 0; ++tries) relay_once();
  EXPECT_EQ(answers_received(client_), (std::vector<std::pair<int, int>>{{2, 0}, {6, 0}}));

  // A relay that cannot go out is answered SERVFAIL in its query's place.
  g_dns_caps.forwards = 0;
  queue(with_id(make_query({"dev", "tarvik"}), 7));
  queue(with_id(make_query({"www", "example", "test"}), 8));
  queue(with_id(make_query({"nobody", "tarvik"}), 9));
  EXPECT_EQ(handle_dns_queries(), 3);
  g_dns_caps = dns_caps_for(descriptor_limit());
  EXPECT_EQ(answers_received(client_),
            (std::vector<std::pair<int, int>>{{7, 0}, {8, 2}, {9, 3}}));

  EXPECT_EQ(g_counters.queries_answered - before.queries_answered, 4u);
  EXPECT_EQ(g_counters.queries_relayed - before.queries_relayed, 2u);
  EXPECT_EQ(g_counters.queries_servfail - before.queries_servfail, 1u);
}

TEST_F(DnsService, AnswersOfOneBatchLeaveFromTheAddressEachQueryWasSentTo) {
  update_name_table("dev", "192.168.1.20");
  // The DNS socket on all addresses, as open_dns_sockets makes it.
  Socket any = udp_open();
  ASSERT_TRUE(udp_bind(any, 0, dns_port_ + 1) || udp_bind(any, 0, dns_port_ + 2));
  SocketAddress bound;
  ASSERT_TRUE(socket_local_address(any, &bound));
  socket_close(g_dns_socket);
  g_dns_socket = any;
  dns_port_ = socket_address_port(bound);
  ASSERT_TRUE(udp_report_destination(g_dns_socket));

  const char* asked[] = {"127.0.0.1", "127.0.0.2", "127.0.0.1", "127.0.0.2"};
  for (int i = 0; i < 4; ++i) queue(with_id(make_query({"dev", "tarvik"}), i), ip(asked[i]));
  ASSERT_EQ(handle_dns_queries(), 4);
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    SocketAddress from;
    Bytes answer = receive(client_, &from);
    EXPECT_EQ(id_of(answer), i);
    EXPECT_EQ(format_ipv4(socket_address_ip(from)), asked[i]);
    EXPECT_EQ(socket_address_port(from), dns_port_);
  }
}

TEST_F(DnsService, AnAnswerThatCannotBeSentCostsNoOtherAnswerOfItsBatch) {
  // A query from port 0, which no answer can be sent to, between two good
  // ones: only a raw socket can send it.
  int raw = socket(AF_INET, SOCK_RAW, IPPROTO_UDP);
  if (raw < 0) GTEST_SKIP() << "no raw socket (needs root)";
  update_name_table("dev", "192.168.1.20");
  Bytes query = with_id(make_query({"dev", "tarvik"}), 2);
  Bytes datagram = {0, 0, static_cast<unsigned char>(dns_port_ >> 8),
                    static_cast<unsigned char>(dns_port_),
                    static_cast<unsigned char>((8 + query.size()) >> 8),
                    static_cast<unsigned char>(8 + query.size()), 0, 0};  // no checksum
  datagram.insert(datagram.end(), query.begin(), query.end());
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = ip("127.0.0.1");

  queue(with_id(make_query({"dev", "tarvik"}), 1));
  ASSERT_EQ(sendto(raw, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to),
                   sizeof to),
            static_cast<ssize_t>(datagram.size()));
  close(raw);
  queue(with_id(make_query({"nobody", "tarvik"}), 3));
  ASSERT_EQ(handle_dns_queries(), 3);
  EXPECT_EQ(answers_received(client_), (std::vector<std::pair<int, int>>{{1, 0}, {3, 3}}));
}

TEST_F(DnsService, EachOutcomeCountsOnce) {
  update_name_table("dev", "192.168.1.20");
  struct Case {
    const char* what;
    Bytes query;
    std::uint64_t Counters::*counter;  // null: none
  } cases[] = {
      {"local answer", make_query({"dev", "tarvik"}), &Counters::queries_answered},
      {"name error", make_query({"nobody", "tarvik"}), &Counters::queries_answered},
      {"no upstream server", make_query({"www", "example", "test"}), &Counters::queries_refused},
      {"class CH in the zone", make_query({"dev", "tarvik"}, 1, 3), &Counters::queries_refused},
      {"no question", make_query({"dev", "tarvik"}, 1, 1, 0x01, 0), &Counters::queries_other},
      {"IQUERY", make_query({"dev", "tarvik"}, 1, 1, 0x09), &Counters::queries_other},
      {"EDNS version 1", with_additional(make_query({"dev", "tarvik"}), kClientOptVersion1),
       &Counters::queries_other},
      {"a response", make_query({"dev", "tarvik"}, 1, 1, 0x81), nullptr},
  };
  std::uint64_t Counters::*const all[] = {
      &Counters::queries_answered, &Counters::queries_relayed, &Counters::queries_refused,
      &Counters::queries_servfail, &Counters::queries_other};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Counters before = g_counters;
    ask(c.query);
    for (auto counter : all) {
      EXPECT_EQ(g_counters.*counter - before.*counter, counter == c.counter ? 1u : 0u);
    }
    answers_received(client_);
  }
}

// The complete length-prefixed messages in `stream`.
int messages_in(const std::string& stream) {
  int count = 0;
  for (std::size_t at = 0; at + 2 <= stream.size();) {
    std::size_t length = static_cast<unsigned char>(stream[at]) << 8 |
                         static_cast<unsigned char>(stream[at + 1]);
    if (at + 2 + length > stream.size()) break;
    at += 2 + length;
    ++count;
  }
  return count;
}

std::string length_prefixed(const Bytes& message, int times) {
  std::string one(2, '\0');
  one[0] = static_cast<char>(message.size() >> 8);
  one[1] = static_cast<char>(message.size());
  one.append(message.begin(), message.end());
  std::string all;
  for (int i = 0; i < times; ++i) all += one;
  return all;
}

TEST_F(DnsService, ATcpClientHasEightQueriesTakenPerWait) {
  update_name_table("dev", "192.168.1.20");
  Socket client = kNoSocket;
  ASSERT_TRUE(connect_tcp_client(&client)) << "no TCP port";
  const Counters before = g_counters;
  std::string queries = length_prefixed(make_query({"dev", "tarvik"}), 20);
  ASSERT_EQ(tcp_send(client, queries.data(), static_cast<int>(queries.size())),
            static_cast<int>(queries.size()));
  std::string stream;
  std::vector<int> answered;
  for (int wait = 0; wait < 3; ++wait) {
    relay_once();
    char buffer[4096];
    for (int n; (n = tcp_receive(client, buffer, sizeof buffer)) > 0;) stream.append(buffer, n);
    answered.push_back(messages_in(stream));
  }
  socket_close(client);
  EXPECT_EQ(answered, (std::vector<int>{8, 16, 20}));
  EXPECT_EQ(g_counters.queries_answered - before.queries_answered, 20u);
}

TEST_F(DnsService, ATcpClientThatReadsNoAnswersIsNoLongerReadFrom) {
  Socket client = kNoSocket;
  ASSERT_TRUE(connect_tcp_client(&client)) << "no TCP port";
  // The client pipelines queries for as long as the connection takes them
  // and never reads an answer. Other traffic keeps the loop turning, so the
  // service comes by the client in every iteration, ready or not. Once its
  // answers pile up, the service must stop reading: then the connection's
  // buffers fill and the client's sends stop going out.
  const std::string queries = length_prefixed(make_query({"nobody", "tarvik"}), 2000);
  const long kUnbounded = 64L << 20;
  std::size_t at = 0;
  long sent = 0;
  int refused_in_a_row = 0;
  for (int turn = 0; turn < 100000 && refused_in_a_row < 1000 && sent < kUnbounded; ++turn) {
    int n = tcp_send(client, queries.data() + at, static_cast<int>(queries.size() - at));
    if (n > 0) {
      sent += n;
      at = (at + static_cast<std::size_t>(n)) % queries.size();
      refused_in_a_row = 0;
    } else {
      ASSERT_EQ(n, kWouldBlock);
      ++refused_in_a_row;
    }
    wait_set_clear(&set_);
    add_dns_sockets(tick_count_ms(), &set_);
    wait_sockets(&set_, 0);
    serve_dns_sockets(set_);
  }
  socket_close(client);
  EXPECT_EQ(refused_in_a_row, 1000) << "the service went on reading the client's queries ("
                                     << sent << " bytes taken)";
}

}  // namespace
