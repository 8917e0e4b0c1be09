// Configuration (the Settings read from main.conf) and the log.
#pragma once

#include <cstddef>
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
  // max-age: names not renewed within this many hours are removed; 0: never.
  int max_age_hours = 0;
};

constexpr int kMaxNamesLimit = 1000000;
constexpr int kMaxAgeHoursLimit = 87600;  // ten years
// The longest line read, its line end not counted. A longer line makes the
// whole file unusable: whatever it held (a password, a list of senders)
// must not silently fall back to its default.
constexpr std::size_t kConfigLineLimit = 65536;

// Process-wide; written only before the loop starts, read-only afterwards.
extern Settings g_settings;

// One thing wrong with a configuration file, as the log and `tarvik check`
// show it. The text names the file (and the line), "PATH:LINE: REASON" or
// "PATH: REASON", except the three cross-checks of ports and servers, which
// keep their old words. No text ever holds the value of `pwd` or the secret
// of `update-key`.
struct ConfigProblem {
  int level;  // 1: error (a value not taken, or the file refused); 2: warning (an unknown key)
  std::string text;
  bool fatal;  // this problem alone keeps the file from being used
};

// What a configuration file without a single line gives: the built-in
// defaults, config_path set to `path`, the log in the file's folder and the
// system's hosts file.
Settings default_settings(const std::string& path);

// Reads the configuration file at `path` into *settings, starting from what
// *settings holds (normally default_settings(path)), and appends to
// *problems everything wrong with it. Touches nothing else: not g_settings,
// not the log.
//
// True when the settings may be used; *settings then holds them, with
// config_path set to `path`, and *problems any line errors (each such value
// keeps its default) and unknown keys. False, with *settings untouched,
// when the file must not be used: with *refused false when it could not be
// opened (missing, not a regular file, unreadable: the start then tries
// ./main.conf), with *refused true when it was opened but refuses the
// start: someone other than an administrator could have written it, it
// holds `pwd` or `update-key` and others may read it, a line is longer
// than kConfigLineLimit, or a max-names line does not parse.
bool load_configuration(const std::string& path, Settings* settings,
                        std::vector<ConfigProblem>* problems, bool* refused);

// Logs each problem at its level, never held back by the flood limit: the
// fatal ones all, the others up to kLoggedConfigProblems, followed by one
// "%d more problems of the configuration not logged; tarvik check lists
// them".
void log_configuration_problems(const std::vector<ConfigProblem>& problems);
constexpr int kLoggedConfigProblems = 100;

// The start's reading: loads g_settings.config_path (falling back to
// "./main.conf" when it cannot be opened, but not when it was refused) into
// g_settings and logs the problems, those of a file that is used in the log
// it names. g_settings.config_path then names the file read. False, with
// g_settings as it was, when no file may be used; *failure (when given)
// then says why in one line: the fatal problems' texts, joined by "; ".
bool read_configuration(std::string* failure = nullptr);

// `tarvik check [FILE]`: judges FILE (null: the file the service would
// read, the data folder's main.conf or else ./main.conf) as the start
// would, and prints every problem and a last line with the outcome to
// standard output. Returns the exit code: 0 when there is nothing to say
// about the file, 1 otherwise.
int check_configuration(const char* path);

// True when the datagram from `address` (network byte order) is to be
// served: always when allow-from is not set, else when a configured range
// holds it. Every transport asks this right after its receive.
bool sender_allowed(std::uint32_t address);
// True when one of the ranges holds `address` (network byte order).
bool address_in_prefixes(std::uint32_t address, const std::vector<Ipv4Prefix>& prefixes);

// Writes one record to stderr and appends it, timestamped and ending in CR
// LF, to <log_path>/log, rotating it to log.1 once it has grown past
// 1,000,000 bytes. Levels: 1 error, 2 warning, 4 information. On stderr a
// record is timestamped too, except where stderr is the journal's stream:
// there it starts with its syslog priority instead ("<3>" error, "<4>"
// warning, "<6>" information), the journal keeping the time. On Windows an
// error record also goes to the Event Log. Callers pass data as arguments,
// never as the format.
//
// So that a flood cannot rotate the history out of the log, more than
// kLogBurstLimit records of one format within one second are held back
// (written nowhere); the first record logged once that second is over is
// preceded by one "%d similar records suppressed", at the level of the
// records it counts. The format is remembered for that second, so it must
// be a string literal, as every caller's is.
void log(int level, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
// As log(), but the record is never held back: for the records that the log
// is kept for (each registration and what became of it), which must survive
// any flood of others. Past the burst limit such a record still reaches the
// log, but no longer the Event Log, which a flood would otherwise fill.
void log_always(int level, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
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
