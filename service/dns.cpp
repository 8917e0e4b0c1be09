#include "dns.h"

#include <cstring>
#include <list>

#include "config.h"
#include "dns_codec.h"
#include "host.h"
#include "registry.h"

Socket g_dns_socket = kNoSocket;

// --- Service ---------------------------------------------------------------

namespace {

constexpr int kReceiveSize = 10000;
constexpr unsigned kNameBufferSize = 500;
constexpr std::uint32_t kForwardLifetimeMs = 5000;
constexpr int kUpstreamPort = 53;
constexpr std::uint32_t kNotSet = 0xFFFFFFFFu;
constexpr char kLocalSuffix[] = ".tarvik";
constexpr int kLocalSuffixLength = 7;

struct PendingForward {
  SocketAddress asker;  // exactly as the receive filled it in, with its length
  Socket socket;        // opened for this query alone, connected to upstream
  std::uint32_t sent_at_ms;
};

// Oldest first. Each entry owns its socket: whoever removes it closes it.
std::list<PendingForward> g_pending_forwards;

// Scratch space of one iteration, static so the loop allocates nothing. The
// query buffer has room for the answer block behind the largest datagram.
unsigned char g_query_buffer[kReceiveSize + kAnswerBlockSize];
char g_name_buffer[kNameBufferSize];
char g_relay_buffer[kReceiveSize];

void forward_query(const unsigned char* message, int length, const SocketAddress& asker) {
  Socket s = udp_open();
  if (s == kNoSocket) return;
  // Connected, so the system drops datagrams from anyone but the upstream
  // server: nobody else can answer in its name.
  if (!udp_connect(s, g_settings.dns_server_ip, kUpstreamPort)) {
    socket_close(s);
    return;
  }
  // A failed send is not fatal: the forward simply expires.
  udp_send_connected(s, reinterpret_cast<const char*>(message), length);
  g_pending_forwards.push_back(PendingForward{asker, s, tick_count_ms()});
}

}  // namespace

bool forward_expired(std::uint32_t now, std::uint32_t sent_at_ms) {
  // Exactly 5000 ms old still counts as alive.
  return static_cast<std::uint32_t>(now - sent_at_ms) > kForwardLifetimeMs;
}

void sweep_pending_forwards(std::uint32_t now, ReadSet* set) {
  for (auto it = g_pending_forwards.begin(); it != g_pending_forwards.end();) {
    if (forward_expired(now, it->sent_at_ms)) {
      socket_close(it->socket);
      it = g_pending_forwards.erase(it);
      continue;
    }
    // Forward sockets are distinct open handles, none of them the
    // registration or DNS socket, so the duplicate search of read_set_add
    // (linear in the set) is not needed; a full set just leaves the rest
    // unwatched for this iteration.
    if (set->count < kReadSetCapacity) set->handles[set->count++] = it->socket;
    ++it;
  }
}

void relay_upstream_answers(const ReadSet& ready) {
  // The wait keeps the ready sockets in the order they were added: the
  // registration and DNS sockets first, then the forwards in list order as
  // the sweep added them, and the list has not changed since. So one pass
  // over both finds every ready forward.
  int next = 0;
  while (next < ready.count &&
         (ready.handles[next] == g_registration_socket || ready.handles[next] == g_dns_socket)) {
    ++next;
  }
  for (auto it = g_pending_forwards.begin(); it != g_pending_forwards.end() && next < ready.count;) {
    if (ready.handles[next] != it->socket) {
      ++it;
      continue;
    }
    ++next;
    int received = udp_receive(it->socket, g_relay_buffer, kReceiveSize, nullptr);
    if (received <= 0) {
      log(1, "dns i->s recvfrom error: %d", last_socket_error());
    } else if (udp_send(g_dns_socket, g_relay_buffer, received, it->asker) != received) {
      log(1, "g_dns_s sendto error: %d", last_socket_error());
    }
    socket_close(it->socket);
    it = g_pending_forwards.erase(it);
  }
}

namespace {

// Names are compared ignoring ASCII case only: other bytes stay as they are.
char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool ascii_equal_ignoring_case(const char* a, const char* b, int n) {
  for (int i = 0; i < n; ++i) {
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  }
  return true;
}

// True when the name (n bytes) is the zone name "tarvik" or ends in ".tarvik".
bool is_in_zone(const char* name, int n) {
  if (n == kLocalSuffixLength - 1) return ascii_equal_ignoring_case(name, kLocalSuffix + 1, n);
  return n > kLocalSuffixLength &&
         ascii_equal_ignoring_case(name + n - kLocalSuffixLength, kLocalSuffix, kLocalSuffixLength);
}

// The records of a local answer, by what the name is and what was asked.
struct LocalRecords {
  int rcode = kRcodeNoError;
  bool address = false;       // the A record block of a registered name
  std::uint32_t entry = 0;    // its address
  bool ns_address = false;    // answer: ns.tarvik. A
  bool zone_soa = false;      // answer: the SOA
  bool zone_ns = false;       // answer: the NS, with the glue
  bool negative_soa = false;  // authority: the SOA (NXDOMAIN and no data)
};

LocalRecords look_up_local(char* name, int n, int qtype) {
  LocalRecords records;
  bool any = qtype == kTypeAny;
  if (n == kLocalSuffixLength - 1) {  // the zone name itself
    records.zone_soa = qtype == kTypeSoa || any;
    records.zone_ns = qtype == kTypeNs || any;
    records.negative_soa = !records.zone_soa && !records.zone_ns;
    return records;
  }
  int prefix_length = n - kLocalSuffixLength;
  // ns.tarvik is the server's own name, whatever a device registers.
  if (prefix_length == 2 && ascii_equal_ignoring_case(name, "ns", 2)) {
    records.ns_address = qtype == kTypeA || any;
    records.negative_soa = !records.ns_address;
    return records;
  }
  name[prefix_length] = '\0';
  const NameEntry* entry = find_by_name(name, static_cast<std::size_t>(prefix_length));
  if (entry != nullptr && (qtype == kTypeA || any)) {
    records.address = true;
    records.entry = entry->address;
    return records;
  }
  // A name with registered names below it exists without records: a name
  // error for it would deny the names below to resolvers that minimise their
  // questions or take NXDOMAIN for the whole subtree (RFC 8020).
  if (entry == nullptr && !has_names_below(name, static_cast<std::size_t>(prefix_length))) {
    records.rcode = kRcodeNameError;
  }
  records.negative_soa = true;
  return records;
}

// Appends the chosen records behind the question and writes the header.
// Returns the reply's length, or -1 when it does not fit `limit`.
int write_local_answer(unsigned char* message, int question_end, int limit,
                       const LocalRecords& records, bool recursion_available, const Edns& edns) {
  int pos = question_end;
  int answers = 0;
  int authority = 0;
  int additional = 0;
  std::uint32_t server = g_settings.tarvik_server_ip;
  if (records.address) {
    // The positive answer of a registered name: A, NS and glue, as always.
    if (limit - pos < kAnswerBlockSize) return -1;
    pos = build_local_answer(message, pos, records.entry, server);
    answers = authority = additional = 1;
  }
  if (records.ns_address) {
    pos = append_a_for_question(message, pos, limit, server);
    answers = 1;
  }
  if (records.zone_soa) {
    pos = append_soa(message, pos, limit, name_table_version());
    ++answers;
  }
  if (records.zone_ns) {
    pos = append_zone_ns(message, pos, limit);
    pos = append_a_for_ns(message, pos, limit, server);
    ++answers;
    ++additional;
  }
  if (records.negative_soa) {
    pos = append_soa(message, pos, limit, name_table_version());
    ++authority;
  }
  if (edns.present) {
    pos = append_opt(message, pos, limit, kRcodeNoError, edns.dnssec_ok);
    ++additional;
  }
  if (pos < 0) return -1;
  write_reply_header(message, true, recursion_available, records.rcode, 1, answers, authority,
                     additional);
  return pos;
}

// A reply with no records but the OPT: the question (when it could be read,
// that is when question_end > 0) and the rcode. Returns its length, or -1
// when it does not fit `limit`.
int write_bare_reply(unsigned char* message, int question_end, int limit, bool authoritative,
                     bool recursion_available, int rcode, const Edns& edns) {
  int pos = question_end > 0 ? question_end : kHeaderSize;
  if (pos > limit) return -1;
  if (edns.present) pos = append_opt(message, pos, limit, rcode, edns.dnssec_ok);
  if (pos < 0) return -1;
  write_reply_header(message, authoritative, recursion_available, rcode, question_end > 0 ? 1 : 0,
                     0, 0, edns.present ? 1 : 0);
  return pos;
}

}  // namespace

QueryOutcome answer_query(unsigned char* message, int length, int capacity, Transport transport,
                          int* reply_length) {
  int qtype = 0;
  int qclass = 0;
  int question_end = 0;
  int n = decode_question(g_name_buffer, kNameBufferSize, message, length, &qtype, &qclass,
                          &question_end);
  if (g_settings.verbose) log(4, "dns query: '%s'", log_safe(g_name_buffer).c_str());

  // Not even a header: nobody to answer.
  if (length < kHeaderSize) return QueryOutcome::kDrop;
  // A response is never answered nor relayed: answering one would let a
  // single forged datagram start an endless exchange between two servers.
  if (is_response(message)) return QueryOutcome::kDrop;

  const bool upstream = g_settings.dns_server_ip != kNotSet;
  const int opcode = header_opcode(message);
  // Only a single question of at most 255 bytes counts as readable.
  if (n < 0 || header_qdcount(message) != 1 ||
      question_end - kHeaderSize - 4 > kMaxWireNameLength) {
    question_end = 0;
  }
  const bool readable = question_end > 0;
  const bool local = readable && is_in_zone(g_name_buffer, n);
  // Every other name of a plain query is the upstream server's business,
  // relayed byte for byte.
  if (readable && opcode == kOpcodeQuery && !local && upstream) return QueryOutcome::kForward;

  Edns edns;
  const bool edns_readable = readable && read_edns(message, length, question_end, &edns);
  if (!edns_readable) edns = Edns{};

  // Over UDP the reply must fit what the asker can take; TCP has only the
  // buffer to fill.
  int limit = capacity;
  if (transport == Transport::kUdp) {
    int udp_limit = edns.present && edns.payload_size > kClassicUdpLimit ? edns.payload_size
                                                                         : kClassicUdpLimit;
    if (udp_limit < limit) limit = udp_limit;
  }

  int rcode = kRcodeNoError;
  if (opcode != kOpcodeQuery) {
    rcode = kRcodeNotImp;
  } else if (!readable || !edns_readable) {
    rcode = kRcodeFormErr;
  } else if (edns.present && edns.version > 0) {
    rcode = kRcodeBadVers;
  } else if (!local) {
    rcode = kRcodeRefused;  // no upstream server to ask
  } else if (qclass != kClassIn && qclass != kClassAny) {
    rcode = kRcodeRefused;  // the zone exists in class IN only
  } else if (qtype == kTypeIxfr || qtype == kTypeAxfr) {
    rcode = kRcodeRefused;  // the zone lives in memory: no transfers
  }

  int reply = -1;
  if (rcode == kRcodeNoError) {
    LocalRecords records = look_up_local(g_name_buffer, n, qtype);
    reply = write_local_answer(message, question_end, limit, records, upstream, edns);
    if (reply < 0) {
      // Too big for this transport: the question alone, truncated, so that
      // the asker comes back over TCP.
      reply = write_bare_reply(message, question_end, limit, true, upstream, records.rcode, edns);
      if (reply >= 0) set_truncated(message);
    }
  } else {
    reply = write_bare_reply(message, question_end, limit, false, upstream, rcode, edns);
  }
  if (reply < 0) return QueryOutcome::kDrop;
  *reply_length = reply;
  return QueryOutcome::kReply;
}

void handle_dns_query() {
  SocketAddress asker;
  int received = udp_receive(g_dns_socket, reinterpret_cast<char*>(g_query_buffer), kReceiveSize,
                             &asker);
  if (received < 0) {
    log(1, "g_dns_s recvfrom error: %d", last_socket_error());
    return;
  }
  if (received == 0) return;

  int reply_length = 0;
  switch (answer_query(g_query_buffer, received, static_cast<int>(sizeof g_query_buffer),
                       Transport::kUdp, &reply_length)) {
    case QueryOutcome::kReply:
      // A failed send loses only this reply; the asker will retry.
      udp_send(g_dns_socket, reinterpret_cast<const char*>(g_query_buffer), reply_length, asker);
      break;
    case QueryOutcome::kForward:
      forward_query(g_query_buffer, received, asker);
      break;
    case QueryOutcome::kDrop:
      break;
  }
}

void drop_all_pending_forwards() {
  for (const PendingForward& forward : g_pending_forwards) socket_close(forward.socket);
  g_pending_forwards.clear();
}

std::size_t pending_forward_count() { return g_pending_forwards.size(); }
