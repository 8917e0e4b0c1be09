// The DNS port's UDP side: queries on the UDP socket, and the pending
// forwards, each a UDP socket of its own connected to the upstream server.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "dns_answer.h"

#include "platform.h"

// True when a forward sent at tick `sent_at_ms` has outlived its 5000 ms at
// tick `now` (unsigned difference, so the tick counter's wrap does no harm).
bool forward_expired(std::uint32_t now, std::uint32_t sent_at_ms);
// Receives one datagram on the DNS socket and answers, forwards or drops it
// as answer_query decides; the answer leaves from the address the datagram
// was sent to. A forward goes to the upstream server (dns_server_ip, port 53)
// through a UDP socket of its own. A datagram from one of the service's own
// forward sockets (the upstream server is this server) is dropped and
// logged, as TCP drops such a connection. Returns false when no datagram
// was queued.
bool handle_dns_query();
// Closes every pending forward's socket and empties the list.
void drop_all_pending_forwards();
std::size_t pending_forward_count();
// Adds the UDP socket and the forwards still within their 5000 ms to the
// wait set (expired ones are closed, without a log line).
void add_udp_sockets(std::uint32_t now, WaitSet* set);
// Relays the answer of every forward whose socket is ready, then takes a
// bounded batch of the queries queued on the UDP socket.
void serve_udp_sockets(const WaitSet& set);
// The SERVFAIL (answer_relay_failure) for the query message[0, length),
// ready to send; "" when the message has no question to answer.
std::string relay_failure_reply(const unsigned char* message, int length, Transport transport);
