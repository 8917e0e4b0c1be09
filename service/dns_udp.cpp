#include "dns_udp.h"

#include <cstring>
#include <list>
#include <new>
#include <string>

#include "config.h"
#include "dns_answer.h"
#include "dns_codec.h"
#include "dns_relay.h"
#include "stats.h"

Socket g_dns_socket = kNoSocket;

namespace {

constexpr int kReceiveSize = 10000;

struct PendingForward {
  SocketAddress asker;  // exactly as the receive filled it in, with its length
  std::uint32_t local;  // the address the asker sent to; the answer leaves from it
  Socket socket;        // opened for this query alone, connected to upstream
  std::uint32_t sent_at_ms;
  int slot;             // in this iteration's wait set; -1: not watched
  std::uint64_t own_key;  // see remember_own_forward; 0: none
  std::string failure;    // the SERVFAIL the asker gets if this forward fails; "" none
  std::uint16_t id;       // the ID the query went upstream with
  std::uint16_t asker_id; // the asker's own, which its answer carries back
};

// Oldest first. Each entry owns its socket: whoever removes it closes it
// with close_pending_forward.
std::list<PendingForward> g_pending_forwards;

void close_pending_forward(const PendingForward& forward) {
  forget_own_forward(forward.own_key);
  socket_close(forward.socket);
}

// --- Batches ------------------------------------------------------------------
//
// One batch of datagrams in, one batch of answers out. Each received
// datagram has a slot of its own, with room for the largest datagram and
// the answer block behind it; its answer is built in place there and leaves
// from there, so nothing is copied. The relayed answers of the upstream
// server use the same slots, in their own batches. Static, so the loop
// allocates nothing.

struct DatagramSlot {
  unsigned char bytes[kReceiveSize + kAnswerBlockSize];
};
DatagramSlot g_slots[kMaxDatagramBatch];
ReceivedDatagram g_received[kMaxDatagramBatch];

// The answers waiting to leave, in order. Each points into a slot, or, for
// the SERVFAIL of a failed forward, at that forward's failure, kept here
// under the same index until the send, since the forward goes at once.
OutgoingDatagram g_outgoing[kMaxDatagramBatch];
bool g_log_failed_send[kMaxDatagramBatch];
std::string g_failures_held[kMaxDatagramBatch];
int g_outgoing_count = 0;

// Sends the queued answers. A failed send loses only its own answer; the
// asker will retry. Every phase of serving ends with this, so that between
// them nothing waits and every slot is free; and begins with it, for the
// answers of a phase that memory running out cut short: their slots still
// hold them until the next phase writes there.
void send_answers() {
  if (g_outgoing_count == 0) return;
  udp_send_batch(g_dns_socket, g_outgoing, g_outgoing_count);
  for (int i = 0; i < g_outgoing_count; ++i) {
    int error = g_outgoing[i].error;
    if (error != 0 && g_log_failed_send[i]) {
      log(1, "g_dns_s sendto error: %d: %s", error, system_error_text(error).c_str());
    }
  }
  g_outgoing_count = 0;
}

void queue_answer(const void* data, int length, const SocketAddress& to, std::uint32_t local,
                  bool log_failure) {
  if (g_outgoing_count == kMaxDatagramBatch) send_answers();
  g_outgoing[g_outgoing_count] =
      OutgoingDatagram{static_cast<const char*>(data), length, to, local, 0};
  g_log_failed_send[g_outgoing_count] = log_failure;
  ++g_outgoing_count;
}

// Queues the SERVFAIL of a failed forward for its asker, rather than
// leaving it to time out and ask again into the same failure.
void queue_forward_failure(PendingForward* forward) {
  if (forward->failure.empty()) return;
  if (g_outgoing_count == kMaxDatagramBatch) send_answers();
  std::string& held = g_failures_held[g_outgoing_count];
  held.swap(forward->failure);
  queue_answer(held.data(), static_cast<int>(held.size()), forward->asker, forward->local, false);
  ++g_counters.queries_servfail;
}

// --- Forwards -------------------------------------------------------------------

// Sends the query to the upstream server from a socket of its own. False
// when it could not be (no room for a forward, no socket): the caller
// answers SERVFAIL.
bool forward_query(unsigned char* message, int length, const SocketAddress& asker,
                   std::uint32_t local) {
  std::size_t cap = static_cast<std::size_t>(g_dns_caps.forwards);
  if (cap == 0) return false;  // a descriptor limit too low for any (said at start)
  // Every forward stays watched: a flood of queries that the upstream server
  // never answers ends the oldest forwards early instead of leaving new
  // ones, good ones among them, unwatched until the old ones expire.
  if (g_pending_forwards.size() >= cap) {
    queue_forward_failure(&g_pending_forwards.front());
    close_pending_forward(g_pending_forwards.front());
    g_pending_forwards.pop_front();
  }
  // Everything that may run out of memory comes before the socket, so that
  // none is left open behind a failure.
  g_pending_forwards.push_back(PendingForward{asker, local, kNoSocket, 0, -1, 0,
                                              relay_failure_reply(message, length, Transport::kUdp),
                                              random_query_id(), message_id(message)});
  PendingForward& forward = g_pending_forwards.back();
  // A fresh socket per query: the system gives it a fresh, unpredictable
  // source port, and connected, it drops datagrams from anyone but the
  // upstream server, so nobody else can answer in its name.
  Socket s = udp_open();
  if (s != kNoSocket && !udp_connect(s, g_settings.dns_server_ip, kUpstreamPort)) {
    socket_close(s);
    s = kNoSocket;
  }
  if (s == kNoSocket) {
    int error = last_socket_error();
    g_pending_forwards.pop_back();
    log(1, "dns i->s socket error: %d: %s", error, system_error_text(error).c_str());
    return false;
  }
  // A failed send is not fatal: the forward simply expires. The query goes
  // with the forward's own ID; the buffer gets the asker's back, since a
  // failure is answered from it.
  set_message_id(message, forward.id);
  int sent = udp_send_connected(s, reinterpret_cast<const char*>(message), length);
  set_message_id(message, forward.asker_id);
  if (sent == length) ++g_counters.queries_relayed;
  forward.socket = s;
  forward.sent_at_ms = tick_count_ms();
  forward.own_key = remember_own_forward(s, Transport::kUdp);
  return true;
}

// Relays the answer of every forward whose socket is ready to its asker,
// from the address the asker asked, and ends those forwards.
void relay_upstream_answers(const WaitSet& set) {
  send_answers();
  for (auto it = g_pending_forwards.begin(); it != g_pending_forwards.end();) {
    if (wait_set_ready(set, it->slot) == 0) {
      ++it;
      continue;
    }
    // While relays fill the queue, the slot of the next queued answer is
    // free: answers in earlier slots are queued before it.
    if (g_outgoing_count == kMaxDatagramBatch) send_answers();
    unsigned char* slot = g_slots[g_outgoing_count].bytes;
    int received = udp_receive(it->socket, reinterpret_cast<char*>(slot), kReceiveSize, nullptr);
    if (received >= 0 && (received < 2 || message_id(slot) != it->id)) {
      // Not the answer to this query (a spoofer who got past the source
      // port, or a late answer to another): the wait goes on.
      ++it;
      continue;
    }
    if (received <= 0) {
      // Also how an upstream server that refuses ends its forward at once:
      // the connected socket reports the "port unreachable".
      int error = last_socket_error();
      log(1, "dns i->s recvfrom error: %d: %s", error, system_error_text(error).c_str());
      queue_forward_failure(&*it);
    } else {
      set_message_id(slot, it->asker_id);
      queue_answer(slot, received, it->asker, it->local, true);
    }
    close_pending_forward(*it);
    it = g_pending_forwards.erase(it);
  }
  send_answers();
}

void add_pending_forwards(std::uint32_t now, WaitSet* set) {
  send_answers();
  for (auto it = g_pending_forwards.begin(); it != g_pending_forwards.end();) {
    if (forward_expired(now, it->sent_at_ms)) {
      queue_forward_failure(&*it);
      close_pending_forward(*it);
      it = g_pending_forwards.erase(it);
      continue;
    }
    it->slot = wait_set_add(set, it->socket, kWaitRead);
    ++it;
  }
  send_answers();
}

// --- Queries ----------------------------------------------------------------------

// Answers, forwards or drops one datagram of a batch.
void serve_datagram(ReceivedDatagram* d) {
  // A failed receive loses that datagram alone; an oversized one still
  // names its sender, and a sender that allow-from leaves out stays unseen.
  if (d->length < 0) {
    if (d->from.length == 0 || sender_allowed(socket_address_ip(d->from))) {
      log(1, "g_dns_s recvfrom error: %d: %s", d->error, system_error_text(d->error).c_str());
    }
    return;
  }
  std::uint32_t sender = socket_address_ip(d->from);
  if (!sender_allowed(sender)) return;
  if (d->length == 0 || from_own_forward(d->from, Transport::kUdp)) return;

  unsigned char* message = reinterpret_cast<unsigned char*>(d->data);
  const int capacity = static_cast<int>(sizeof(DatagramSlot));
  int reply_length = 0;
  switch (answer_query(message, d->length, capacity, Transport::kUdp, &reply_length)) {
    case QueryOutcome::kReply:
      queue_answer(message, reply_length, d->from, d->local, false);
      break;
    case QueryOutcome::kForward:
      if (!relay_allowed(sender)) {
        // REFUSED rather than silence: the asker learns at once instead of
        // retrying, and the reply is no larger than the query, so it gains
        // nothing as a reflector.
        if (answer_relay_refused(message, d->length, capacity, Transport::kUdp, &reply_length)) {
          ++g_counters.queries_refused;
          queue_answer(message, reply_length, d->from, d->local, false);
        }
      } else if (!forward_query(message, d->length, d->from, d->local) &&
                 answer_relay_failure(message, d->length, capacity, Transport::kUdp,
                                      &reply_length)) {
        ++g_counters.queries_servfail;
        queue_answer(message, reply_length, d->from, d->local, false);
      }
      break;
    case QueryOutcome::kDrop:
      break;
  }
}

// Queries taken from the UDP socket after one wait. Each wait watches every
// forward socket, which costs in proportion to their number; a batch spreads
// that cost over a burst of queries, so a flood cannot make the loop fall
// behind good queries. Small enough that the other sockets wait little.
constexpr int kQueriesPerWait = 32;

int g_dns_slot = -1;

}  // namespace

int handle_dns_queries(int most, bool* drained) {
  if (most > kMaxDatagramBatch) most = kMaxDatagramBatch;
  for (int i = 0; i < most; ++i) {
    g_received[i].data = reinterpret_cast<char*>(g_slots[i].bytes);
    g_received[i].capacity = kReceiveSize;
  }
  send_answers();
  bool queue_drained = false;
  int taken = udp_receive_batch(g_dns_socket, g_received, most, &queue_drained);
  if (drained != nullptr) *drained = queue_drained;
  // Memory running out costs the query at hand, not the rest of its batch.
  for (int i = 0; i < taken; ++i) {
    try {
      serve_datagram(&g_received[i]);
    } catch (const std::bad_alloc&) {
      log(1, "%s", "dns: query dropped: out of memory");
    }
  }
  send_answers();
  return taken;
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
  if (wait_set_ready(set, g_dns_slot) == 0) return;
  for (int taken = 0; taken < kQueriesPerWait;) {
    int wanted = kQueriesPerWait - taken;
    if (wanted > kMaxDatagramBatch) wanted = kMaxDatagramBatch;
    bool drained = false;
    int n = handle_dns_queries(wanted, &drained);
    taken += n;
    if (n == 0 || drained) break;
  }
}
