// Fuzz target: the configuration reader fed a whole main.conf, checked
// against a plainly written reader of the same file: every setting, the
// allow-from ranges, and every record in the log (line errors with their
// numbers and text, the cross-checks, the flood limit on them).
//
// log-path lines that could send the log out of the scratch folder are
// turned into unknown keys before the file is written: only a plain name
// that is no folder at all is let through (an empty value would mean "/log").
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

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

// strtol base 10 as the C library does it, written out.
long decimal_value(const std::string& word) {
  std::size_t i = 0;
  bool negative = false;
  if (i < word.size() && (word[i] == '+' || word[i] == '-')) negative = word[i++] == '-';
  long long value = 0;
  for (; i < word.size() && word[i] >= '0' && word[i] <= '9'; ++i) {
    // Far beyond any port, and refused all the same as the clamped value.
    value = std::min<long long>(value * 10 + (word[i] - '0'), 1LL << 40);
  }
  return static_cast<long>(negative ? -value : value);
}

bool reference_prefixes(const std::string& value, std::vector<Ipv4Prefix>* out) {
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
    if (!std::regex_match(token, m, kRange)) return false;
    std::uint64_t address = 0;
    for (int i = 1; i <= 4; ++i) {
      int part = std::stoi(m[i].str());
      if (part > 255) return false;
      address = (address << 8) | static_cast<unsigned>(part);
    }
    int length = m[6].matched ? std::stoi(m[6].str()) : 32;
    if (length > 32) return false;
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

// The update-* keys; false when the value is refused.
bool reference_update_key(const std::string& key, const std::string& rest, Settings* s) {
  std::string value = trimmed(rest);
  if (key == "update-server") {
    static const std::regex kServer("(\\d{1,3})\\.(\\d{1,3})\\.(\\d{1,3})\\.(\\d{1,3})(:(\\d{1,5}))?");
    std::smatch m;
    if (!std::regex_match(value, m, kServer)) return false;
    std::uint8_t address[4];
    for (int i = 1; i <= 4; ++i) {
      int part = std::stoi(m[i].str());
      if (part > 255) return false;
      address[i - 1] = static_cast<std::uint8_t>(part);
    }
    int port = m[6].matched ? std::stoi(m[6].str()) : 53;
    if (port < 1 || port > 65535) return false;
    std::memcpy(&s->update_server_ip, address, 4);
    s->update_server_port = port;
    return true;
  }
  if (key == "update-zone") {
    s->update_zone = value;
    return reference_domain_name(value);
  }
  if (key == "update-key") {
    std::size_t after = 0;
    std::string name = first_word(value, &after);
    value = value.substr(after);
    std::string algorithm = first_word(value, &after);
    value = value.substr(after);
    std::string secret = first_word(value, &after);
    std::string lower;
    for (char c : algorithm) lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (!lower.empty() && lower.back() == '.') lower.pop_back();
    std::string bytes;
    if (!reference_domain_name(name) || (lower != "hmac-sha256" && lower != "hmac-sha512") ||
        !reference_base64(secret, &bytes) || !trimmed(value.substr(after)).empty())
      return false;
    if (name.back() == '.') name.pop_back();
    s->update_key_set = true;
    s->update_key_name = name;
    s->update_key_algorithm = lower == "hmac-sha512" ? HmacAlgorithm::kSha512 : HmacAlgorithm::kSha256;
    s->update_key_secret = bytes;
    return true;
  }
  // update-ttl: 0 to 604,800.
  static const std::regex kTtl("\\d{1,6}");
  if (!std::regex_match(value, kTtl) || std::stol(value) > 604800) return false;
  s->update_ttl = static_cast<int>(std::stol(value));
  return true;
}

struct Expected {
  Settings settings;
  std::vector<std::string> records;  // in the log file, flood limit applied
};

// The file as the service takes it: whole lines, each ended by a line
// feed (the last one maybe not). `text` is what a C string of the line holds
// (up to a zero byte); a line over 1023 bytes is refused whole.
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
    line.too_long = body.size() > 1023;
    line.text = body.substr(0, body.find('\0'));
    lines.push_back(line);
    pos = end;
  }
  return lines;
}

// The reference reading of `content` (after the log-path lines were made
// safe), starting from `start`.
Expected reference_read(const std::string& content, const Settings& start) {
  Expected e;
  e.settings = start;
  Settings& s = e.settings;
  int line_errors = 0;
  int long_lines = 0;
  auto record = [&](const std::string& text, bool line_error) {
    // Only while the log is in the scratch folder do records reach its file.
    if (s.log_path != g_folder) return;
    // More than 10 line errors within one second are held back.
    if (line_error && ++line_errors > kLogBurstLimit) return;
    e.records.push_back(text);
  };

  int number = 1;
  for (const Line& piece : split_lines(content)) {
    std::size_t after = 0;
    if (piece.too_long) {
      // Only the key is written: the value may be the password.
      if (s.log_path == g_folder && ++long_lines <= kLogBurstLimit) {
        e.records.push_back(s.config_path + ":" + std::to_string(number) + ": '" +
                            first_word(piece.text, &after).substr(0, 32) + " ...' is longer than 1023 bytes");
      }
      ++number;
      continue;
    }
    std::string key = first_word(piece.text, &after);
    std::string rest = piece.text.substr(after);
    bool refused = false;
    if (key == "hosts-file") {
      s.hosts_file = trimmed(rest);
    } else if (key == "log-path") {
      s.log_path = trimmed(rest);
    } else if (key == "pwd") {
      s.pwd = trimmed(rest);
    } else if (key == "port" || key == "dns-port") {
      // One word of digits only, 1 to 65535, nothing after it.
      std::string word = first_word(rest, &after);
      refused = word.empty() || word.find_first_not_of("0123456789") != std::string::npos ||
                !trimmed(rest.substr(after)).empty();
      long value = refused ? 0 : decimal_value(word);
      refused = refused || value < 1 || value > 65535;
      if (!refused) (key == "port" ? s.port : s.dns_port) = static_cast<int>(value);
    } else if (key == "dns-server-ip" || key == "tarvik-server-ip") {
      std::uint32_t address = parse_ipv4(trimmed(rest).c_str());
      (key == "dns-server-ip" ? s.dns_server_ip : s.tarvik_server_ip) = address;
      refused = address == kAddressNone;
    } else if (key == "verbose") {
      s.verbose = true;
    } else if (key == "allow-from") {
      s.allow_from_set = true;
      refused = !reference_prefixes(trimmed(rest), &s.allow_from);
    } else if (key == "max-names") {
      // Digits only, 1 to 1,000,000.
      std::string word = first_word(rest, &after);
      refused = word.empty() || word.size() > 7 || word.find_first_not_of("0123456789") != std::string::npos;
      if (!refused) {
        long value = std::stol(word);
        refused = value < 1 || value > 1000000;
        if (!refused) s.max_names = static_cast<int>(value);
      }
    } else if (key == "update-server" || key == "update-zone" || key == "update-key" ||
               key == "update-ttl") {
      refused = !reference_update_key(key, rest, &s);
    }
    if (refused) {
      std::string text = piece.text;
      while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
      record(s.config_path + ":" + std::to_string(number) + ": '" + text + "'", true);
    }
    ++number;
  }
  if (s.dns_port == s.port) {
    record("dns-port and port have the same value", false);
    record("DNS server will be disabled", false);
    s.dns_port = 0;
  }
  if (s.dns_server_ip != kAddressNone && s.tarvik_server_ip == kAddressNone) {
    record("DNS server disabled because requires tarvik-server-ip", false);
    s.dns_server_ip = kAddressNone;
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
  std::remove(log_path.c_str());
  log_forget_bursts();
  g_settings = Settings{};
  g_settings.config_path = conf_path;
  g_settings.log_path = g_folder;
  Expected expected = reference_read(content, g_settings);

  FUZZ_CHECK(read_configuration());
  const Settings& s = g_settings;
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

  FUZZ_CHECK(fuzz::log_records(fuzz::read_whole_file(log_path)) == expected.records);
  g_settings.log_path = g_folder;
  return 0;
}
