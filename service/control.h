// The control channel's commands, served by the loop: `status`, `forget
// NAME` and `reload`, one per connection, from administrators only (the
// transport and who may connect: platform.h, "Control channel").
//
// The protocol: the client sends one line, "status", "forget NAME" or
// "reload", ending in LF. The answer is lines ending in LF: "ok" or "error",
// the text, and "end" (the client knows the answer whole from it). An
// error's text is one line saying why. The text of `status` is records of
// tab-separated fields, for the command side to lay out:
//   summary   TEXT                what the service manager shows
//   started   UNIX                seconds since 1970 UTC
//   names     COUNT
//   dns-port  PORT | -            the port answered on; - when DNS is off
//   dns-off   PORT                DNS is configured on PORT but not running
//   hosts-written  UNIX | -       the last write of the block since start
//   hosts-failing-since  UNIX | - the first of the writes failing now
//   counter   NAME VALUE          each field of stats.h, in its order
//   device    NAME ADDRESS SENDER FIRST LAST RENEWALS
// where SENDER, FIRST and LAST are "-" when not known (a name loaded from
// the block at start that has not registered since). Devices come in no
// particular order.
#pragma once

#include <cstdint>
#include <string>

#include "platform.h"

// What the loop knows of the running service that the status view shows.
// The loop keeps it up to date; the view reads it when asked.
struct ServiceView {
  std::uint64_t started = 0;  // unix seconds
  int dns_port = 0;           // the port DNS answers on; 0 when it does not
  int dns_port_off = 0;       // configured, but not running (the bind failed)
  std::uint64_t hosts_written = 0;        // unix seconds; 0: not since start
  std::uint64_t hosts_failing_since = 0;  // unix seconds; 0: the last write succeeded
};

// The one line that says what runs, for the service manager and the status
// view: "42 names; DNS on port 53; hosts written 12:00:01", and what is off
// or failing ("DNS off: port 53 could not be opened", "hosts writes failing
// since 12:00:03"; "hosts not written since start" before the first write).
std::string service_summary(const ServiceView& view);

// How long a client has to send its request, and how long an answer may
// make no progress, before the client is let go.
constexpr std::uint32_t kControlRequestWaitMs = 2000;
constexpr std::uint32_t kControlStallMs = 5000;

// Opens the channel; a channel that cannot be opened is logged and the
// service runs without it.
void start_control();
// Lets every client go and closes the channel.
void stop_control();
// Adds the channel's listener (while a client can be taken) and clients
// to the loop's wait set.
void add_control_waits(std::uint32_t now_ms, WaitSet* set);
// The longest the loop may wait: a client's deadline, or the platform's
// bound (control_wait_timeout_us).
long control_timeout_us(std::uint32_t now_ms, long timeout_us);
// Takes new clients (when all numbers are taken, the one that has waited
// longest for its request is let go first, once it has had 250 ms), reads
// requests, serves them,
// and moves each answer on as far as it goes without waiting. A status
// answer is made a bounded piece per turn, so a large table never holds up
// the loop. Returns true when a client asked for a reload: the loop then
// reloads and hands the outcome to answer_reload.
bool serve_control(const WaitSet& set, const ServiceView& view, std::uint32_t now_ms);
// Answers every client waiting for a reload: ok or not, and the outcome's
// lines.
void answer_reload(bool ok, const std::string& outcome, std::uint32_t now_ms);
// Who asked for the reload being served, for its log line ("" when none).
const std::string& reload_asker();
