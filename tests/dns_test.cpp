// The DNS codec against hand-built messages, and the DNS service over real
// loopback sockets.
#include <gtest/gtest.h>

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
  d.result = decode_query_name(name.data(), capacity, exact.data(), static_cast<int>(length),
                               &d.qtype, &d.qclass);
  const void* zero = std::memchr(name.data(), 0, capacity);
  EXPECT_NE(zero, nullptr) << "name buffer not terminated within its capacity";
  for (std::size_t i = capacity; i < name.size(); ++i) EXPECT_EQ(name[i], '#') << "wrote past";
  d.name = zero ? std::string(name.data()) : std::string();
  return d;
}
Decoded decode(const Bytes& message) { return decode(message, message.size()); }

TEST(DnsDecode, AcceptsOnlyQueriesOfTypeAClassIn) {
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
      {"header only", header_only, 0, "", 0, 0},
      {"root name", make_query({}), 0, "", 1, 1},
      {"opcode 1 with RD", make_query({"a", "b"}, 1, 1, 0x09), 3, "a.b", 1, 1},
      {"opcode 2 with RD", make_query({"a", "b"}, 1, 1, 0x11), 0, "", 0, 0},
      {"a response", make_query({"a", "b"}, 1, 1, 0x81), 3, "a.b", 1, 1},
      {"AAAA", make_query({"a", "b"}, 28), 0, "a.b", 28, 1},
      {"class ANY", make_query({"a", "b"}, 1, 255), 0, "a.b", 1, 255},
      {"no question", make_query({"a", "b"}, 1, 1, 0x01, 0), 0, "", 0, 0},
      {"QDCOUNT lies high", make_query({"dev", "tarvik"}, 1, 1, 0x01, 0xFFFF), 10, "dev.tarvik",
       1, 1},
      {"bytes copied as they are", make_query({"A.b", "C"}), 5, "A.b.C", 1, 1},
  };
  EXPECT_EQ(make_query({}).size(), 17u);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Decoded d = decode(c.message);
    EXPECT_EQ(d.result, c.result);
    EXPECT_EQ(d.name, c.name);
    EXPECT_EQ(d.qtype, c.qtype);
    EXPECT_EQ(d.qclass, c.qclass);
  }
}

TEST(DnsDecode, NameMustFitTheCapacity) {
  Decoded fits = decode(make_query({std::string(249, 'a'), std::string(248, 'b')}));
  EXPECT_EQ(fits.result, 498);
  EXPECT_EQ(fits.name, std::string(249, 'a') + "." + std::string(248, 'b'));

  Decoded too_long = decode(make_query({std::string(249, 'a'), std::string(249, 'b')}));
  EXPECT_EQ(too_long.result, 0);
  EXPECT_LE(too_long.name.size(), 499u);

  // Small capacities: the zero always fits, the name only with room to spare.
  EXPECT_EQ(decode(make_query({"ab"}), make_query({"ab"}).size(), 4).result, 2);
  EXPECT_EQ(decode(make_query({"ab"}), make_query({"ab"}).size(), 3).result, 0);
  EXPECT_EQ(decode(make_query({"ab"}), make_query({"ab"}).size(), 1).result, 0);
}

TEST(DnsDecode, NeverReadsPastTheReceivedLength) {
  // Every truncation of a valid query fails, and none reads past its end.
  Bytes full = make_query({"printer", "lab", "tarvik"});
  ASSERT_EQ(decode(full).result, 18);
  for (std::size_t length = 0; length < full.size(); ++length) {
    SCOPED_TRACE(length);
    Decoded d = decode(full, length);
    EXPECT_EQ(d.result, 0);
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
  pointer_with_room.resize(12 + 1 + 192, 'p');  // the "label" is all there...
  pointer_with_room.insert(pointer_with_room.end(), {0, 0, 1, 0, 1});  // ...then a question end
  struct Case {
    const char* what;
    Bytes message;
    int result;
  } cases[] = {
      // A pointer back to the name itself must not loop: it reads as a
      // 192-byte label that runs past the datagram.
      {"pointer to itself", with({0xC0, 0x0C, 0, 1, 0, 1}), 0},
      {"pointer after a label", with({1, 'a', 0xC0, 0x0C, 0, 1, 0, 1}), 0},
      {"label longer than the rest", with({5, 'a', 'b', 0, 1}), 0},
      {"length byte is the last byte", with({3}), 0},
      {"name without its end", with({1, 'a', 1, 'b'}), 0},
      {"type and class cut short", with({1, 'a', 0, 0, 1, 0}), 0},
      {"255-byte label in a short datagram", with({255, 'x', 'y', 0, 0, 1, 0, 1}), 0},
      {"pointer read as a plain label", pointer_with_room, 192},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(decode(c.message).result, c.result);
  }
}

TEST(DnsBuild, LocalAnswerAppendsTheRecordBlock) {
  Bytes query = make_query({"dev", "tarvik"});
  ASSERT_EQ(query.size(), 28u);
  Bytes buffer = query;
  buffer.resize(28 + kAnswerBlockSize, 0xEE);
  const unsigned char entry[4] = {192, 168, 1, 20};
  const unsigned char server[4] = {10, 0, 0, 1};
  std::uint32_t entry_address;
  std::uint32_t server_address;
  std::memcpy(&entry_address, entry, 4);
  std::memcpy(&server_address, server, 4);

  ASSERT_EQ(build_local_answer(buffer.data(), 28, entry_address, server_address), 98);

  const Bytes expected = {
      0x12, 0x34, 0x85, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x01, 0x00, 0x01,  // header
      3, 'd', 'e', 'v', 6, 't', 'a', 'r', 'v', 'i', 'k', 0, 0x00, 0x01, 0x00, 0x01,
      0xC0, 0x0C, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x20, 0x00, 0x04,  // answer
      192, 168, 1, 20,
      6, 't', 'a', 'r', 'v', 'i', 'k', 0, 0x00, 0x02, 0x00, 0x01,  // authority
      0x00, 0x00, 0x00, 0x20, 0x00, 0x0B, 2, 'n', 's', 6, 't', 'a', 'r', 'v', 'i', 'k', 0,
      2, 'n', 's', 6, 't', 'a', 'r', 'v', 'i', 'k', 0, 0x00, 0x01, 0x00, 0x01,  // additional
      0x00, 0x00, 0x00, 0x20, 0x00, 0x04, 10, 0, 0, 1,
  };
  EXPECT_EQ(buffer, expected);
}

TEST(DnsBuild, LocalAnswerGoesBehindAnOptRecord) {
  Bytes query = make_query({"dev", "tarvik"});
  query[11] = 1;  // ARCOUNT
  const Bytes opt = {0, 0x00, 0x29, 0x10, 0x00, 0, 0, 0, 0, 0x00, 0x00};
  query.insert(query.end(), opt.begin(), opt.end());
  const int length = static_cast<int>(query.size());
  ASSERT_EQ(length, 39);
  ASSERT_EQ(decode(query).result, 10);

  Bytes buffer = query;
  buffer.resize(length + kAnswerBlockSize);
  ASSERT_EQ(build_local_answer(buffer.data(), length, 0x01020304u, 0xFFFFFFFFu),
            length + kAnswerBlockSize);
  EXPECT_EQ(buffer[7], 1);
  EXPECT_EQ(buffer[9], 1);
  EXPECT_EQ(buffer[10], 0);
  EXPECT_EQ(buffer[11], 1);
  EXPECT_TRUE(std::equal(opt.begin(), opt.end(), buffer.begin() + 28)) << "OPT record moved";
  EXPECT_EQ(buffer[length], 0xC0);
  EXPECT_EQ(buffer[length + 1], 0x0C);
  // The unset server address shows up as 255.255.255.255 in the glue record.
  for (int i = 66; i < 70; ++i) EXPECT_EQ(buffer[length + i], 0xFF);
}

TEST(DnsBuild, ErrorAnswerChangesOnlyFlagsAndRcode) {
  struct Case {
    unsigned char flags;
    unsigned char rcode_byte;
    int rcode;
    unsigned char flags_after;
    unsigned char rcode_byte_after;
  } cases[] = {
      {0x01, 0x00, 3, 0x85, 0x03},
      {0x00, 0x00, 0, 0x84, 0x00},
      {0x01, 0x80, 0x13, 0x85, 0x83},  // only the low four bits of rcode, RA kept
  };
  for (const Case& c : cases) {
    Bytes query = make_query({"dev", "tarvik"}, 1, 1, c.flags);
    query[3] = c.rcode_byte;
    Bytes reply = query;
    ASSERT_EQ(build_error_answer(reply.data(), 28, c.rcode), 28);
    Bytes expected = query;
    expected[2] = c.flags_after;
    expected[3] = c.rcode_byte_after;
    EXPECT_EQ(reply, expected);
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
    handle_dns_query();
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

TEST_F(DnsService, AnswersLocalNamesFromTheTable) {
  update_name_table("dev", "192.168.1.20");
  update_name_table("a.b", "192.168.1.21");
  struct Case {
    const char* what;
    Bytes query;
    std::size_t length;        // 0: no reply at all
    unsigned char rcode_byte;  // byte 3 of the reply
    std::vector<unsigned char> address;
  } cases[] = {
      {"registered", make_query({"dev", "tarvik"}), 98, 0x00, {192, 168, 1, 20}},
      // The answer follows the question; the OPT record is not carried over.
      {"registered, EDNS", with_opt(make_query({"dev", "tarvik"})), 98, 0x00, {192, 168, 1, 20}},
      {"not registered, EDNS", with_opt(make_query({"nobody", "tarvik"})), 31 + 23, 0x03, {}},
      {"name with a dot", make_query({"a", "b", "tarvik"}), 98, 0x00, {192, 168, 1, 21}},
      {"not registered", make_query({"nobody", "tarvik"}), 31, 0x03, {}},
      {"AAAA registered", make_query({"dev", "tarvik"}, 28), 28, 0x00, {}},
      {"MX not registered", make_query({"nobody", "tarvik"}, 15), 31, 0x03, {}},
      // Without an upstream server everything that is not ours is dropped.
      {"case differs", make_query({"DEV", "TARVIK"}), 0, 0, {}},
      {"bare zone name", make_query({"tarvik"}), 0, 0, {}},
      {"suffix alone", make_query({".tarvik"}), 0, 0, {}},
      {"class ANY", make_query({"dev", "tarvik"}, 1, 255), 0, 0, {}},
      {"not a DNS message", Bytes{'h', 'i'}, 0, 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ask(c.query);
    Bytes reply = receive(client_, nullptr, c.length ? 1000000 : 100000);
    ASSERT_EQ(reply.size(), c.length);
    if (c.length == 0) continue;
    // An error reply echoes the whole query; an answer keeps its question.
    std::size_t echoed = c.address.empty() ? c.query.size() : reply.size() - 70;
    EXPECT_TRUE(std::equal(c.query.begin() + 12, c.query.begin() + echoed, reply.begin() + 12))
        << "question changed";
    EXPECT_EQ(reply[0], 0x12);
    EXPECT_EQ(reply[2], 0x85);
    EXPECT_EQ(reply[3], c.rcode_byte);
    if (!c.address.empty()) {
      // One question, one answer, one authority and one additional record.
      EXPECT_EQ(Bytes(reply.begin() + 4, reply.begin() + 12), (Bytes{0, 1, 0, 1, 0, 1, 0, 1}));
      EXPECT_TRUE(std::equal(c.address.begin(), c.address.end(), reply.begin() + 28 + 12));
      const unsigned char glue[4] = {10, 9, 8, 7};
      EXPECT_TRUE(std::equal(glue, glue + 4, reply.end() - 4));
    } else {
      EXPECT_EQ(reply[7], 0) << "no answer record expected";
    }
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

TEST_F(DnsService, RelaysUpstreamAnswersInListOrder) {
  if (!start_upstream()) GTEST_SKIP() << "cannot bind 127.53.0.1:53 (needs root)";
  update_name_table("dev", "192.168.1.20");

  // Three forwards, including a non-DNS datagram and a local name of class
  // ANY; the upstream server gets each unchanged.
  const Bytes queries[] = {make_query({"example", "test"}), Bytes{'x', 'y', 'z'},
                           make_query({"dev", "tarvik"}, 1, 255)};
  SocketAddress sources[3];
  for (int i = 0; i < 3; ++i) {
    ask(queries[i]);
    EXPECT_EQ(receive(upstream_, &sources[i]), queries[i]);
  }
  EXPECT_EQ(pending_forward_count(), 3u);

  // Only the second and third are answered; both reach the client from the
  // DNS port, byte for byte, and the first stays pending.
  const Bytes answer2 = {'a', 'n', 's', '2'};
  const Bytes answer3 = {'a', 'n', 's', '3'};
  udp_send(upstream_, reinterpret_cast<const char*>(answer3.data()), 4, sources[2]);
  udp_send(upstream_, reinterpret_cast<const char*>(answer2.data()), 4, sources[1]);
  for (int tries = 0; tries < 10 && pending_forward_count() > 1; ++tries) relay_once();
  EXPECT_EQ(pending_forward_count(), 1u);
  SocketAddress from;
  Bytes first = receive(client_, &from);
  Bytes second = receive(client_);
  EXPECT_EQ(first, answer2) << "relayed in list order";
  EXPECT_EQ(second, answer3);
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
  ASSERT_EQ(receive(upstream_, &oldest), first);
  // Fill the list up to the limit, then one more: each is its own forward.
  Bytes filler = make_query({"filler", "test"});
  for (int i = 1; i <= kMaxPendingForwards; ++i) {
    ASSERT_EQ(udp_send_to(client_, reinterpret_cast<const char*>(filler.data()),
                          static_cast<int>(filler.size()), ip("127.0.0.1"), dns_port_),
              static_cast<int>(filler.size()));
    while (!handle_dns_query()) ASSERT_TRUE(readable(g_dns_socket, 1000000));
  }
  EXPECT_EQ(pending_forward_count(), static_cast<std::size_t>(kMaxPendingForwards));
  wait_set_clear(&set_);
  add_dns_sockets(tick_count_ms(), &set_);
  EXPECT_EQ(set_.count, 1 + kMaxPendingForwards) << "every forward is watched";

  // The first forward's socket is gone: an answer to it reaches nobody.
  const Bytes answer = {'o', 'l', 'd'};
  udp_send(upstream_, reinterpret_cast<const char*>(answer.data()), 3, oldest);
  relay_once(200000);
  EXPECT_TRUE(receive(client_, nullptr, 100000).empty());
  EXPECT_EQ(pending_forward_count(), static_cast<std::size_t>(kMaxPendingForwards));
}

}  // namespace
