// The DNS port's UDP side: queries on the UDP socket, taken and answered in
// batches, and the pending forwards, each a UDP socket of its own connected
// to the upstream server.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform.h"

// The DNS port's UDP socket (kNoSocket while DNS is off).
extern Socket g_dns_socket;

// Takes one batch of the datagrams queued on the DNS socket (at most
// `most`, at most what udp_receive_batch takes at once) and answers, forwards or drops each as
// answer_query decides. The answers leave together once the batch is
// served, in the order of their queries, each from the address its own
// query was sent to. A forward goes to the upstream server (dns_server_ip,
// port 53) through a UDP socket of its own; one that cannot be sent is
// answered SERVFAIL in its query's place. A datagram that cannot be received
// (oversized, say) is lost alone and logged, unless allow-from leaves its
// sender out; a datagram from one of the service's own forward sockets (the
// upstream server is this server) is dropped and logged, as TCP drops such
// a connection. Returns how many datagrams the batch took, failed receives
// included: 0 when none was queued. *drained (when given) tells whether the
// socket's queue was found empty behind them.
int handle_dns_queries(int most = kMaxDatagramBatch, bool* drained = nullptr);
// Closes every pending forward's socket and empties the list.
void drop_all_pending_forwards();
std::size_t pending_forward_count();
// Adds the UDP socket and the forwards still within their 5000 ms to the
// wait set (expired ones are closed, without a log line, and their askers
// get SERVFAIL).
void add_udp_sockets(std::uint32_t now, WaitSet* set);
// Relays the answer of every forward whose socket is ready (the relays leave
// in batches), then takes up to 32 of the queries queued on the UDP socket.
void serve_udp_sockets(const WaitSet& set);
