// Configuration (the Settings read from main.conf) and the log.
#pragma once

#include <cstdint>
#include <string>

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
};

// Process-wide; written only before the loop starts, read-only afterwards.
extern Settings g_settings;

// Reads g_settings.config_path, falling back to "./main.conf". False when
// neither file could be opened. Every message goes through log() at level 1.
bool read_configuration();

// Writes one timestamped record to stderr and appends it (ending in CR LF)
// to <log_path>/log, rotating it to log.1 once it has grown past 1,000,000
// bytes. Callers pass data as arguments, never as the format.
void log(int level, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

constexpr long long kLogRotateSize = 1000000;

// Received text as it may go into a log record: control bytes (below 0x20,
// and 0x7F) shown as \xNN, so that data from the network can never end a
// record early or forge one.
std::string log_safe(const std::string& text);
