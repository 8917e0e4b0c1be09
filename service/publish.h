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
// Refusals of one name (REFUSED, NOTAUTH, ...) before it is given up until
// its entry changes; it is retried after 1 s, then 2 s.
constexpr int kRefusalsBeforeGivingUp = 3;
// The file beside main.conf that keeps the names whose records in the zone
// may be the service's, so that a removal unsent at stop is done after the
// next start.
constexpr char kPublishedStateFile[] = "published";

// Starts publishing when update-server is configured: reads the state file,
// queues every entry of the table once, so a server that missed changes
// while the service was down catches up, and the removal of every name the
// file holds that the table no longer does. Does nothing otherwise.
void publish_start();
// Queues the change of one name: its new address, or its removal. Only the
// latest change of a name waits; it replaces an unsent older one, so no
// change is ever dropped for want of room. A removal of a name the service
// never published costs nothing. Nothing when publishing is off; never
// throws.
void publish_name(const std::string& name, std::uint32_t address);
void publish_removal(const std::string& name);
// Sends what is due (as many as may be under way), ends the messages that
// have waited 5 s, and adds the sockets of those under way to the set.
void add_publish_sockets(std::uint32_t now, WaitSet* set);
// Takes the answers of the ready sockets; `now` as for add_publish_sockets.
void serve_publish_sockets(std::uint32_t now, const WaitSet& set);
// At stop: waits up to 1 s for the answers under way, then drops the rest
// with one log line saying how many changes were not published, and writes
// the state file.
void publish_stop();
// Changes waiting or under way: for tests.
std::size_t publish_backlog();
