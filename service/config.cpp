#include "config.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform.h"

namespace {

Settings initial_settings() {
  Settings s;
  s.hosts_file = default_hosts_path();
  return s;
}

// The configuration file's notion of whitespace: exactly these six bytes.
bool is_config_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Skips whitespace, then takes bytes up to the next whitespace or the end of
// the (zero-terminated) line. The cursor stops right after the word.
std::string next_word(const char** cursor) {
  const char* p = *cursor;
  while (*p != '\0' && is_config_space(*p)) ++p;
  const char* start = p;
  while (*p != '\0' && !is_config_space(*p)) ++p;
  *cursor = p;
  return std::string(start, p);
}

// Skips whitespace, takes the rest of the line and drops trailing
// whitespace; inner whitespace stays.
std::string rest_of_line(const char** cursor) {
  const char* p = *cursor;
  while (*p != '\0' && is_config_space(*p)) ++p;
  const char* end = p + std::strlen(p);
  while (end > p && is_config_space(end[-1])) --end;
  *cursor = end;
  return std::string(p, end);
}

// strtol base 10 on the word; only 1..65535 is a port.
bool parse_port(const std::string& word, int* port) {
  long value = std::strtol(word.c_str(), nullptr, 10);
  if (value < 1 || value > 65535) return false;
  *port = static_cast<int>(value);
  return true;
}

void log_line_error(const std::string& path, int line_number, const char* line) {
  std::string text(line);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  log(1, "%s:%d: '%s'", path.c_str(), line_number, text.c_str());
}

// Applies one line. Returns false when its value was refused.
bool apply_config_line(const char* line) {
  const char* cursor = line;
  std::string key = next_word(&cursor);
  if (key == "hosts-file") {
    g_settings.hosts_file = rest_of_line(&cursor);
  } else if (key == "log-path") {
    g_settings.log_path = rest_of_line(&cursor);
  } else if (key == "pwd") {
    g_settings.pwd = rest_of_line(&cursor);
  } else if (key == "port") {
    return parse_port(next_word(&cursor), &g_settings.port);
  } else if (key == "dns-port") {
    return parse_port(next_word(&cursor), &g_settings.dns_port);
  } else if (key == "dns-server-ip") {
    // A refused address is stored all the same: it becomes "not set".
    g_settings.dns_server_ip = parse_ipv4(rest_of_line(&cursor).c_str());
    return g_settings.dns_server_ip != kAddressNone;
  } else if (key == "tarvik-server-ip") {
    g_settings.tarvik_server_ip = parse_ipv4(rest_of_line(&cursor).c_str());
    return g_settings.tarvik_server_ip != kAddressNone;
  } else if (key == "verbose") {
    g_settings.verbose = true;
  }
  return true;
}

}  // namespace

Settings g_settings = initial_settings();

bool read_configuration() {
  std::string path = g_settings.config_path;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    log(1, "%s: No such file or directory", path.c_str());
    path = "./main.conf";
    f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
      log(1, "%s: No such file or directory", path.c_str());
      return false;
    }
    g_settings.log_path = ".";
  }

  // A line longer than the buffer is read in pieces, each handled (and
  // numbered) as a line of its own.
  char line[1024];
  int line_number = 1;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (!apply_config_line(line)) log_line_error(path, line_number, line);
    ++line_number;
  }
  std::fclose(f);

  if (g_settings.dns_port == g_settings.port) {
    log(1, "dns-port and port have the same value");
    log(1, "DNS server will be disabled");
    g_settings.dns_port = 0;
  }
  if (g_settings.dns_server_ip != kAddressNone && g_settings.tarvik_server_ip == kAddressNone) {
    log(1, "DNS server disabled because requires tarvik-server-ip");
    g_settings.dns_server_ip = kAddressNone;
  }
  return true;
}

std::string log_safe(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

void log(int /*level*/, const char* format, ...) {
  char message[8192];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof message, format, args);
  va_end(args);

  LocalTime t = local_time_now();
  std::fprintf(stderr, "%02d-%02d-%02d %02d:%02d:%02d.%03d %s\n", t.year, t.month, t.day, t.hour,
               t.minute, t.second, t.millisecond, message);
  std::fflush(stderr);

  // Nothing is held open between calls: another process may move or delete
  // the files at any time, so every call finds the live file afresh.
  std::string live = g_settings.log_path + kPathSeparator + "log";
  std::string previous = live + ".1";
  if (file_size(live) > kLogRotateSize) {
    delete_file(previous);
    std::rename(live.c_str(), previous.c_str());
  }
  std::FILE* f = std::fopen(live.c_str(), "ab");
  if (f == nullptr) {
    std::fprintf(stderr, "%s: %s\n", live.c_str(), std::strerror(errno));
    std::fflush(stderr);
    return;
  }
  std::fprintf(f, "%02d-%02d-%02d %02d:%02d:%02d.%03d %s\r\n", t.year, t.month, t.day, t.hour,
               t.minute, t.second, t.millisecond, message);
  std::fclose(f);
}
