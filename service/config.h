// Configuration (the Settings read from main.conf) and the log.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform.h"

struct Settings {
  std::string config_path = "./main.conf";
  std::string log_path = "./";
  std::string hosts_file;  // set from default_hosts_path() at start
  int port = 5000;
  std::string pwd;
  int dns_port = 0;  // 0: no DNS socket
  std::uint32_t dns_server_ip = 0xFFFFFFFFu;     // not set
  std::uint32_t tarvik_server_ip = 0xFFFFFFFFu;  // not set
  bool verbose = false;
  // allow-from: when set, only senders within these ranges are served.
  bool allow_from_set = false;
  std::vector<Ipv4Prefix> allow_from;
  // max-names: the most names the table holds (and the hosts-file block
  // with it).
  int max_names = 10000;
  // Dynamic updates of the site's DNS server: off while the server is not
  // set.
  std::uint32_t update_server_ip = 0xFFFFFFFFu;
  int update_server_port = 53;
  std::string update_zone;
  bool update_key_set = false;  // unsigned updates when not set
  std::string update_key_name;
  HmacAlgorithm update_key_algorithm = HmacAlgorithm::kSha256;
  std::string update_key_secret;  // decoded
  int update_ttl = 32;
};

constexpr int kMaxNamesLimit = 1000000;

// Process-wide; written only before the loop starts, read-only afterwards.
extern Settings g_settings;

// Reads g_settings.config_path, falling back to "./main.conf", and leaves
// g_settings.config_path naming the file read. False when neither file
// could be opened. Every message goes through log() at level 1.
bool read_configuration();

// True when the datagram from `address` (network byte order) is to be
// served: always when allow-from is not set, else when a configured range
// holds it. Every transport asks this right after its receive.
bool sender_allowed(std::uint32_t address);
// True when one of the ranges holds `address` (network byte order).
bool address_in_prefixes(std::uint32_t address, const std::vector<Ipv4Prefix>& prefixes);

// Writes one timestamped record to stderr and appends it (ending in CR LF)
// to <log_path>/log, rotating it to log.1 once it has grown past 1,000,000
// bytes. Callers pass data as arguments, never as the format.
//
// So that a flood cannot rotate the history out of the log, more than
// kLogBurstLimit records of one format within one second are held back
// (written nowhere); the first record logged once that second is over is
// preceded by one "%d similar records suppressed". The format is remembered
// for that second, so it must be a string literal, as every caller's is.
void log(int level, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
// As log(), but the record is never held back: for the records that the log
// is kept for (each registration and what became of it), which must survive
// any flood of others.
void log_always(int level, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
// Writes the "%d similar records suppressed" records of the seconds that are
// over (of every second, over or not, when `all`). log() does it before
// every record; the loop calls it after every wait, so that the count does
// not wait for the next record, and with `all` at stop, so that none is lost.
void log_release_held_back(bool all = false);
// Forgets every burst, as if the log had been quiet for a second, and that
// a refused log file or a failed rotation was reported: for tests.
void log_forget_bursts();

constexpr long long kLogRotateSize = 1000000;
constexpr int kLogBurstLimit = 10;
constexpr std::uint32_t kLogBurstWindowMs = 1000;

// Received text as it may go into a log record: control bytes (below 0x20,
// and 0x7F) shown as \xNN, so that data from the network can never end a
// record early or forge one.
std::string log_safe(const std::string& text);
