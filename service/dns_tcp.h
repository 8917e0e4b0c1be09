// The DNS port's TCP side: the listener's clients, each with at most one
// query relayed to the upstream server over a TCP connection of its own.
#pragma once

#include <cstdint>

#include "platform.h"

// The DNS port's TCP listener, or kNoSocket when the port could not be bound
// for TCP (UDP then works alone).
extern Socket g_dns_tcp_socket;

// Adds the listener and every connection with what it waits for; client
// connections idle for 10 s and TCP forwards past 5000 ms are closed here.
void add_tcp_sockets(std::uint32_t now, WaitSet* set);
// Moves every ready connection on as far as it can without waiting, and
// accepts up to 8 new clients.
void serve_tcp_sockets(const WaitSet& set, std::uint32_t now);
// At most `timeout_us`, or less while the listener is paused after a failed
// accept, so that it is watched again on time.
long tcp_wait_timeout_us(std::uint32_t now, long timeout_us);
// Closes every client connection and its forward.
void close_tcp_clients();
