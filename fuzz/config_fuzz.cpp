// Fuzz target: the configuration reader fed a whole main.conf, checked
// against a plainly written reader of the same file: every setting, the
// allow-from ranges, whether the file is used at all, and every record in
// the log (each problem with its line number and reason, unknown keys once,
// the cross-checks, the bound on how many are logged). The reference quotes
// nothing of a pwd or update-key line, so the records of the real reader,
// equal to its, cannot either.
//
// log-path lines that could send the log out of the scratch folder are
// turned into unknown keys before the file is written: only a plain name
// that is no folder at all is let through (an empty value would mean "/log").
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "config.h"
#include "fuzz_support.h"
#include "platform.h"

namespace {

std::string g_folder;

const std::string kSpace(" \t\n\v\f\r", 6);

std::string first_word(const std::string& text, std::size_t* after) {
  std::size_t start = text.find_first_not_of(kSpace);
  if (start == std::string::npos) {
    *after = text.size();
    return std::string();
  }
  std::size_t end = text.find_first_of(kSpace, start);
  if (end == std::string::npos) end = text.size();
  *after = end;
  return text.substr(start, end - start);
}

std::string trimmed(const std::string& text) {
  std::size_t start = text.find_first_not_of(kSpace);
  if (start == std::string::npos) return std::string();
  std::size_t end = text.find_last_not_of(kSpace);
  return text.substr(start, end - start + 1);
}

bool safe_log_path(const std::string& value) {
  static const std::regex kPlainName("[A-Za-z0-9_-]+");
  return std::regex_match(value, kPlainName) && access(value.c_str(), F_OK) != 0;
}

// A whole number of digits only, from low to high.
bool reference_number(const std::string& word, long long low, long long high, int* out) {
  if (word.empty() || word.find_first_not_of("0123456789") != std::string::npos) return false;
  long long value = 0;
  for (char c : word) value = std::min<long long>(value * 10 + (c - '0'), 1LL << 40);
  if (value < low || value > high) return false;
  *out = static_cast<int>(value);
  return true;
}

// allow-from's ranges; false, with the first range that does not parse in
// *bad (empty when there is none at all), when the line is refused.
bool reference_prefixes(const std::string& value, std::vector<Ipv4Prefix>* out, std::string* bad) {
  static const std::regex kRange("(\\d{1,3})\\.(\\d{1,3})\\.(\\d{1,3})\\.(\\d{1,3})(/(\\d{1,2}))?");
  std::vector<Ipv4Prefix> ranges;
  std::string token;
  std::string separated = value + " ";
  for (char c : separated) {
    if (c != ',' && kSpace.find(c) == std::string::npos) {
      token += c;
      continue;
    }
    if (token.empty()) continue;
    std::smatch m;
    *bad = token;
    if (!std::regex_match(token, m, kRange)) return false;
    std::uint64_t address = 0;
    for (int i = 1; i <= 4; ++i) {
      int part = std::stoi(m[i].str());
      if (part > 255) return false;
      address = (address << 8) | static_cast<unsigned>(part);
    }
    int length = m[6].matched ? std::stoi(m[6].str()) : 32;
    if (length > 32) return false;
    bad->clear();
    std::uint64_t mask = length == 0 ? 0 : (0xFFFFFFFFull << (32 - length)) & 0xFFFFFFFFull;
    std::uint8_t net[4], msk[4];
    for (int i = 0; i < 4; ++i) {
      net[i] = static_cast<std::uint8_t>(((address & mask) >> (24 - 8 * i)) & 0xFF);
      msk[i] = static_cast<std::uint8_t>((mask >> (24 - 8 * i)) & 0xFF);
    }
    Ipv4Prefix range;
    std::memcpy(&range.network, net, 4);
    std::memcpy(&range.mask, msk, 4);
    ranges.push_back(range);
    token.clear();
  }
  if (ranges.empty()) return false;
  out->insert(out->end(), ranges.begin(), ranges.end());
  return true;
}

// A domain name as text: labels of 1 to 63 bytes between dots, one
// trailing dot allowed, at most 255 bytes in wire form.
bool reference_domain_name(std::string name) {
  if (!name.empty() && name.back() == '.') name.pop_back();
  if (name.empty()) return false;
  std::size_t label = 0;
  for (char c : name + ".") {
    if (c != '.') {
      ++label;
      continue;
    }
    if (label == 0 || label > 63) return false;
    label = 0;
  }
  return name.size() + 2 <= 255;
}

bool reference_base64(const std::string& text, std::string* bytes) {
  static const std::string kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  static const std::regex kShape("([A-Za-z0-9+/]{4})*([A-Za-z0-9+/]{2}==|[A-Za-z0-9+/]{3}=)?");
  if (text.empty() || !std::regex_match(text, kShape)) return false;
  bytes->clear();
  unsigned bits = 0;
  int count = 0;
  for (char c : text) {
    if (c == '=') break;
    bits = (bits << 6) | static_cast<unsigned>(kAlphabet.find(c));
    count += 6;
    if (count >= 8) {
      count -= 8;
      bytes->push_back(static_cast<char>((bits >> count) & 0xFF));
    }
  }
  return true;
}

const char* const kKeys[] = {"port",          "pwd",           "hosts-file",  "log-path",   "dns-port",
                             "dns-server-ip", "tarvik-server-ip", "verbose",  "allow-from", "max-names",
                             "max-age",       "update-server", "update-zone", "update-key", "update-ttl"};

// Control bytes as \xNN.
std::string safe(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    char escaped[8];
    if (c < 0x20 || c == 0x7F) {
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// A value in a reason: at most 100 bytes of it.
std::string quote(const std::string& value) {
  if (value.size() > 100) return "'" + safe(value.substr(0, 100)) + "...'";
  return "'" + safe(value) + "'";
}

// Levenshtein distance, the whole table.
std::size_t distance(const std::string& a, const std::string& b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
    }
  }
  return d[a.size()][b.size()];
}

// The key a word was likely meant to be: within two edits and fewer than
// half its length (case, and '_' for '-', not counted), or the one begins
// with the other (three bytes at least); the closest, the first on a tie.
const char* suggestion(const std::string& word) {
  std::string folded;
  for (char c : word) folded += c == '_' ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const char* best = nullptr;
  std::size_t best_distance = 1000;
  for (const char* key : kKeys) {
    std::string k = key;
    std::size_t d = distance(folded, k);
    bool prefix = folded.size() >= 3 && (k.rfind(folded, 0) == 0 || folded.rfind(k, 0) == 0);
    if (((d <= 2 && 2 * d <= folded.size()) || prefix) && d < best_distance) {
      best = key;
      best_distance = d;
    }
  }
  return best;
}

// A line's first word as a record may show it: a key as it is; another
// word of letters, '-' and '_' alone (32 bytes at most); or such a start
// of it, followed by "...", when it suggests a key. Empty: not shown.
std::string shown(const std::string& word, const char** suggested) {
  static const std::regex kLetters("[A-Za-z_-]{1,32}");
  *suggested = nullptr;
  for (const char* key : kKeys) {
    if (word == key) return word;
  }
  std::size_t run = word.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_");
  std::string start = word.substr(0, run);
  if (!std::regex_match(start, kLetters)) return std::string();
  *suggested = suggestion(start);
  if (start == word) return word;
  return *suggested != nullptr ? start + "..." : std::string();
}

struct Problem {
  std::string text;
  bool fatal;
};

// The reason of an update-key line, or empty.
std::string reference_update_key(const std::string& value, Settings* s) {
  std::size_t after = 0;
  std::string rest = value;
  std::string name = first_word(rest, &after);
  rest = rest.substr(after);
  std::string algorithm = first_word(rest, &after);
  rest = rest.substr(after);
  std::string secret = first_word(rest, &after);
  rest = rest.substr(after);
  std::string lower;
  for (char c : algorithm) lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  if (!lower.empty() && lower.back() == '.') lower.pop_back();
  std::string bytes;
  if (secret.empty()) return "update-key needs NAME ALGORITHM SECRET";
  if (!reference_domain_name(name)) return "update-key: the key name is not a domain name";
  if (lower != "hmac-sha256" && lower != "hmac-sha512") {
    return "update-key: the algorithm is not hmac-sha256 or hmac-sha512";
  }
  if (!reference_base64(secret, &bytes)) {
    if (secret.find('"') != std::string::npos || secret.find(';') != std::string::npos) {
      return "update-key: the secret is not base64 (leave out the quotes and the ';' of the key file)";
    }
    return "update-key: the secret is not base64";
  }
  if (!trimmed(rest).empty()) return "update-key: more than NAME ALGORITHM SECRET on the line";
  if (name.back() == '.') name.pop_back();
  s->update_key_set = true;
  s->update_key_name = name;
  s->update_key_algorithm = lower == "hmac-sha512" ? HmacAlgorithm::kSha512 : HmacAlgorithm::kSha256;
  s->update_key_secret = bytes;
  return std::string();
}

// The reason one line's value is refused (empty: taken) as it applies to
// *s; *fatal when the file is not used for it, *unknown for a word that is
// no key.
std::string reference_line(const std::string& text, Settings* s, bool* fatal, bool* unknown) {
  std::size_t after = 0;
  std::string key = first_word(text, &after);
  std::string rest = text.substr(after);
  std::string value = trimmed(rest);
  std::string none = key + " has no value";
  *fatal = false;
  *unknown = false;
  if (key.empty() || key[0] == '#') return std::string();
  if (key == "hosts-file") {
    s->hosts_file = value;
  } else if (key == "log-path") {
    s->log_path = value;
  } else if (key == "pwd") {
    s->pwd = value;
  } else if (key == "port" || key == "dns-port") {
    if (value.empty()) return none;
    if (!reference_number(value, 1, 65535, key == "port" ? &s->port : &s->dns_port)) {
      return quote(value) + " is not a port number";
    }
  } else if (key == "dns-server-ip" || key == "tarvik-server-ip") {
    std::uint32_t address = parse_ipv4(value.c_str());
    (key == "dns-server-ip" ? s->dns_server_ip : s->tarvik_server_ip) = address;
    if (value.empty()) return none;
    if (address == kAddressNone) return quote(value) + " is not an IPv4 address";
  } else if (key == "verbose") {
    s->verbose = true;
  } else if (key == "allow-from") {
    s->allow_from_set = true;
    std::string bad;
    if (!reference_prefixes(value, &s->allow_from, &bad)) {
      if (bad.empty()) return "allow-from has no value, so the line admits nobody";
      return quote(bad) + " is not an IPv4 address or prefix (a.b.c.d or a.b.c.d/n), so the line admits nobody";
    }
  } else if (key == "max-names") {
    std::string word = first_word(rest, &after);
    *fatal = word.empty() || !reference_number(word, 1, 1000000, &s->max_names);
    if (word.empty()) return none + ", so the file is not used";
    if (*fatal) return quote(word) + " is not a number from 1 to 1000000, so the file is not used";
  } else if (key == "max-age") {
    if (value.empty()) return none;
    if (!reference_number(value, 0, 87600, &s->max_age_hours)) {
      return quote(value) + " is not a number of hours from 0 (off) to 87600";
    }
  } else if (key == "update-server") {
    static const std::regex kServer("(\\d{1,3})\\.(\\d{1,3})\\.(\\d{1,3})\\.(\\d{1,3})(:(\\d{1,5}))?");
    if (value.empty()) return none;
    std::smatch m;
    bool good = std::regex_match(value, m, kServer);
    std::uint8_t address[4];
    for (int i = 1; good && i <= 4; ++i) {
      int part = std::stoi(m[i].str());
      good = part <= 255;
      address[i - 1] = static_cast<std::uint8_t>(part);
    }
    int port = good && m[6].matched ? std::stoi(m[6].str()) : 53;
    if (!good || port < 1 || port > 65535) return quote(value) + " is not an IPv4 address or ADDRESS:PORT";
    std::memcpy(&s->update_server_ip, address, 4);
    s->update_server_port = port;
  } else if (key == "update-zone") {
    s->update_zone = value;
    if (value.empty()) return none;
    if (!reference_domain_name(value)) return quote(value) + " is not a domain name";
  } else if (key == "update-key") {
    return reference_update_key(value, s);
  } else if (key == "update-ttl") {
    if (value.empty()) return none;
    if (!reference_number(value, 0, 604800, &s->update_ttl)) {
      return quote(value) + " is not a number of seconds from 0 to 604800";
    }
  } else {
    *unknown = true;
  }
  return std::string();
}

struct Expected {
  bool used;
  Settings settings;                 // when used
  std::vector<std::string> records;  // in the log file
};

// The file as the service takes it: whole lines, each ended by a line
// feed (the last one maybe not). `text` is what a C string of the line holds
// (up to a zero byte); a line over 65,536 bytes refuses the file.
struct Line {
  std::string raw;
  std::string text;
  bool too_long = false;
};

std::vector<Line> split_lines(const std::string& content) {
  std::vector<Line> lines;
  std::size_t pos = 0;
  while (pos < content.size()) {
    std::size_t end = content.find('\n', pos);
    end = end == std::string::npos ? content.size() : end + 1;
    Line line;
    line.raw = content.substr(pos, end - pos);
    std::string body = line.raw.substr(0, line.raw.size() - (line.raw.back() == '\n' ? 1 : 0));
    line.too_long = body.size() > kConfigLineLimit;
    body = body.substr(0, kConfigLineLimit);
    line.text = body.substr(0, body.find('\0'));
    lines.push_back(line);
    pos = end;
  }
  return lines;
}

// The reference reading of `content` (after the log-path lines were made
// safe), starting from the defaults of a file at `path`; the log is in
// `log_folder` until a file is used.
Expected reference_read(const std::string& content, const std::string& path, const std::string& log_folder) {
  Expected e;
  e.settings = default_settings(path);
  Settings& s = e.settings;
  std::vector<Problem> problems;
  std::vector<std::string> told;  // unknown keys, each told once
  bool used = true;
  int number = 0;
  for (const Line& piece : split_lines(content)) {
    std::string where = path + ":" + std::to_string(++number) + ": ";
    std::size_t after = 0;
    std::string key = first_word(piece.text, &after);
    if (piece.too_long) {
      const char* suggested = nullptr;
      std::string word = shown(key, &suggested);
      problems.push_back({where + (word.empty() ? std::string("the line is") : "'" + word + " ...' is") +
                              " longer than 65536 bytes, so the file is not used",
                          true});
      used = false;
      continue;
    }
    bool fatal = false, unknown = false;
    std::string reason = reference_line(piece.text, &s, &fatal, &unknown);
    if (unknown) {
      if (std::find(told.begin(), told.end(), key) != told.end()) continue;
      told.push_back(key);
      const char* suggested = nullptr;
      std::string word = shown(key, &suggested);
      reason = word.empty() ? "unknown key (not shown, as it may be a secret)" : word + ": unknown key";
      if (!word.empty() && suggested != nullptr) reason += std::string(", did you mean ") + suggested + "?";
    }
    if (!reason.empty()) problems.push_back({where + reason, fatal});
    used = used && !fatal;
  }
  if (used) {
    if (s.dns_port == s.port) {
      problems.push_back({"dns-port and port have the same value", false});
      problems.push_back({"DNS server will be disabled", false});
      s.dns_port = 0;
    }
    if (s.dns_server_ip != kAddressNone && s.tarvik_server_ip == kAddressNone) {
      problems.push_back({"DNS server disabled because requires tarvik-server-ip", false});
      s.dns_server_ip = kAddressNone;
    }
  }
  e.used = used;
  // The records go where the log is once the file is used; only while that
  // is the scratch folder do they reach its file.
  if ((used ? s.log_path : log_folder) != g_folder) return e;
  int logged = 0, left_out = 0;
  for (const Problem& p : problems) {
    if (p.fatal || logged < kLoggedConfigProblems) {
      e.records.push_back(p.text);
      ++logged;
    } else {
      ++left_out;
    }
  }
  if (left_out > 0) {
    e.records.push_back(std::to_string(left_out) +
                        " more problems of the configuration not logged; tarvik check lists them");
  }
  return e;
}

bool same_ranges(const std::vector<Ipv4Prefix>& a, const std::vector<Ipv4Prefix>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].network != b[i].network || a[i].mask != b[i].mask) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_folder = fuzz::make_scratch_folder("config");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string content(reinterpret_cast<const char*>(data), size);
  // Unsafe log-path lines become the unknown key "Log-path". One byte
  // changes, so the pieces stay as they were.
  std::size_t offset = 0;
  for (const Line& piece : split_lines(content)) {
    std::size_t after = 0;
    if (!piece.too_long && first_word(piece.text, &after) == "log-path" && !safe_log_path(trimmed(piece.text.substr(after)))) {
      content[offset + piece.text.find("log-path")] = 'L';
    }
    offset += piece.raw.size();
  }

  const std::string conf_path = g_folder + "/main.conf";
  const std::string log_path = g_folder + "/log";
  fuzz::write_whole_file(conf_path, content);
  // Private, as a file with a password must be: who may read it is not what
  // is fuzzed here.
  FUZZ_CHECK(chmod(conf_path.c_str(), 0600) == 0);
  std::remove(log_path.c_str());
  log_forget_bursts();
  g_settings = Settings{};
  g_settings.config_path = conf_path;
  g_settings.log_path = g_folder;
  g_settings.port = 1;  // to tell a refused file's start from the defaults
  Expected expected = reference_read(content, conf_path, g_folder);

  FUZZ_CHECK(read_configuration() == expected.used);
  const Settings& s = g_settings;
  std::string logged = fuzz::read_whole_file(log_path);
  FUZZ_CHECK(fuzz::log_records(logged) == expected.records);
  if (!expected.used) {
    // Nothing of a refused file is taken.
    FUZZ_CHECK(s.port == 1 && s.config_path == conf_path && s.log_path == g_folder && !s.allow_from_set);
    return 0;
  }
  const Settings& x = expected.settings;
  FUZZ_CHECK(s.config_path == x.config_path);
  FUZZ_CHECK(s.log_path == x.log_path);
  FUZZ_CHECK(s.hosts_file == x.hosts_file);
  FUZZ_CHECK(s.pwd == x.pwd);
  FUZZ_CHECK(s.port == x.port);
  FUZZ_CHECK(s.dns_port == x.dns_port);
  FUZZ_CHECK(s.dns_server_ip == x.dns_server_ip);
  FUZZ_CHECK(s.tarvik_server_ip == x.tarvik_server_ip);
  FUZZ_CHECK(s.verbose == x.verbose);
  FUZZ_CHECK(s.allow_from_set == x.allow_from_set);
  FUZZ_CHECK(same_ranges(s.allow_from, x.allow_from));
  FUZZ_CHECK(s.max_names == x.max_names);
  FUZZ_CHECK(s.max_names >= 1 && s.max_names <= kMaxNamesLimit);
  FUZZ_CHECK(s.max_age_hours == x.max_age_hours);
  FUZZ_CHECK(s.max_age_hours >= 0 && s.max_age_hours <= kMaxAgeHoursLimit);
  FUZZ_CHECK(s.update_server_ip == x.update_server_ip);
  FUZZ_CHECK(s.update_server_port == x.update_server_port);
  FUZZ_CHECK(s.update_zone == x.update_zone);
  FUZZ_CHECK(s.update_key_set == x.update_key_set);
  FUZZ_CHECK(s.update_key_name == x.update_key_name);
  FUZZ_CHECK(s.update_key_algorithm == x.update_key_algorithm);
  FUZZ_CHECK(s.update_key_secret == x.update_key_secret);
  FUZZ_CHECK(s.update_ttl == x.update_ttl);
  // What the settings promise to the rest of the service.
  FUZZ_CHECK(s.port >= 1 && s.port <= 65535);
  FUZZ_CHECK(s.dns_port == 0 || (s.dns_port <= 65535 && s.dns_port != s.port));
  FUZZ_CHECK(s.dns_server_ip == kAddressNone || s.tarvik_server_ip != kAddressNone);
  for (const Ipv4Prefix& range : s.allow_from) {
    FUZZ_CHECK((range.network & range.mask) == range.network);
    FUZZ_CHECK(sender_allowed(range.network));
  }
  if (!s.allow_from_set) FUZZ_CHECK(sender_allowed(0x0A0B0C0Du));
  g_settings.log_path = g_folder;
  return 0;
}
