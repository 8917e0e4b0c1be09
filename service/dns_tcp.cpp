#include "dns_tcp.h"

#include <cstring>
#include <list>
#include <string>

#include "config.h"
#include "dns_answer.h"
#include "dns_relay.h"
#include "stats.h"

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
// Queries of one client taken per wait: enough for a pipelining resolver,
// few enough that one client cannot hold the loop from everyone else (64
// clients streaming queries then cost a wait about 512 answers).
constexpr int kTcpQueriesPerWait = 8;
// After an accept has failed (no descriptor left, say) the listener stays
// readable; it is left unwatched this long instead of being tried again at
// once, which would spin the loop.
constexpr std::uint32_t kAcceptPauseMs = 100;
constexpr int kAcceptsPerWait = 8;

// A query relayed to the upstream server over a TCP connection of its own.
struct TcpForward {
  Socket socket = kNoSocket;  // kNoSocket: none under way
  std::uint32_t started_at_ms = 0;
  bool connected = false;
  std::string query;        // length-prefixed, as it goes out
  std::size_t query_sent = 0;
  std::string answer;       // length-prefixed, as far as received
  std::string failure;      // the SERVFAIL the client gets if this forward fails
  std::uint16_t id = 0;       // the ID the query went upstream with
  std::uint16_t asker_id = 0; // the client's own, which its answer carries back
  int slot = -1;
  std::uint64_t own_key = 0;  // see remember_own_forward; 0: none
};

struct TcpClient {
  Socket socket = kNoSocket;
  // When its last whole query arrived (or its last answer came back from
  // upstream): a client trickling bytes without ever finishing a query is
  // idle all the same.
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
  bool may_relay = false;  // relay_allowed for its peer, asked at accept
};

std::list<TcpClient> g_tcp_clients;
int g_tcp_listener_slot = -1;
bool g_accept_paused = false;
std::uint32_t g_accept_paused_at_ms = 0;

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
    forget_own_forward(forward->own_key);
    socket_close(forward->socket);
  }
  *forward = TcpForward();
}

bool client_done(const TcpClient& c) {
  return c.finishing && c.forward.socket == kNoSocket && c.output_sent == c.output.size();
}

// Whether the client waits for nothing from the service: no relayed query
// under way, no answer left to send, no whole query left to take. Only such
// a client may be displaced by a newcomer.
bool client_at_rest(const TcpClient& c) {
  return c.forward.socket == kNoSocket && c.output_sent == c.output.size() &&
         complete_message_length(c.input) < 0;
}

// A whole query waits in the buffer and the client may have it taken.
bool client_has_query_ready(const TcpClient& c) {
  return !c.finishing && c.forward.socket == kNoSocket &&
         c.output.size() - c.output_sent < kTcpPendingOutputLimit &&
         complete_message_length(c.input) >= 0;
}

void close_tcp_client(std::list<TcpClient>::iterator it) {
  end_tcp_forward(&it->forward);
  socket_close(it->socket);
  g_tcp_clients.erase(it);
}

void log_tcp_error(int error) {
  log(1, "dns i->s tcp error: %d: %s", error, system_error_text(error).c_str());
}

// Ends the client's relayed query as failed: the client gets SERVFAIL in
// its place, in order, and its connection goes on with the queries behind.
void fail_tcp_forward(TcpClient* c) {
  std::string failure = std::move(c->forward.failure);
  end_tcp_forward(&c->forward);
  if (failure.empty()) {
    c->finishing = true;  // nothing to answer with: the closed connection says it
    return;
  }
  append_length_prefixed(&c->output, reinterpret_cast<const unsigned char*>(failure.data()),
                         static_cast<int>(failure.size()));
  ++g_counters.queries_servfail;
}

void start_tcp_forward(TcpClient* c, const unsigned char* message, int length, std::uint32_t now) {
  c->forward.failure = relay_failure_reply(message, length, Transport::kTcp);
  Socket s = tcp_connect_start(g_settings.dns_server_ip, kUpstreamPort);
  if (s == kNoSocket) {
    log_tcp_error(last_socket_error());
    fail_tcp_forward(c);
    return;
  }
  c->forward.socket = s;
  c->forward.started_at_ms = now;
  c->forward.own_key = remember_own_forward(s, Transport::kTcp);
  append_length_prefixed(&c->forward.query, message, length);
  // As over UDP, the query goes with an ID of the forward's own.
  unsigned char* query = reinterpret_cast<unsigned char*>(&c->forward.query[2]);
  c->forward.asker_id = message_id(query);
  c->forward.id = random_query_id();
  set_message_id(query, c->forward.id);
}

// Answers the client's queued queries in order, until one goes upstream,
// its answers pile up, no whole query is left, or it has had `*budget`
// queries taken in this wait.
void take_client_queries(TcpClient* c, std::uint32_t now, int* budget) {
  while (*budget > 0 && !c->finishing && c->forward.socket == kNoSocket &&
         c->output.size() - c->output_sent < kTcpPendingOutputLimit) {
    int length = complete_message_length(c->input);
    if (length < 0) return;
    --*budget;
    c->last_active_ms = now;
    if (length == 0) {
      // Not a query: a client that sends these only keeps the loop busy.
      // What it asked before is still answered.
      c->input.clear();
      c->finishing = true;
      return;
    }
    std::memcpy(g_tcp_message, c->input.data() + 2, static_cast<std::size_t>(length));
    c->input.erase(0, static_cast<std::size_t>(length) + 2);
    int reply_length = 0;
    switch (answer_query(g_tcp_message, length, static_cast<int>(sizeof g_tcp_message),
                         Transport::kTcp, &reply_length)) {
      case QueryOutcome::kReply:
        append_length_prefixed(&c->output, g_tcp_message, reply_length);
        break;
      case QueryOutcome::kForward:
        if (c->may_relay) {
          start_tcp_forward(c, g_tcp_message, length, now);
        } else if (answer_relay_refused(g_tcp_message, length,
                                        static_cast<int>(sizeof g_tcp_message), Transport::kTcp,
                                        &reply_length)) {
          ++g_counters.queries_refused;
          append_length_prefixed(&c->output, g_tcp_message, reply_length);
        }
        break;
      case QueryOutcome::kDrop:
        break;
    }
  }
}

// Sends what it can of the client's answers. False when the connection failed.
bool flush_client(TcpClient* c) {
  while (c->output_sent < c->output.size()) {
    std::size_t left = c->output.size() - c->output_sent;
    int n = tcp_send(c->socket, c->output.data() + c->output_sent,
                     static_cast<int>(left < 65536 ? left : 65536));
    if (n == kWouldBlock) return true;
    if (n <= 0) return false;
    c->output_sent += static_cast<std::size_t>(n);
  }
  c->output.clear();
  c->output_sent = 0;
  return true;
}

// Moves a relayed query on: completes the connect, sends the query, reads
// the answer. When the answer is whole it joins the client's answers as it
// is. A failure is logged and finishes the client.
void serve_tcp_forward(TcpClient* c, unsigned char ready, std::uint32_t now, int* budget) {
  TcpForward* f = &c->forward;
  if (!f->connected) {
    if (!(ready & kWaitWrite)) return;
    int error = tcp_connect_error(f->socket);
    if (error != 0) {
      log_tcp_error(error);
      fail_tcp_forward(c);
      return;
    }
    f->connected = true;
  }
  while (f->query_sent < f->query.size()) {
    int n = tcp_send(f->socket, f->query.data() + f->query_sent,
                     static_cast<int>(f->query.size() - f->query_sent));
    if (n == kWouldBlock) return;
    if (n <= 0) {
      log_tcp_error(last_socket_error());
      fail_tcp_forward(c);
      return;
    }
    f->query_sent += static_cast<std::size_t>(n);
    if (f->query_sent == f->query.size()) ++g_counters.queries_relayed;
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
      log_tcp_error(last_socket_error());
    }
    fail_tcp_forward(c);
    return;
  }
  f->answer.append(g_tcp_read_buffer, static_cast<std::size_t>(n));
  int answer_length = complete_message_length(f->answer);
  if (answer_length < 0) return;
  unsigned char* answer = reinterpret_cast<unsigned char*>(&f->answer[2]);
  if (answer_length < 2 || message_id(answer) != f->id) {
    // A server that answers another query on a connection of one query is
    // broken: the client gets SERVFAIL, as for a failed relay.
    log(1, "%s", "dns i->s tcp answer to another query");
    fail_tcp_forward(c);
    return;
  }
  set_message_id(answer, f->asker_id);
  c->output += f->answer;
  end_tcp_forward(f);
  c->last_active_ms = now;
  take_client_queries(c, now, budget);
}

void serve_tcp_client(TcpClient* c, unsigned char ready) {
  if (ready & kWaitRead) {
    int n = tcp_receive(c->socket, g_tcp_read_buffer, sizeof g_tcp_read_buffer);
    if (n > 0) {
      c->input.append(g_tcp_read_buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || n == -1) {
      // Closed, or reset: what was asked before is still answered where
      // the connection lets it.
      c->finishing = true;
    }
  }
}

// The client a new connection displaces when all places are taken: the
// longest idle of those at rest; end() when none is.
std::list<TcpClient>::iterator longest_idle_client(std::uint32_t now) {
  auto oldest = g_tcp_clients.end();
  for (auto it = g_tcp_clients.begin(); it != g_tcp_clients.end(); ++it) {
    if (!client_at_rest(*it)) continue;
    if (oldest == g_tcp_clients.end() ||
        static_cast<std::uint32_t>(now - it->last_active_ms) >
            static_cast<std::uint32_t>(now - oldest->last_active_ms)) {
      oldest = it;
    }
  }
  return oldest;
}

// Takes one waiting connection; false when there was none to take.
bool accept_tcp_client(std::uint32_t now) {
  SocketAddress peer;
  Socket s = tcp_accept(g_dns_tcp_socket, &peer);
  if (s == kNoSocket) {
    int error = last_socket_error();
    if (socket_error_would_block(error)) return false;  // gone again
    log(1, "dns: TCP accept error: %d", error);
    g_accept_paused = true;
    g_accept_paused_at_ms = now;
    return false;
  }
  if (!sender_allowed(socket_address_ip(peer)) || from_own_forward(peer, Transport::kTcp)) {
    socket_close(s);
    return true;
  }
  if (g_tcp_clients.size() >= static_cast<std::size_t>(g_dns_caps.tcp_clients)) {
    auto displaced = longest_idle_client(now);
    if (displaced == g_tcp_clients.end()) {
      // Every place waits for an answer: the newcomer is told at once
      // rather than after a time-out, and may try again.
      socket_close(s);
      return true;
    }
    close_tcp_client(displaced);
  }
  TcpClient c;
  c.socket = s;
  c.last_active_ms = now;
  c.may_relay = relay_allowed(socket_address_ip(peer));
  g_tcp_clients.push_back(std::move(c));
  return true;
}

}  // namespace

Socket g_dns_tcp_socket = kNoSocket;

long tcp_wait_timeout_us(std::uint32_t now, long timeout_us) {
  if (!g_accept_paused) return timeout_us;
  std::uint32_t paused = now - g_accept_paused_at_ms;
  long left_us = paused >= kAcceptPauseMs ? 0 : static_cast<long>(kAcceptPauseMs - paused) * 1000;
  return left_us < timeout_us ? left_us : timeout_us;
}

void add_tcp_sockets(std::uint32_t now, WaitSet* set) {
  if (g_accept_paused &&
      static_cast<std::uint32_t>(now - g_accept_paused_at_ms) >= kAcceptPauseMs) {
    g_accept_paused = false;
  }
  g_tcp_listener_slot = g_dns_tcp_socket != kNoSocket && !g_accept_paused
                            ? wait_set_add(set, g_dns_tcp_socket, kWaitRead)
                            : -1;
  for (auto it = g_tcp_clients.begin(); it != g_tcp_clients.end();) {
    TcpClient& c = *it;
    if (c.forward.socket != kNoSocket && forward_expired(now, c.forward.started_at_ms)) {
      fail_tcp_forward(&c);
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
    bool query_ready = client_has_query_ready(c);
    if (!c.finishing && c.forward.socket == kNoSocket &&
        c.output.size() - c.output_sent < kTcpPendingOutputLimit && !query_ready) {
      wanted |= kWaitRead;
    }
    // A whole query left over from the last wait's share is taken as soon
    // as its answer could leave: the wait then returns at once.
    if (c.output_sent < c.output.size() || query_ready) wanted |= kWaitWrite;
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
    int budget = kTcpQueriesPerWait;
    if (c.forward.socket != kNoSocket) {
      unsigned char ready = wait_set_ready(set, c.forward.slot);
      if (ready != 0) serve_tcp_forward(&c, ready, now, &budget);
    }
    serve_tcp_client(&c, wait_set_ready(set, c.slot));
    // Answers go out at once where the socket takes them; the wait is
    // needed only for what it does not. Queries held back while answers
    // piled up are taken as soon as those have gone.
    bool alive = flush_client(&c);
    if (alive) {
      take_client_queries(&c, now, &budget);
      alive = flush_client(&c);
    }
    if (!alive || client_done(c)) {
      auto gone = it++;
      close_tcp_client(gone);
      continue;
    }
    ++it;
  }
  // A few per wait: connections arriving faster than one per wait (a burst,
  // or someone churning) must not leave good clients queued behind them.
  if (wait_set_ready(set, g_tcp_listener_slot) != 0) {
    for (int i = 0; i < kAcceptsPerWait && accept_tcp_client(now); ++i) {
    }
  }
}



void close_tcp_clients() {
  while (!g_tcp_clients.empty()) close_tcp_client(g_tcp_clients.begin());
}
