// Publishing the name table into the site's DNS server: every change goes
// out as a signed dynamic update, from the loop, without ever waiting on
// the server.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform.h"

// Messages under way at once, each from a UDP socket of its own.
constexpr int kMaxUpdatesInFlight = 16;

// Starts publishing when update-server is configured: queues every entry
// of the table once, so a server that missed changes while the service was
// down catches up. Does nothing otherwise.
void publish_start();
// Queues the change of one name: its new address, or its removal. The
// latest change of a name replaces an unsent older one. Nothing when
// publishing is off; never throws.
void publish_name(const std::string& name, std::uint32_t address);
void publish_removal(const std::string& name);
// Sends what is due (as many as may be under way), ends the messages that
// have waited 5 s, and adds the sockets of those under way to the set.
void add_publish_sockets(std::uint32_t now, WaitSet* set);
// Takes the answers of the ready sockets.
void serve_publish_sockets(const WaitSet& set);
// At stop: waits up to 1 s for the answers under way, then drops the rest
// with one log line saying how many changes were not published.
void publish_stop();
// Changes waiting or under way: for tests.
std::size_t publish_backlog();
