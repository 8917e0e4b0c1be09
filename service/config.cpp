#include "config.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform.h"
#include "tsig.h"

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

// Decimal digits only, 1..65535, and nothing after them on the line: "1e4"
// or "5000abc" would otherwise be taken for a port nobody wrote.
bool parse_port(const char** cursor, int* port) {
  std::string word = next_word(cursor);
  if (word.empty() || !rest_of_line(cursor).empty()) return false;
  long value = 0;
  for (char c : word) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
    if (value > 65535) return false;  // also stops before any overflow
  }
  if (value < 1) return false;
  *port = static_cast<int>(value);
  return true;
}

// max-names: a whole decimal number from 1 to kMaxNamesLimit; anything else
// leaves the default, since a cap read wrongly (0, or "10k" as 10) would
// refuse every device.
bool parse_max_names(const std::string& word, int* max_names) {
  if (word.empty() || word.size() > 7) return false;
  long value = 0;
  for (char c : word) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > kMaxNamesLimit) return false;
  *max_names = static_cast<int>(value);
  return true;
}

bool is_allow_from_separator(char c) { return c == ',' || is_config_space(c); }

// 1 to max_digits decimal digits at *p, no sign, of at most `max`.
bool parse_decimal(const char** p, const char* end, int max_digits, unsigned max,
                   unsigned* value) {
  unsigned v = 0;
  int digits = 0;
  while (*p < end && **p >= '0' && **p <= '9' && digits < max_digits) {
    v = v * 10 + static_cast<unsigned>(**p - '0');
    ++*p;
    ++digits;
  }
  if (digits == 0 || v > max) return false;
  *value = v;
  return true;
}

// "a.b.c.d" or "a.b.c.d/n". Stricter than the address conversion of the
// other keys on purpose: its short forms ("10.1" is 10.0.0.1) would let a
// typing error admit senders nobody meant to admit. Bits of the address
// beyond the prefix length are disregarded.
bool parse_prefix(const std::string& text, Ipv4Prefix* out) {
  const char* p = text.data();
  const char* end = p + text.size();
  unsigned char address[4];
  for (int i = 0; i < 4; ++i) {
    unsigned part = 0;
    if (i > 0 && (p == end || *p++ != '.')) return false;
    if (!parse_decimal(&p, end, 3, 255, &part)) return false;
    address[i] = static_cast<unsigned char>(part);
  }
  unsigned length = 32;
  if (p != end && *p == '/') {
    ++p;
    if (!parse_decimal(&p, end, 2, 32, &length)) return false;
  }
  if (p != end) return false;

  unsigned char mask[4];
  for (int i = 0; i < 4; ++i) {
    unsigned bits = length > 8u * i ? length - 8u * i : 0;
    mask[i] = static_cast<unsigned char>(bits >= 8 ? 0xFF : (0xFF00u >> bits) & 0xFF);
    address[i] &= mask[i];
  }
  // The bytes in the order they are written are the network byte order.
  std::memcpy(&out->network, address, 4);
  std::memcpy(&out->mask, mask, 4);
  return true;
}

// allow-from: one or more ranges separated by blanks or commas. A line with
// a range that does not parse adds nothing, but it still closes the ports
// to every sender not admitted elsewhere: a typing error must not leave the
// service open to everyone.
bool apply_allow_from(const std::string& value) {
  g_settings.allow_from_set = true;
  std::vector<Ipv4Prefix> ranges;
  std::size_t i = 0;
  while (i < value.size()) {
    while (i < value.size() && is_allow_from_separator(value[i])) ++i;
    std::size_t start = i;
    while (i < value.size() && !is_allow_from_separator(value[i])) ++i;
    if (i == start) break;
    Ipv4Prefix range;
    if (!parse_prefix(value.substr(start, i - start), &range)) return false;
    ranges.push_back(range);
  }
  if (ranges.empty()) return false;
  g_settings.allow_from.insert(g_settings.allow_from.end(), ranges.begin(), ranges.end());
  return true;
}

// The longest line read, its line end not counted.
constexpr std::size_t kConfigLineCapacity = 1023;

// update-server: "a.b.c.d" or "a.b.c.d:port".
bool parse_update_server(const std::string& text) {
  std::size_t colon = text.find(':');
  Ipv4Prefix address;
  // One address, not a range: no prefix length.
  if (text.find('/') != std::string::npos || !parse_prefix(text.substr(0, colon), &address))
    return false;
  int port = 53;
  if (colon != std::string::npos) {
    const char* p = text.data() + colon + 1;
    const char* end = text.data() + text.size();
    unsigned value = 0;
    if (!parse_decimal(&p, end, 5, 65535, &value) || p != end || value == 0) return false;
    port = static_cast<int>(value);
  }
  g_settings.update_server_ip = address.network;
  g_settings.update_server_port = port;
  return true;
}

// update-key: NAME ALGORITHM SECRET, the secret in base64.
bool parse_update_key(const char** cursor) {
  std::string name = next_word(cursor);
  std::string algorithm = next_word(cursor);
  std::string secret = next_word(cursor);
  std::string wire;
  HmacAlgorithm parsed;
  std::string bytes;
  if (!encode_wire_name(name, &wire) || !parse_hmac_algorithm(algorithm, &parsed) ||
      !base64_decode(secret, &bytes) || !rest_of_line(cursor).empty())
    return false;
  if (name.back() == '.') name.pop_back();
  g_settings.update_key_set = true;
  g_settings.update_key_name = name;
  g_settings.update_key_algorithm = parsed;
  g_settings.update_key_secret = bytes;
  return true;
}

bool parse_update_ttl(const std::string& word) {
  const char* p = word.data();
  const char* end = p + word.size();
  unsigned value = 0;
  // A week at most: longer would let a stale address outlive its device.
  if (!parse_decimal(&p, end, 6, 604800, &value) || p != end) return false;
  g_settings.update_ttl = static_cast<int>(value);
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
    return parse_port(&cursor, &g_settings.port);
  } else if (key == "dns-port") {
    return parse_port(&cursor, &g_settings.dns_port);
  } else if (key == "dns-server-ip") {
    // A refused address is stored all the same: it becomes "not set".
    g_settings.dns_server_ip = parse_ipv4(rest_of_line(&cursor).c_str());
    return g_settings.dns_server_ip != kAddressNone;
  } else if (key == "tarvik-server-ip") {
    g_settings.tarvik_server_ip = parse_ipv4(rest_of_line(&cursor).c_str());
    return g_settings.tarvik_server_ip != kAddressNone;
  } else if (key == "verbose") {
    g_settings.verbose = true;
  } else if (key == "allow-from") {
    return apply_allow_from(rest_of_line(&cursor));
  } else if (key == "max-names") {
    return parse_max_names(next_word(&cursor), &g_settings.max_names);
  } else if (key == "update-server") {
    return parse_update_server(rest_of_line(&cursor));
  } else if (key == "update-zone") {
    g_settings.update_zone = rest_of_line(&cursor);
    std::string wire;
    return encode_wire_name(g_settings.update_zone, &wire);
  } else if (key == "update-key") {
    return parse_update_key(&cursor);
  } else if (key == "update-ttl") {
    return parse_update_ttl(rest_of_line(&cursor));
  }
  return true;
}

void end_config_line(const std::string& path, int line_number, const char* line, bool too_long) {
  if (too_long) {
    // Only the key: the value may be the password, which the log must not
    // hold.
    const char* cursor = line;
    std::string key = next_word(&cursor).substr(0, 32);
    log(1, "%s:%d: '%s ...' is longer than %d bytes", path.c_str(), line_number, key.c_str(),
        static_cast<int>(kConfigLineCapacity));
    return;
  }
  if (!apply_config_line(line)) log_line_error(path, line_number, line);
}

// Opens the configuration file; false, with the reason logged, when it is
// missing, cannot be opened or is not a regular file, and also with
// *refused when someone other than an administrator could have written it.
bool open_configuration(const std::string& path, FileHandle* f, bool* refused) {
  int error = 0;
  const char* why = nullptr;
  switch (open_regular_file(path, f, &error)) {
    case OpenResult::kOpened:
      if (written_only_by_administrators(*f, &why)) return true;
      // Settings a stranger could have written (where the hosts file and
      // the log go) are not obeyed, and the service does not start.
      log(1, "%s: refused, it is %s", path.c_str(), why);
      close_file(*f, &error);
      *f = kNoFile;
      *refused = true;
      return false;
    case OpenResult::kNotRegular:
      log(1, "%s: not a regular file", path.c_str());
      return false;
    case OpenResult::kMissing:
      log(1, "%s: No such file or directory", path.c_str());
      return false;
    case OpenResult::kFailed:
      break;
  }
  log(1, "%s: %s", path.c_str(), file_error_text(error).c_str());
  return false;
}

// --- Log ---------------------------------------------------------------------

// One burst: the records of one format since the first of them in the
// current second. A fixed table, so the log allocates nothing; should more
// formats than it holds burst within one second, the others are written
// unchecked.
struct Burst {
  const char* format;  // null: slot free
  std::uint32_t since_ms;
  int written;
  int held_back;
};
constexpr int kBurstSlots = 32;
Burst g_bursts[kBurstSlots];

// A record: the timestamp, the message (cut at kLogMessageCapacity - 1
// bytes) and room for the line end.
constexpr std::size_t kLogMessageCapacity = 8192;
constexpr std::size_t kTimestampLength = 24;  // "YYYY-MM-DD hh:mm:ss.mmm "

void put_digits(char* at, int value, int width) {
  for (int i = width - 1; i >= 0; --i) {
    at[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
}

// Writes "YYYY-MM-DD hh:mm:ss.mmm " (local time) to `at`; its length.
std::size_t put_timestamp(char* at) {
  LocalTime t = local_time_now();
  if (t.year < 1000 || t.year > 9999) {
    // Never on a sane clock; printf's own rule then gives the width.
    constexpr int kRoom = static_cast<int>(kTimestampLength) + 8;
    int n = std::snprintf(at, kRoom, "%02d-%02d-%02d %02d:%02d:%02d.%03d ", t.year, t.month, t.day,
                          t.hour, t.minute, t.second, t.millisecond);
    return n < 0 ? 0 : static_cast<std::size_t>(n < kRoom ? n : kRoom - 1);
  }
  put_digits(at, t.year, 4);
  at[4] = '-';
  put_digits(at + 5, t.month, 2);
  at[7] = '-';
  put_digits(at + 8, t.day, 2);
  at[10] = ' ';
  put_digits(at + 11, t.hour, 2);
  at[13] = ':';
  put_digits(at + 14, t.minute, 2);
  at[16] = ':';
  put_digits(at + 17, t.second, 2);
  at[19] = '.';
  put_digits(at + 20, t.millisecond, 3);
  at[23] = ' ';
  return kTimestampLength;
}

// Said once until the log works again, not with every record.
bool g_log_refusal_told = false;
bool g_rotation_failure_told = false;

void append_record_to_file(const char* record, std::size_t length);
void write_formatted(const char* format, ...);

// Formats the record once and writes it to the console first ("\n"), then
// to the file ("\r\n").
void write_record(const char* format, va_list args) {
  char record[kTimestampLength + 8 + kLogMessageCapacity + 2];
  std::size_t length = put_timestamp(record);
  int n = std::vsnprintf(record + length, kLogMessageCapacity, format, args);
  if (n > 0) {
    length += static_cast<std::size_t>(n) < kLogMessageCapacity ? static_cast<std::size_t>(n)
                                                                : kLogMessageCapacity - 1;
  }
  record[length] = '\n';
  std::fwrite(record, 1, length + 1, stderr);
  std::fflush(stderr);
  record[length] = '\r';
  record[length + 1] = '\n';

  // The log is what reports a shortage of memory, so it must not fail for
  // one: the record has reached the console, and only the file's path needs
  // memory.
  try {
    append_record_to_file(record, length + 2);
  } catch (const std::bad_alloc&) {
    std::fputs("log: out of memory\n", stderr);
    std::fflush(stderr);
  }
}

void append_record_to_file(const char* record, std::size_t length) {
  // Nothing is held open between calls: another process may move or delete
  // the files at any time, so every call finds the live file afresh.
  std::string live = g_settings.log_path + kPathSeparator + "log";
  FileHandle f = kNoFile;
  int error = 0;
  const char* why = nullptr;
  int rotation_error = 0;
  OpenResult opened = open_for_append(live, &f, &error, &why);
  if (opened == OpenResult::kOpened && open_file_size(f) > kLogRotateSize) {
    close_file(f, &error);
    // One step, replacing log.1: were log.1 deleted first and the rename
    // then failed (a viewer holding log open), the history would be lost.
    // On failure log stays as it is and takes the record.
    std::string previous = live + ".1";
    int rotate_error = 0;
    if (replace_file(live, previous, &rotate_error) == ReplaceResult::kReplaced) {
      g_rotation_failure_told = false;
    } else if (!g_rotation_failure_told) {
      g_rotation_failure_told = true;
      rotation_error = rotate_error;
    }
    opened = open_for_append(live, &f, &error, &why);
  }
  if (opened == OpenResult::kNotRegular) {
    // Whoever may write the log folder planted something there: the records
    // stay on the console (the journal under a service manager), and that
    // is said once, not with every record.
    if (!g_log_refusal_told) {
      g_log_refusal_told = true;
      std::fprintf(stderr, "%s: not used for the log, it is %s; records go to standard error only\n",
                   live.c_str(), why);
      std::fflush(stderr);
    }
    return;
  }
  if (opened != OpenResult::kOpened) {
    std::fprintf(stderr, "%s: %s\n", live.c_str(), file_error_text(error).c_str());
    std::fflush(stderr);
    return;
  }
  g_log_refusal_told = false;
  append_bytes(f, record, length, &error);
  close_file(f, &error);
  if (rotation_error != 0) {
    // A record of its own, once: the next records find the flag set.
    write_formatted("%s: cannot be renamed to log.1: %s", live.c_str(),
                    file_error_text(rotation_error).c_str());
  }
}

void write_formatted(const char* format, ...) {
  va_list args;
  va_start(args, format);
  write_record(format, args);
  va_end(args);
}

bool burst_over(const Burst& b, std::uint32_t now) {
  return static_cast<std::uint32_t>(now - b.since_ms) >= kLogBurstWindowMs;
}

// Ends the bursts whose second is over (every burst when `all`), with one
// record each for what they held back.
void release_held_back(std::uint32_t now, bool all = false) {
  for (Burst& b : g_bursts) {
    if (b.format == nullptr || (!all && !burst_over(b, now))) continue;
    int held_back = b.held_back;
    b = Burst{};
    if (held_back > 0) {
      write_formatted("%d similar records suppressed", held_back);
    }
  }
}

// Counts a record of `format` at `now`; true when it is to be held back.
bool hold_back(const char* format, std::uint32_t now) {
  Burst* free_slot = nullptr;
  for (Burst& b : g_bursts) {
    if (b.format == nullptr) {
      if (free_slot == nullptr) free_slot = &b;
    } else if (b.format == format || std::strcmp(b.format, format) == 0) {
      if (b.written < kLogBurstLimit) {
        ++b.written;
        return false;
      }
      ++b.held_back;
      return true;
    }
  }
  if (free_slot != nullptr) *free_slot = Burst{format, now, 1, 0};
  return false;
}

}  // namespace

Settings g_settings = initial_settings();

bool address_in_prefixes(std::uint32_t address, const std::vector<Ipv4Prefix>& prefixes) {
  for (const Ipv4Prefix& range : prefixes) {
    if ((address & range.mask) == range.network) return true;
  }
  return false;
}

bool sender_allowed(std::uint32_t address) {
  return !g_settings.allow_from_set || address_in_prefixes(address, g_settings.allow_from);
}

bool read_configuration() {
  std::string path = g_settings.config_path;
  FileHandle f = kNoFile;
  bool refused = false;
  if (!open_configuration(path, &f, &refused)) {
    if (refused) return false;
    path = "./main.conf";
    if (!open_configuration(path, &f, &refused)) return false;
    g_settings.log_path = ".";
  }
  // From here on it names the file in use: what sits beside it (the
  // publisher's state) belongs to this configuration.
  g_settings.config_path = path;

  // Lines are taken whole or not at all: a line longer than the buffer is a
  // line error, so a long password is never cut short without a word.
  char chunk[4096];
  char line[kConfigLineCapacity + 1];
  std::size_t length = 0;
  bool too_long = false;
  int line_number = 1;
  int error = 0;
  long n;
  while ((n = read_bytes(f, chunk, sizeof chunk, &error)) > 0) {
    for (long i = 0; i < n; ++i) {
      char c = chunk[i];
      if (c != '\n') {
        if (length < kConfigLineCapacity) {
          line[length++] = c;
        } else {
          too_long = true;
        }
        continue;
      }
      line[length] = '\0';
      end_config_line(path, line_number++, line, too_long);
      length = 0;
      too_long = false;
    }
  }
  if (n < 0) log(1, "%s: %s", path.c_str(), file_error_text(error).c_str());
  if (length > 0 || too_long) {
    line[length] = '\0';
    end_config_line(path, line_number, line, too_long);
  }
  close_file(f, &error);

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
  std::uint32_t now = tick_count_ms();
  release_held_back(now);
  if (hold_back(format, now)) return;
  va_list args;
  va_start(args, format);
  write_record(format, args);
  va_end(args);
}

void log_always(int /*level*/, const char* format, ...) {
  release_held_back(tick_count_ms());
  va_list args;
  va_start(args, format);
  write_record(format, args);
  va_end(args);
}

void log_release_held_back(bool all) { release_held_back(tick_count_ms(), all); }

void log_forget_bursts() {
  for (Burst& b : g_bursts) b = Burst{};
  g_log_refusal_told = false;
  g_rotation_failure_told = false;
}
