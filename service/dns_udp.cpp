#include "dns_udp.h"

#include <cstring>
#include <list>
#include <string>

#include "config.h"
#include "dns.h"
#include "dns_answer.h"
#include "dns_codec.h"

namespace {

constexpr int kReceiveSize = 10000;
constexpr std::uint32_t kForwardLifetimeMs = 5000;
constexpr int kUpstreamPort = 53;

struct PendingForward {
  SocketAddress asker;  // exactly as the receive filled it in, with its length
  std::uint32_t local;  // the address the asker sent to; the answer leaves from it
  Socket socket;        // opened for this query alone, connected to upstream
  std::uint32_t sent_at_ms;
  int slot;             // in this iteration's wait set; -1: not watched
  std::uint64_t own_key;  // the socket's local address, see remember_own_forward
  std::string failure;    // the SERVFAIL the asker gets if this forward fails; "" none
};

// Oldest first. Each entry owns its socket: whoever removes it closes it
// with close_pending_forward.
std::list<PendingForward> g_pending_forwards;

void close_pending_forward(const PendingForward& forward) {
  forget_own_forward(forward.own_key);
  socket_close(forward.socket);
}

// Scratch space of one iteration, static so the loop allocates nothing. The
// query buffer has room for the answer block behind the largest datagram.
unsigned char g_query_buffer[kReceiveSize + kAnswerBlockSize];
char g_relay_buffer[kReceiveSize];
unsigned char g_failure_buffer[kReceiveSize + kReplyCapacity];

// Tells the asker of a failed forward at once (SERVFAIL), rather than
// leaving it to time out and ask again into the same failure.
void answer_failed_forward(const PendingForward& forward) {
  if (forward.failure.empty()) return;
  udp_send_from(g_dns_socket, forward.failure.data(), static_cast<int>(forward.failure.size()),
                forward.asker, forward.local);
}

void forward_query(const unsigned char* message, int length, const SocketAddress& asker,
                   std::uint32_t local) {
  // Every forward stays watched: a flood of queries that the upstream server
  // never answers ends the oldest forwards early instead of leaving new
  // ones, good ones among them, unwatched until the old ones expire.
  PendingForward forward{asker, local, kNoSocket, 0, -1, 0,
                         relay_failure_reply(message, length, Transport::kUdp)};
  std::size_t cap = static_cast<std::size_t>(g_dns_caps.forwards);
  if (cap == 0) {  // a descriptor limit too low for any (said at start)
    answer_failed_forward(forward);
    return;
  }
  if (g_pending_forwards.size() >= cap) {
    answer_failed_forward(g_pending_forwards.front());
    close_pending_forward(g_pending_forwards.front());
    g_pending_forwards.pop_front();
  }
  Socket s = udp_open();
  // Connected, so the system drops datagrams from anyone but the upstream
  // server: nobody else can answer in its name.
  if (s != kNoSocket && !udp_connect(s, g_settings.dns_server_ip, kUpstreamPort)) {
    socket_close(s);
    s = kNoSocket;
  }
  if (s == kNoSocket) {
    int error = last_socket_error();
    log(1, "dns i->s socket error: %d: %s", error, system_error_text(error).c_str());
    answer_failed_forward(forward);
    return;
  }
  // A failed send is not fatal: the forward simply expires.
  udp_send_connected(s, reinterpret_cast<const char*>(message), length);
  forward.socket = s;
  forward.sent_at_ms = tick_count_ms();
  forward.own_key = remember_own_forward(s, Transport::kUdp);
  g_pending_forwards.push_back(std::move(forward));
}


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
      int error = last_socket_error();
      log(1, "dns i->s recvfrom error: %d: %s", error, system_error_text(error).c_str());
      answer_failed_forward(*it);
    } else if (udp_send_from(g_dns_socket, g_relay_buffer, received, it->asker, it->local) !=
               received) {
      int error = last_socket_error();
      log(1, "g_dns_s sendto error: %d: %s", error, system_error_text(error).c_str());
    }
    close_pending_forward(*it);
    it = g_pending_forwards.erase(it);
  }
}

void add_pending_forwards(std::uint32_t now, WaitSet* set) {
  for (auto it = g_pending_forwards.begin(); it != g_pending_forwards.end();) {
    if (forward_expired(now, it->sent_at_ms)) {
      answer_failed_forward(*it);
      close_pending_forward(*it);
      it = g_pending_forwards.erase(it);
      continue;
    }
    it->slot = wait_set_add(set, it->socket, kWaitRead);
    ++it;
  }
}

}  // namespace

std::string relay_failure_reply(const unsigned char* message, int length, Transport transport) {
  if (length <= 0 || length > kReceiveSize) return std::string();
  std::memcpy(g_failure_buffer, message, static_cast<std::size_t>(length));
  int reply_length = 0;
  if (!answer_relay_failure(g_failure_buffer, length, static_cast<int>(sizeof g_failure_buffer),
                            transport, &reply_length)) {
    return std::string();
  }
  return std::string(reinterpret_cast<const char*>(g_failure_buffer),
                     static_cast<std::size_t>(reply_length));
}

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
  // A failed receive loses that datagram alone; an oversized one still
  // names its sender, and a sender that allow-from leaves out stays unseen.
  if (received < 0) {
    int error = last_socket_error();
    if (asker.length == 0 || sender_allowed(socket_address_ip(asker))) {
      log(1, "g_dns_s recvfrom error: %d: %s", error, system_error_text(error).c_str());
    }
    return true;
  }
  if (!sender_allowed(socket_address_ip(asker))) return true;
  if (received == 0 || from_own_forward(asker, Transport::kUdp)) return true;

  int reply_length = 0;
  switch (answer_query(g_query_buffer, received, static_cast<int>(sizeof g_query_buffer),
                       Transport::kUdp, &reply_length)) {
    case QueryOutcome::kReply:
      // A failed send loses only this reply; the asker will retry.
      udp_send_from(g_dns_socket, reinterpret_cast<const char*>(g_query_buffer), reply_length,
                    asker, local);
      break;
    case QueryOutcome::kForward:
      if (relay_allowed(socket_address_ip(asker))) {
        forward_query(g_query_buffer, received, asker, local);
      } else if (answer_relay_refused(g_query_buffer, received,
                                      static_cast<int>(sizeof g_query_buffer), Transport::kUdp,
                                      &reply_length)) {
        // REFUSED rather than silence: the asker learns at once instead of
        // retrying, and the reply is no larger than the query, so it gains
        // nothing as a reflector.
        udp_send_from(g_dns_socket, reinterpret_cast<const char*>(g_query_buffer), reply_length,
                      asker, local);
      }
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

void add_udp_sockets(std::uint32_t now, WaitSet* set) {
  g_dns_slot = wait_set_add(set, g_dns_socket, kWaitRead);
  add_pending_forwards(now, set);
}

void serve_udp_sockets(const WaitSet& set) {
  relay_upstream_answers(set);
  if (wait_set_ready(set, g_dns_slot) != 0) {
    for (int i = 0; i < kQueriesPerWait && handle_dns_query(); ++i) {
    }
  }
}
