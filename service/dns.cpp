#include "dns.h"

#include <cstring>
#include <list>
#include <string>
#include <unordered_set>

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
  std::uint32_t local;  // the address the asker sent to; the answer leaves from it
  Socket socket;        // opened for this query alone, connected to upstream
  std::uint32_t sent_at_ms;
  int slot;             // in this iteration's wait set; -1: not watched
  std::uint64_t own_key;  // the socket's local address, see g_own_forward_addresses
};

// Oldest first. Each entry owns its socket: whoever removes it closes it
// with close_pending_forward.
std::list<PendingForward> g_pending_forwards;

// The local addresses (address_key) of this service's own forward sockets,
// UDP and TCP. A query that comes from one of them is one of its own
// forwards come back, because the upstream server is this very server:
// taking it would relay it to itself again, without end.
std::unordered_set<std::uint64_t> g_own_forward_addresses;

std::uint64_t address_key(const SocketAddress& a) {
  return (static_cast<std::uint64_t>(socket_address_ip(a)) << 16) |
         static_cast<std::uint64_t>(socket_address_port(a));
}

// Records the local address of a new forward socket; returns its key (0
// when the OS does not tell it).
std::uint64_t remember_own_forward(Socket s) {
  SocketAddress local;
  if (!socket_local_address(s, &local)) return 0;
  std::uint64_t key = address_key(local);
  g_own_forward_addresses.insert(key);
  return key;
}

bool from_own_forward(const SocketAddress& peer) {
  if (g_own_forward_addresses.count(address_key(peer)) == 0) return false;
  log(1, "dns i->s loop: upstream %s is this server", format_ipv4(g_settings.dns_server_ip).c_str());
  return true;
}

void close_pending_forward(const PendingForward& forward) {
  g_own_forward_addresses.erase(forward.own_key);
  socket_close(forward.socket);
}

// Scratch space of one iteration, static so the loop allocates nothing. The
// query buffer has room for the answer block behind the largest datagram.
unsigned char g_query_buffer[kReceiveSize + kAnswerBlockSize];
char g_name_buffer[kNameBufferSize];
char g_relay_buffer[kReceiveSize];

void forward_query(const unsigned char* message, int length, const SocketAddress& asker,
                   std::uint32_t local) {
  // Every forward stays watched: a flood of queries that the upstream server
  // never answers ends the oldest forwards early instead of leaving new
  // ones, good ones among them, unwatched until the old ones expire.
  if (g_pending_forwards.size() >= static_cast<std::size_t>(kMaxPendingForwards)) {
    close_pending_forward(g_pending_forwards.front());
    g_pending_forwards.pop_front();
  }
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
  g_pending_forwards.push_back(
      PendingForward{asker, local, s, tick_count_ms(), -1, remember_own_forward(s)});
}

}  // namespace

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
  // Stored names are single labels, so a name that is not in the table has
  // no names below it either: a name error covers it and everything below.
  if (entry == nullptr) records.rcode = kRcodeNameError;
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

// --- UDP transport ------------------------------------------------------------

namespace {

// Queries taken from the UDP socket after one wait. Each wait watches every
// forward socket, which costs in proportion to their number; a batch spreads
// that cost over a burst of queries, so a flood cannot make the loop fall
// behind good queries. Small enough that the other sockets wait little.
constexpr int kQueriesPerWait = 32;

int g_dns_slot = -1;

// Relays the answer of every forward whose socket is ready to its asker,
// from the address the asker asked, and ends those forwards.
void relay_upstream_answers(const WaitSet& set) {
  for (auto it = g_pending_forwards.begin(); it != g_pending_forwards.end();) {
    if (wait_set_ready(set, it->slot) == 0) {
      ++it;
      continue;
    }
    int received = udp_receive(it->socket, g_relay_buffer, kReceiveSize, nullptr);
    if (received <= 0) {
      // Also how an upstream server that refuses ends its forward at once:
      // the connected socket reports the "port unreachable".
      log(1, "dns i->s recvfrom error: %d", last_socket_error());
    } else if (udp_send_from(g_dns_socket, g_relay_buffer, received, it->asker, it->local) !=
               received) {
      log(1, "g_dns_s sendto error: %d", last_socket_error());
    }
    close_pending_forward(*it);
    it = g_pending_forwards.erase(it);
  }
}

void add_pending_forwards(std::uint32_t now, WaitSet* set) {
  for (auto it = g_pending_forwards.begin(); it != g_pending_forwards.end();) {
    if (forward_expired(now, it->sent_at_ms)) {
      close_pending_forward(*it);
      it = g_pending_forwards.erase(it);
      continue;
    }
    it->slot = wait_set_add(set, it->socket, kWaitRead);
    ++it;
  }
}

}  // namespace

bool forward_expired(std::uint32_t now, std::uint32_t sent_at_ms) {
  // Exactly 5000 ms old still counts as alive.
  return static_cast<std::uint32_t>(now - sent_at_ms) > kForwardLifetimeMs;
}

bool handle_dns_query() {
  SocketAddress asker;
  std::uint32_t local = 0;
  int received = udp_receive_to(g_dns_socket, reinterpret_cast<char*>(g_query_buffer),
                                kReceiveSize, &asker, &local);
  if (received == kWouldBlock) return false;
  if (received < 0) {
    log(1, "g_dns_s recvfrom error: %d", last_socket_error());
    return true;
  }
  if (!sender_allowed(socket_address_ip(asker))) return true;
  if (received == 0 || from_own_forward(asker)) return true;

  int reply_length = 0;
  switch (answer_query(g_query_buffer, received, static_cast<int>(sizeof g_query_buffer),
                       Transport::kUdp, &reply_length)) {
    case QueryOutcome::kReply:
      // A failed send loses only this reply; the asker will retry.
      udp_send_from(g_dns_socket, reinterpret_cast<const char*>(g_query_buffer), reply_length,
                    asker, local);
      break;
    case QueryOutcome::kForward:
      forward_query(g_query_buffer, received, asker, local);
      break;
    case QueryOutcome::kDrop:
      break;
  }
  return true;
}

void drop_all_pending_forwards() {
  for (const PendingForward& forward : g_pending_forwards) close_pending_forward(forward);
  g_pending_forwards.clear();
}

std::size_t pending_forward_count() { return g_pending_forwards.size(); }

// --- TCP transport ------------------------------------------------------------
//
// Every TCP socket is non-blocking and served only after the loop's wait has
// reported it ready. Whatever a read or write could not finish stays in the
// connection's buffers, and the next ready report continues from there. A
// message travels as a 2-byte big-endian length and then that many bytes.
// A client's queries are taken one at a time, in order: local ones are
// answered at once, and one that goes to the upstream server holds the
// queries behind it until its answer (or its failure) has come, so answers
// leave in the order of the queries.

namespace {

constexpr int kMaxTcpMessage = 65535;
constexpr std::uint32_t kTcpIdleMs = 10000;
// While this much of a client's answers waits to be sent, its further
// queries wait too: a client that does not read cannot grow the buffer.
constexpr std::size_t kTcpPendingOutputLimit = 65536;
constexpr int kTcpReadChunk = 16384;

// A query relayed to the upstream server over a TCP connection of its own.
struct TcpForward {
  Socket socket = kNoSocket;  // kNoSocket: none under way
  std::uint32_t started_at_ms = 0;
  bool connected = false;
  std::string query;        // length-prefixed, as it goes out
  std::size_t query_sent = 0;
  std::string answer;       // length-prefixed, as far as received
  int slot = -1;
  std::uint64_t own_key = 0;  // see g_own_forward_addresses
};

struct TcpClient {
  Socket socket = kNoSocket;
  std::uint32_t last_active_ms = 0;
  std::string input;         // received bytes not yet taken as queries
  std::string output;        // length-prefixed answers not yet sent
  std::size_t output_sent = 0;
  // Set when the client has closed its side or its relayed query failed:
  // no further query is taken, and the connection closes once the answers
  // before that point are sent.
  bool finishing = false;
  TcpForward forward;
  int slot = -1;
};

std::list<TcpClient> g_tcp_clients;
int g_tcp_listener_slot = -1;

// A TCP message with room for the longest reply behind the longest query.
unsigned char g_tcp_message[kMaxTcpMessage + kReplyCapacity];
char g_tcp_read_buffer[kTcpReadChunk];

void append_length_prefixed(std::string* out, const unsigned char* data, int length) {
  out->push_back(static_cast<char>((length >> 8) & 0xFF));
  out->push_back(static_cast<char>(length & 0xFF));
  out->append(reinterpret_cast<const char*>(data), static_cast<std::size_t>(length));
}

// The bytes that the first message in `buffer` still lacks: its 2-byte
// length first, then as many as that says.
std::size_t bytes_missing(const std::string& buffer) {
  if (buffer.size() < 2) return 2 - buffer.size();
  std::size_t length =
      (static_cast<std::size_t>(static_cast<unsigned char>(buffer[0])) << 8) |
      static_cast<unsigned char>(buffer[1]);
  return length + 2 > buffer.size() ? length + 2 - buffer.size() : 0;
}

// The length of the first message in `buffer` (its prefix excluded) once it
// is whole, or -1 while it is not.
int complete_message_length(const std::string& buffer) {
  if (bytes_missing(buffer) != 0) return -1;
  return (static_cast<unsigned char>(buffer[0]) << 8) | static_cast<unsigned char>(buffer[1]);
}

void end_tcp_forward(TcpForward* forward) {
  if (forward->socket != kNoSocket) {
    g_own_forward_addresses.erase(forward->own_key);
    socket_close(forward->socket);
  }
  *forward = TcpForward();
}

bool client_done(const TcpClient& c) {
  return c.finishing && c.forward.socket == kNoSocket && c.output_sent == c.output.size();
}

void close_tcp_client(std::list<TcpClient>::iterator it) {
  end_tcp_forward(&it->forward);
  socket_close(it->socket);
  g_tcp_clients.erase(it);
}

void start_tcp_forward(TcpClient* c, const unsigned char* message, int length, std::uint32_t now) {
  Socket s = tcp_connect_start(g_settings.dns_server_ip, kUpstreamPort);
  if (s == kNoSocket) {
    log(1, "dns i->s tcp error: %d", last_socket_error());
    c->finishing = true;  // the client learns at once, from the closed connection
    return;
  }
  c->forward.socket = s;
  c->forward.started_at_ms = now;
  c->forward.own_key = remember_own_forward(s);
  append_length_prefixed(&c->forward.query, message, length);
}

// Answers the client's queued queries in order, until one goes upstream,
// its answers pile up, or no whole query is left.
void take_client_queries(TcpClient* c, std::uint32_t now) {
  while (!c->finishing && c->forward.socket == kNoSocket &&
         c->output.size() - c->output_sent < kTcpPendingOutputLimit) {
    int length = complete_message_length(c->input);
    if (length < 0) return;
    std::memcpy(g_tcp_message, c->input.data() + 2, static_cast<std::size_t>(length));
    c->input.erase(0, static_cast<std::size_t>(length) + 2);
    if (length == 0) continue;  // nothing to answer
    int reply_length = 0;
    switch (answer_query(g_tcp_message, length, static_cast<int>(sizeof g_tcp_message),
                         Transport::kTcp, &reply_length)) {
      case QueryOutcome::kReply:
        append_length_prefixed(&c->output, g_tcp_message, reply_length);
        break;
      case QueryOutcome::kForward:
        start_tcp_forward(c, g_tcp_message, length, now);
        break;
      case QueryOutcome::kDrop:
        break;
    }
  }
}

// Sends what it can of the client's answers. False when the connection failed.
bool flush_client(TcpClient* c, std::uint32_t now) {
  while (c->output_sent < c->output.size()) {
    std::size_t left = c->output.size() - c->output_sent;
    int n = tcp_send(c->socket, c->output.data() + c->output_sent,
                     static_cast<int>(left < 65536 ? left : 65536));
    if (n == kWouldBlock) return true;
    if (n <= 0) return false;
    c->output_sent += static_cast<std::size_t>(n);
    c->last_active_ms = now;
  }
  c->output.clear();
  c->output_sent = 0;
  return true;
}

// Moves a relayed query on: completes the connect, sends the query, reads
// the answer. When the answer is whole it joins the client's answers as it
// is. A failure is logged and finishes the client.
void serve_tcp_forward(TcpClient* c, unsigned char ready, std::uint32_t now) {
  TcpForward* f = &c->forward;
  if (!f->connected) {
    if (!(ready & kWaitWrite)) return;
    int error = tcp_connect_error(f->socket);
    if (error != 0) {
      log(1, "dns i->s tcp error: %d", error);
      end_tcp_forward(f);
      c->finishing = true;
      return;
    }
    f->connected = true;
  }
  while (f->query_sent < f->query.size()) {
    int n = tcp_send(f->socket, f->query.data() + f->query_sent,
                     static_cast<int>(f->query.size() - f->query_sent));
    if (n == kWouldBlock) return;
    if (n <= 0) {
      log(1, "dns i->s tcp error: %d", last_socket_error());
      end_tcp_forward(f);
      c->finishing = true;
      return;
    }
    f->query_sent += static_cast<std::size_t>(n);
  }
  if (!(ready & kWaitRead)) return;
  // Read no further than the answer's end: the prefix first, then the rest.
  std::size_t want = bytes_missing(f->answer);
  if (want == 0) return;
  if (want > sizeof g_tcp_read_buffer) want = sizeof g_tcp_read_buffer;
  int n = tcp_receive(f->socket, g_tcp_read_buffer, static_cast<int>(want));
  if (n == kWouldBlock) return;
  if (n <= 0) {
    if (n == 0) {
      log(1, "dns i->s tcp closed early");
    } else {
      log(1, "dns i->s tcp error: %d", last_socket_error());
    }
    end_tcp_forward(f);
    c->finishing = true;
    return;
  }
  f->answer.append(g_tcp_read_buffer, static_cast<std::size_t>(n));
  if (complete_message_length(f->answer) < 0) return;
  c->output += f->answer;
  end_tcp_forward(f);
  c->last_active_ms = now;
  take_client_queries(c, now);
}

void serve_tcp_client(TcpClient* c, unsigned char ready, std::uint32_t now) {
  if (ready & kWaitRead) {
    int n = tcp_receive(c->socket, g_tcp_read_buffer, sizeof g_tcp_read_buffer);
    if (n > 0) {
      c->input.append(g_tcp_read_buffer, static_cast<std::size_t>(n));
      c->last_active_ms = now;
    } else if (n == 0 || n == -1) {
      // Closed, or reset: what was asked before is still answered where
      // the connection lets it.
      c->finishing = true;
    }
  }
}

// The client a new connection displaces when all places are taken.
std::list<TcpClient>::iterator longest_idle_client(std::uint32_t now) {
  auto oldest = g_tcp_clients.begin();
  for (auto it = g_tcp_clients.begin(); it != g_tcp_clients.end(); ++it) {
    if (static_cast<std::uint32_t>(now - it->last_active_ms) >
        static_cast<std::uint32_t>(now - oldest->last_active_ms)) {
      oldest = it;
    }
  }
  return oldest;
}

void accept_tcp_client(std::uint32_t now) {
  SocketAddress peer;
  Socket s = tcp_accept(g_dns_tcp_socket, &peer);
  if (s == kNoSocket) return;  // gone again, or nothing to take
  if (!sender_allowed(socket_address_ip(peer)) || from_own_forward(peer)) {
    socket_close(s);
    return;
  }
  if (g_tcp_clients.size() >= static_cast<std::size_t>(kMaxTcpClients)) {
    close_tcp_client(longest_idle_client(now));
  }
  TcpClient c;
  c.socket = s;
  c.last_active_ms = now;
  g_tcp_clients.push_back(std::move(c));
}

void add_tcp_sockets(std::uint32_t now, WaitSet* set) {
  g_tcp_listener_slot =
      g_dns_tcp_socket != kNoSocket ? wait_set_add(set, g_dns_tcp_socket, kWaitRead) : -1;
  for (auto it = g_tcp_clients.begin(); it != g_tcp_clients.end();) {
    TcpClient& c = *it;
    if (c.forward.socket != kNoSocket && forward_expired(now, c.forward.started_at_ms)) {
      end_tcp_forward(&c.forward);
      c.finishing = true;
    }
    bool idle = c.forward.socket == kNoSocket &&
                static_cast<std::uint32_t>(now - c.last_active_ms) > kTcpIdleMs;
    if (idle || client_done(c)) {
      auto gone = it++;
      close_tcp_client(gone);
      continue;
    }
    unsigned char wanted = 0;
    // Read while the client can take a query: not behind a relayed one, its
    // answers not piling up, and no whole query still waiting in the buffer.
    if (!c.finishing && c.forward.socket == kNoSocket &&
        c.output.size() - c.output_sent < kTcpPendingOutputLimit &&
        complete_message_length(c.input) < 0) {
      wanted |= kWaitRead;
    }
    if (c.output_sent < c.output.size()) wanted |= kWaitWrite;
    c.slot = wanted != 0 ? wait_set_add(set, c.socket, wanted) : -1;
    if (c.forward.socket != kNoSocket) {
      bool sending = !c.forward.connected || c.forward.query_sent < c.forward.query.size();
      c.forward.slot = wait_set_add(set, c.forward.socket, sending ? kWaitWrite : kWaitRead);
    }
    ++it;
  }
}

void serve_tcp_sockets(const WaitSet& set, std::uint32_t now) {
  for (auto it = g_tcp_clients.begin(); it != g_tcp_clients.end();) {
    TcpClient& c = *it;
    if (c.forward.socket != kNoSocket) {
      unsigned char ready = wait_set_ready(set, c.forward.slot);
      if (ready != 0) serve_tcp_forward(&c, ready, now);
    }
    serve_tcp_client(&c, wait_set_ready(set, c.slot), now);
    // Answers go out at once where the socket takes them; the wait is
    // needed only for what it does not. Queries held back while answers
    // piled up are taken as soon as those have gone.
    bool alive = flush_client(&c, now);
    if (alive) {
      take_client_queries(&c, now);
      alive = flush_client(&c, now);
    }
    if (!alive || client_done(c)) {
      auto gone = it++;
      close_tcp_client(gone);
      continue;
    }
    ++it;
  }
  if (wait_set_ready(set, g_tcp_listener_slot) != 0) accept_tcp_client(now);
}

}  // namespace

// --- The DNS port in the loop ----------------------------------------------

Socket g_dns_tcp_socket = kNoSocket;

bool open_dns_sockets(int port) {
  g_dns_socket = bind_udp_port(port);
  if (g_dns_socket == kNoSocket) {
    log(1, "UDP bind on port %d error: %d", port, last_socket_error());
    log(1, "DNS server will be disabled");
    return false;
  }
  // Neither is vital: without them answers may leave from another of the
  // machine's addresses, and on Windows a client that has gone away may
  // cost a logged receive error.
  udp_ignore_unreachable(g_dns_socket);
  udp_report_destination(g_dns_socket);
  udp_enlarge_receive_buffer(g_dns_socket);
  g_dns_tcp_socket = tcp_listen(port);
  if (g_dns_tcp_socket == kNoSocket) {
    log(1, "TCP bind on port %d error: %d", port, last_socket_error());
  }
  return true;
}

void close_dns_sockets() {
  if (g_dns_socket != kNoSocket) {
    socket_close(g_dns_socket);
    g_dns_socket = kNoSocket;
  }
  if (g_dns_tcp_socket != kNoSocket) {
    socket_close(g_dns_tcp_socket);
    g_dns_tcp_socket = kNoSocket;
  }
  while (!g_tcp_clients.empty()) close_tcp_client(g_tcp_clients.begin());
  drop_all_pending_forwards();
}

void add_dns_sockets(std::uint32_t now, WaitSet* set) {
  g_dns_slot = wait_set_add(set, g_dns_socket, kWaitRead);
  add_pending_forwards(now, set);
  add_tcp_sockets(now, set);
}

void serve_dns_sockets(const WaitSet& set) {
  relay_upstream_answers(set);
  if (wait_set_ready(set, g_dns_slot) != 0) {
    for (int i = 0; i < kQueriesPerWait && handle_dns_query(); ++i) {
    }
  }
  serve_tcp_sockets(set, tick_count_ms());
}
