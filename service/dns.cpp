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
constexpr int kRcodeNoError = 0;
constexpr int kRcodeNameError = 3;

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

bool has_local_suffix(const char* name, int n) {
  return n > kLocalSuffixLength &&
         std::memcmp(name + n - kLocalSuffixLength, kLocalSuffix, kLocalSuffixLength) == 0;
}

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

QueryOutcome answer_query(unsigned char* message, int length, int* reply_length) {
  int qtype = 0;
  int qclass = 0;
  int question_end = 0;
  int n = decode_question(g_name_buffer, kNameBufferSize, message, length, &qtype, &qclass,
                          &question_end);
  if (g_settings.verbose) log(4, "dns query: '%s'", log_safe(g_name_buffer).c_str());

  // Names under .tarvik are ours, whatever the record type: A is answered
  // from the table, any other type of class IN gets an empty answer (or a
  // name error), and neither ever leaves for the upstream server.
  bool local = n > 0 && qclass == kClassIn && has_local_suffix(g_name_buffer, n);
  if (!local) {
    return g_settings.dns_server_ip != kNotSet ? QueryOutcome::kForward : QueryOutcome::kDrop;
  }

  int cut = n - kLocalSuffixLength;
  g_name_buffer[cut] = '\0';
  const NameEntry* entry = find_by_name(g_name_buffer, static_cast<std::size_t>(cut));
  if (entry == nullptr) {
    *reply_length = build_error_answer(message, length, kRcodeNameError);
  } else if (qtype == kTypeA) {
    // The records go right behind the question: left behind it, an EDNS OPT
    // record (sent by most resolvers) would be read as the answer section.
    int question_length = keep_first_question_only(message, question_end);
    *reply_length = build_local_answer(message, question_length, entry->address,
                                       g_settings.tarvik_server_ip);
  } else {
    *reply_length = build_error_answer(message, length, kRcodeNoError);
  }
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
  if (!sender_allowed(socket_address_ip(asker))) return;
  if (received == 0) return;

  int reply_length = 0;
  switch (answer_query(g_query_buffer, received, &reply_length)) {
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
