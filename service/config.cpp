#include "config.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform.h"
#include "tsig.h"

namespace {

// --- Reading main.conf -------------------------------------------------------

// The keys, in the order `tarvik check` weighs them as suggestions.
const char* const kKeys[] = {
    "port",          "pwd",         "hosts-file", "log-path",   "dns-port",
    "dns-server-ip", "tarvik-server-ip", "verbose", "allow-from", "max-names",
    "max-age",       "update-server", "update-zone", "update-key", "update-ttl",
};

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

// A value as a reason quotes it: control bytes escaped, and cut short, so
// that one bad address of a long list does not make a record of 64 KiB.
std::string quoted(const std::string& value) {
  constexpr std::size_t kShown = 100;
  if (value.size() <= kShown) return "'" + log_safe(value) + "'";
  return "'" + log_safe(value.substr(0, kShown)) + "...'";
}

bool all_digits(const std::string& word) {
  if (word.empty()) return false;
  for (char c : word) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// Digits only, from `low` to `high`; no sign, no blank, nothing after them.
bool parse_whole_number(const std::string& word, long low, long high, int* out) {
  if (!all_digits(word)) return false;
  long value = 0;
  for (char c : word) {
    value = value * 10 + (c - '0');
    if (value > high) return false;  // also stops before any overflow
  }
  if (value < low) return false;
  *out = static_cast<int>(value);
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
std::string apply_allow_from(const std::string& value, Settings* s) {
  s->allow_from_set = true;
  std::vector<Ipv4Prefix> ranges;
  std::size_t i = 0;
  while (i < value.size()) {
    while (i < value.size() && is_allow_from_separator(value[i])) ++i;
    std::size_t start = i;
    while (i < value.size() && !is_allow_from_separator(value[i])) ++i;
    if (i == start) break;
    Ipv4Prefix range;
    std::string text = value.substr(start, i - start);
    if (!parse_prefix(text, &range)) {
      return quoted(text) + " is not an IPv4 address or prefix (a.b.c.d or a.b.c.d/n), so the line admits nobody";
    }
    ranges.push_back(range);
  }
  if (ranges.empty()) return "allow-from has no value, so the line admits nobody";
  s->allow_from.insert(s->allow_from.end(), ranges.begin(), ranges.end());
  return std::string();
}

// update-server: "a.b.c.d" or "a.b.c.d:port".
bool parse_update_server(const std::string& text, Settings* s) {
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
  s->update_server_ip = address.network;
  s->update_server_port = port;
  return true;
}

// update-key: NAME ALGORITHM SECRET, the secret in base64. The reasons
// quote nothing of the line: a word out of place may be the secret.
std::string apply_update_key(const char** cursor, Settings* s) {
  std::string name = next_word(cursor);
  std::string algorithm = next_word(cursor);
  std::string secret = next_word(cursor);
  std::string wire;
  HmacAlgorithm parsed;
  std::string bytes;
  if (secret.empty()) return "update-key needs NAME ALGORITHM SECRET";
  if (!encode_wire_name(name, &wire)) return "update-key: the key name is not a domain name";
  if (!parse_hmac_algorithm(algorithm, &parsed)) {
    return "update-key: the algorithm is not hmac-sha256 or hmac-sha512";
  }
  if (!base64_decode(secret, &bytes)) {
    if (secret.find_first_of("\";") != std::string::npos) {
      return "update-key: the secret is not base64 (leave out the quotes and the ';' of the key file)";
    }
    return "update-key: the secret is not base64";
  }
  if (!rest_of_line(cursor).empty()) return "update-key: more than NAME ALGORITHM SECRET on the line";
  if (name.back() == '.') name.pop_back();
  s->update_key_set = true;
  s->update_key_name = name;
  s->update_key_algorithm = parsed;
  s->update_key_secret = bytes;
  return std::string();
}

// What became of one line.
struct LineOutcome {
  std::string reason;        // why its value was not taken; empty when it was
  bool refuses_file = false;  // the value is one the file must not be used without
  bool unknown_key = false;
  bool holds_secret = false;  // a pwd or update-key line with a value
};

// Applies one line to *s.
LineOutcome apply_config_line(const char* line, Settings* s) {
  LineOutcome out;
  const char* cursor = line;
  std::string key = next_word(&cursor);
  const char* value_start = cursor;
  std::string value = rest_of_line(&cursor);
  cursor = value_start;
  auto no_value = [&] { return key + " has no value"; };

  if (key.empty() || key[0] == '#') {
    // A blank line or a comment.
  } else if (key == "hosts-file") {
    s->hosts_file = value;
  } else if (key == "log-path") {
    s->log_path = value;
  } else if (key == "pwd") {
    s->pwd = value;
    out.holds_secret = !value.empty();
  } else if (key == "port" || key == "dns-port") {
    int* port = key == "port" ? &s->port : &s->dns_port;
    // The whole rest of the line: "1e4" or "5000 6000" would otherwise be
    // taken for a port nobody wrote.
    if (value.empty()) {
      out.reason = no_value();
    } else if (!parse_whole_number(value, 1, 65535, port)) {
      out.reason = quoted(value) + " is not a port number";
    }
  } else if (key == "dns-server-ip" || key == "tarvik-server-ip") {
    std::uint32_t* address = key == "dns-server-ip" ? &s->dns_server_ip : &s->tarvik_server_ip;
    // A refused address is stored all the same: it becomes "not set".
    *address = parse_ipv4(value.c_str());
    if (value.empty()) {
      out.reason = no_value();
    } else if (*address == kAddressNone) {
      out.reason = quoted(value) + " is not an IPv4 address";
    }
  } else if (key == "verbose") {
    s->verbose = true;
  } else if (key == "allow-from") {
    out.reason = apply_allow_from(value, s);
  } else if (key == "max-names") {
    // A cap read wrongly (0, or "10k" as 10) would refuse every device, and
    // the default instead of the cap meant would cut or fill the hosts
    // file by a wrong measure: the file is not used.
    std::string word = next_word(&cursor);
    if (word.empty()) {
      out.reason = no_value() + ", so the file is not used";
      out.refuses_file = true;
    } else if (!parse_whole_number(word, 1, kMaxNamesLimit, &s->max_names)) {
      out.reason = quoted(word) + " is not a number from 1 to 1000000, so the file is not used";
      out.refuses_file = true;
    }
  } else if (key == "max-age") {
    if (value.empty()) {
      out.reason = no_value();
    } else if (!parse_whole_number(value, 0, kMaxAgeHoursLimit, &s->max_age_hours)) {
      out.reason = quoted(value) + " is not a number of hours from 0 (off) to 87600";
    }
  } else if (key == "update-server") {
    if (value.empty()) {
      out.reason = no_value();
    } else if (!parse_update_server(value, s)) {
      out.reason = quoted(value) + " is not an IPv4 address or ADDRESS:PORT";
    }
  } else if (key == "update-zone") {
    s->update_zone = value;
    std::string wire;
    if (value.empty()) {
      out.reason = no_value();
    } else if (!encode_wire_name(value, &wire)) {
      out.reason = quoted(value) + " is not a domain name";
    }
  } else if (key == "update-key") {
    out.holds_secret = !value.empty();
    out.reason = apply_update_key(&cursor, s);
  } else if (key == "update-ttl") {
    // A week at most: longer would let a stale address outlive its device.
    if (value.empty()) {
      out.reason = no_value();
    } else if (!parse_whole_number(value, 0, 604800, &s->update_ttl)) {
      out.reason = quoted(value) + " is not a number of seconds from 0 to 604800";
    }
  } else {
    out.unknown_key = true;
  }
  return out;
}

bool is_known_key(const std::string& word) {
  for (const char* key : kKeys) {
    if (word == key) return true;
  }
  return false;
}

// Edit distance (insertions, deletions, substitutions), for suggestions.
std::size_t edit_distance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      std::size_t above = row[j];
      std::size_t best = diagonal + (a[i - 1] == b[j - 1] ? 0 : 1);
      if (above + 1 < best) best = above + 1;
      if (row[j - 1] + 1 < best) best = row[j - 1] + 1;
      row[j] = best;
      diagonal = above;
    }
  }
  return row[b.size()];
}

// The key an unknown word was most likely meant to be, or null: one within
// two edits (and fewer than half its length), case and '_' for '-' not
// counted, or one that begins with the other.
const char* nearest_key(const std::string& word) {
  std::string folded;
  for (char c : word) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    folded += c == '_' ? '-' : c;
  }
  const char* best = nullptr;
  std::size_t best_distance = 0;
  for (const char* key : kKeys) {
    std::string k = key;
    std::size_t distance = edit_distance(folded, k);
    bool near = distance <= 2 && 2 * distance <= folded.size();
    bool prefix = folded.size() >= 3 && (k.compare(0, folded.size(), folded) == 0 ||
                                         folded.compare(0, k.size(), k) == 0);
    if ((near || prefix) && (best == nullptr || distance < best_distance)) {
      best = key;
      best_distance = distance;
    }
  }
  return best;
}

bool is_key_character(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' || c == '_';
}

// The first word of a line, as a record may show it. A known key is shown
// as it is. Another word is shown only where it cannot be a secret: made
// of letters, '-' and '_' alone (a password or a base64 secret pasted on a
// line of its own has digits or other signs), or the start of such a word
// that is close to a key ("pwd=..."), never what follows. Empty: nothing
// may be shown. *suggestion gets the nearest key, or null.
std::string shown_key(const std::string& word, const char** suggestion) {
  constexpr std::size_t kLongestShown = 32;
  *suggestion = nullptr;
  if (is_known_key(word)) return word;
  std::size_t run = 0;
  while (run < word.size() && is_key_character(word[run])) ++run;
  if (run == 0 || run > kLongestShown) return std::string();
  std::string start = word.substr(0, run);
  *suggestion = nearest_key(start);
  if (run == word.size()) return word;
  if (*suggestion == nullptr) return std::string();
  return start + "...";
}

// The problem of an unknown first word, worded to follow "PATH:LINE: ".
std::string unknown_key_reason(const std::string& word) {
  const char* suggestion = nullptr;
  std::string shown = shown_key(word, &suggestion);
  if (shown.empty()) return "unknown key (not shown, as it may be a secret)";
  std::string reason = shown + ": unknown key";
  if (suggestion != nullptr) reason += std::string(", did you mean ") + suggestion + "?";
  return reason;
}

std::string too_long_reason(const std::string& word) {
  const char* suggestion = nullptr;
  std::string shown = shown_key(word, &suggestion);
  std::string limit = std::to_string(kConfigLineLimit);
  if (shown.empty()) return "the line is longer than " + limit + " bytes, so the file is not used";
  return "'" + shown + " ...' is longer than " + limit + " bytes, so the file is not used";
}

// Opens the configuration file: false, with the reason in *problems, when
// it is missing, cannot be opened or is not a regular file, and also with
// *refused when someone other than an administrator could have written it.
bool open_configuration(const std::string& path, FileHandle* f, std::vector<ConfigProblem>* problems,
                        bool* refused) {
  int error = 0;
  const char* why = nullptr;
  switch (open_regular_file(path, f, &error)) {
    case OpenResult::kOpened:
      if (written_only_by_administrators(*f, &why)) return true;
      // Settings a stranger could have written (where the hosts file and
      // the log go) are not obeyed, and the service does not start.
      problems->push_back({1, path + ": refused, it is " + why, true});
      close_file(*f, &error);
      *f = kNoFile;
      *refused = true;
      return false;
    case OpenResult::kNotRegular:
      problems->push_back({1, path + ": not a regular file", true});
      return false;
    case OpenResult::kMissing:
      problems->push_back({1, path + ": No such file or directory", true});
      return false;
    case OpenResult::kFailed:
      break;
  }
  problems->push_back({1, path + ": " + file_error_text(error), true});
  return false;
}

// Reads the open file line by line into *s, noting each line's problems.
// False when the file must not be used.
bool read_configuration_lines(const std::string& path, FileHandle f, Settings* s,
                              std::vector<ConfigProblem>* problems, bool* holds_secret) {
  bool usable = true;
  std::vector<std::string> unknown_keys;  // each is told once
  std::string line;
  bool too_long = false;
  int line_number = 1;
  auto end_line = [&] {
    std::string where = path + ":" + std::to_string(line_number++) + ": ";
    const char* text = line.c_str();  // as far as a zero byte, as ever
    if (too_long) {
      const char* cursor = text;
      std::string key = next_word(&cursor);
      *holds_secret = *holds_secret || key == "pwd" || key == "update-key";
      problems->push_back({1, where + too_long_reason(key), true});
      usable = false;
    } else {
      LineOutcome outcome = apply_config_line(text, s);
      *holds_secret = *holds_secret || outcome.holds_secret;
      if (outcome.unknown_key) {
        const char* cursor = text;
        std::string key = next_word(&cursor);
        bool told = false;
        for (const std::string& k : unknown_keys) told = told || k == key;
        if (!told) {
          unknown_keys.push_back(key);
          problems->push_back({2, where + unknown_key_reason(key), false});
        }
      } else if (!outcome.reason.empty()) {
        problems->push_back({1, where + outcome.reason, outcome.refuses_file});
        if (outcome.refuses_file) usable = false;
      }
    }
    line.clear();
    too_long = false;
  };

  char chunk[4096];
  int error = 0;
  long n;
  while ((n = read_bytes(f, chunk, sizeof chunk, &error)) > 0) {
    for (long i = 0; i < n; ++i) {
      char c = chunk[i];
      if (c == '\n') {
        end_line();
      } else if (line.size() < kConfigLineLimit) {
        line += c;
      } else {
        too_long = true;
      }
    }
  }
  if (n < 0) {
    // Lines already read may have been cut short.
    problems->push_back({1, path + ": " + file_error_text(error), true});
    usable = false;
  }
  if (!line.empty() || too_long) end_line();
  return usable;
}

// The settings that depend on each other.
void cross_check(Settings* s, std::vector<ConfigProblem>* problems) {
  if (s->dns_port == s->port) {
    problems->push_back({1, "dns-port and port have the same value", false});
    problems->push_back({1, "DNS server will be disabled", false});
    s->dns_port = 0;
  }
  if (s->dns_server_ip != kAddressNone && s->tarvik_server_ip == kAddressNone) {
    problems->push_back({1, "DNS server disabled because requires tarvik-server-ip", false});
    s->dns_server_ip = kAddressNone;
  }
}

// --- Log ---------------------------------------------------------------------

// One burst: the records of one format since the first of them in the
// current second. A fixed table, so the log allocates nothing; should more
// formats than it holds burst within one second, the others are written
// unchecked.
struct Burst {
  const char* format;  // null: slot free
  std::uint32_t since_ms;
  int level;  // of its first record; the count of held-back records has it too
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

// Whether stderr is the journal's stream; asked once (-1: not yet).
int g_console_is_journal = -1;

bool console_is_journal() {
  if (g_console_is_journal < 0) g_console_is_journal = stderr_is_journal() ? 1 : 0;
  return g_console_is_journal != 0;
}

// The syslog priority of a level: err, warning, notice, info.
char syslog_priority(int level) {
  switch (level) {
    case 1: return '3';
    case 2: return '4';
    case 3: return '5';
    default: return '6';
  }
}

// A line about the log itself, which cannot go into the log: to stderr
// alone, as an error.
void console_error(const std::string& text) {
  std::fprintf(stderr, "%s%s\n", console_is_journal() ? "<3>" : "", text.c_str());
  std::fflush(stderr);
}

// Said once until the log works again, not with every record.
bool g_log_refusal_told = false;
bool g_log_failure_told = false;
bool g_rotation_failure_told = false;

void append_record_to_file(const char* record, std::size_t length);
void write_formatted(int level, const char* format, ...);

// Formats the record once and writes it to the console first ("\n"), then
// to the file ("\r\n"), and an error to the Event Log when `event`.
void write_record(int level, bool event, const char* format, va_list args) {
  char record[kTimestampLength + 8 + kLogMessageCapacity + 2];
  std::size_t stamp = put_timestamp(record);
  char* message = record + stamp;
  int n = std::vsnprintf(message, kLogMessageCapacity, format, args);
  std::size_t message_length = 0;
  if (n > 0) {
    message_length = static_cast<std::size_t>(n) < kLogMessageCapacity ? static_cast<std::size_t>(n)
                                                                     : kLogMessageCapacity - 1;
  }
  message[message_length] = '\0';
  if (event && level == 1) report_error_event(message);

  std::size_t length = stamp + message_length;
  if (console_is_journal()) {
    // The journal stamps each line itself; the priority lets
    // `journalctl -p err` find the errors.
    char console[4 + kLogMessageCapacity + 1];
    console[0] = '<';
    console[1] = syslog_priority(level);
    console[2] = '>';
    std::memcpy(console + 3, message, message_length);
    console[3 + message_length] = '\n';
    std::fwrite(console, 1, 3 + message_length + 1, stderr);
  } else {
    record[length] = '\n';
    std::fwrite(record, 1, length + 1, stderr);
  }
  std::fflush(stderr);
  record[length] = '\r';
  record[length + 1] = '\n';

  // The log is what reports a shortage of memory, so it must not fail for
  // one: the record has reached the console, and only the file's path needs
  // memory.
  try {
    append_record_to_file(record, length + 2);
  } catch (const std::bad_alloc&) {
    console_error("log: out of memory");
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
      console_error(live + ": not used for the log, it is " + why + "; records go to standard error only");
    }
    return;
  }
  if (opened != OpenResult::kOpened) {
    if (!g_log_failure_told) {
      g_log_failure_told = true;
      console_error(live + ": " + file_error_text(error));
    }
    return;
  }
  g_log_refusal_told = false;
  g_log_failure_told = false;
  append_bytes(f, record, length, &error);
  close_file(f, &error);
  if (rotation_error != 0) {
    // A record of its own, once: the next records find the flag set.
    write_formatted(1, "%s: cannot be renamed to log.1: %s", live.c_str(),
                    file_error_text(rotation_error).c_str());
  }
}

void write_formatted(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  write_record(level, true, format, args);
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
    int level = b.level;
    b = Burst{};
    if (held_back > 0) {
      write_formatted(level, "%d similar records suppressed", held_back);
    }
  }
}

// The burst of `format` in the current second, begun at `now` when there is
// none; null when the table is full.
Burst* burst_of(const char* format, int level, std::uint32_t now) {
  Burst* free_slot = nullptr;
  for (Burst& b : g_bursts) {
    if (b.format == nullptr) {
      if (free_slot == nullptr) free_slot = &b;
    } else if (b.format == format || std::strcmp(b.format, format) == 0) {
      return &b;
    }
  }
  if (free_slot != nullptr) *free_slot = Burst{format, now, level, 0, 0};
  return free_slot;
}

}  // namespace

Settings g_settings = default_settings("./main.conf");

bool address_in_prefixes(std::uint32_t address, const std::vector<Ipv4Prefix>& prefixes) {
  for (const Ipv4Prefix& range : prefixes) {
    if ((address & range.mask) == range.network) return true;
  }
  return false;
}

bool sender_allowed(std::uint32_t address) {
  return !g_settings.allow_from_set || address_in_prefixes(address, g_settings.allow_from);
}

Settings default_settings(const std::string& path) {
  Settings s;
  s.config_path = path;
  std::string name;
  split_path(path, &s.log_path, &name);
  s.hosts_file = default_hosts_path();
  return s;
}

bool load_configuration(const std::string& path, Settings* settings,
                        std::vector<ConfigProblem>* problems, bool* refused) {
  *refused = false;
  FileHandle f = kNoFile;
  if (!open_configuration(path, &f, problems, refused)) return false;
  int error = 0;
  Settings s = *settings;
  s.config_path = path;
  bool usable = false;
  try {
    bool holds_secret = false;
    usable = read_configuration_lines(path, f, &s, problems, &holds_secret);
    const char* why = nullptr;
    // Only a file with a secret in it must be private: one without may stay
    // readable, as it was before such files were checked.
    if (holds_secret && !readable_only_by_administrators(f, &why)) {
      problems->push_back({1, path + ": refused, it holds pwd or update-key and is " + why +
                                  "; to fix: " + private_file_command(path), true});
      usable = false;
    }
  } catch (...) {
    close_file(f, &error);
    throw;
  }
  close_file(f, &error);
  if (!usable) {
    *refused = true;
    return false;
  }
  cross_check(&s, problems);
  *settings = std::move(s);
  return true;
}

void log_configuration_problems(const std::vector<ConfigProblem>& problems) {
  // Not held back as a flood would be: the file is an administrator's, and
  // the reason a file is not used must never be missing. A bound all the
  // same, so that a file of junk cannot rotate the history out of the log.
  int left_out = 0;
  int logged = 0;
  for (const ConfigProblem& problem : problems) {
    if (problem.fatal || logged < kLoggedConfigProblems) {
      log_always(problem.level, "%s", problem.text.c_str());
      ++logged;
    } else {
      ++left_out;
    }
  }
  if (left_out > 0) {
    log_always(1, "%d more problems of the configuration not logged; tarvik check lists them", left_out);
  }
}

bool read_configuration() {
  std::vector<ConfigProblem> problems;
  bool refused = false;
  std::string path = g_settings.config_path;
  Settings loaded = default_settings(path);
  bool used = load_configuration(path, &loaded, &problems, &refused);
  if (!used && !refused) {
    // Why the first file was passed over goes into the log as it is.
    log_configuration_problems(problems);
    problems.clear();
    path = "./main.conf";
    loaded = default_settings(path);
    used = load_configuration(path, &loaded, &problems, &refused);
  }
  if (!used) {
    // A refused file's log-path is not obeyed either.
    log_configuration_problems(problems);
    return false;
  }
  // From here on config_path names the file in use: what sits beside it
  // (the publisher's state) belongs to this configuration; and the
  // problems go into the log it names.
  g_settings = std::move(loaded);
  log_configuration_problems(problems);
  return true;
}

int check_configuration(const char* given) {
  std::vector<ConfigProblem> problems;
  bool refused = false;
  std::string path = given != nullptr ? given : data_folder() + kPathSeparator + "main.conf";
  Settings settings = default_settings(path);
  bool used = load_configuration(path, &settings, &problems, &refused);
  if (given == nullptr && !used && !refused) {
    // As the start does; the line that says why is no problem of the file
    // checked.
    for (const ConfigProblem& problem : problems) std::printf("%s\n", problem.text.c_str());
    problems.clear();
    path = "./main.conf";
    settings = default_settings(path);
    used = load_configuration(path, &settings, &problems, &refused);
  }
  for (const ConfigProblem& problem : problems) std::printf("%s\n", problem.text.c_str());
  if (!used) {
    std::printf("%s: the service would not start with this file\n", path.c_str());
  } else if (problems.empty()) {
    std::printf("%s: no problems\n", path.c_str());
  } else {
    std::printf("%s: %d problem%s\n", path.c_str(), static_cast<int>(problems.size()),
                problems.size() == 1 ? "" : "s");
  }
  std::fflush(stdout);
  return used && problems.empty() ? 0 : 1;
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

void log(int level, const char* format, ...) {
  std::uint32_t now = tick_count_ms();
  release_held_back(now);
  Burst* burst = burst_of(format, level, now);
  if (burst != nullptr) {
    if (burst->written >= kLogBurstLimit) {
      ++burst->held_back;
      return;
    }
    ++burst->written;
  }
  va_list args;
  va_start(args, format);
  write_record(level, true, format, args);
  va_end(args);
}

void log_always(int level, const char* format, ...) {
  std::uint32_t now = tick_count_ms();
  release_held_back(now);
  // Only errors are counted, for the Event Log; the others would only take
  // up the table's slots.
  Burst* burst = level == 1 ? burst_of(format, level, now) : nullptr;
  bool within_limit = burst == nullptr || burst->written < kLogBurstLimit;
  if (burst != nullptr && within_limit) ++burst->written;
  va_list args;
  va_start(args, format);
  write_record(level, within_limit, format, args);
  va_end(args);
}

void log_release_held_back(bool all) { release_held_back(tick_count_ms(), all); }

void log_forget_bursts() {
  for (Burst& b : g_bursts) b = Burst{};
  g_log_refusal_told = false;
  g_log_failure_told = false;
  g_rotation_failure_told = false;
}
