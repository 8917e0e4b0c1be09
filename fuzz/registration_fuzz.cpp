// Fuzz target: the registration parser and what the service does with a
// datagram (log records, acknowledgement, name table), checked against a
// plainly written reference parser, name rule and table.
//
// Input: one control byte, then either the datagram itself or, when bit 2 of
// the control byte is set, a name and an address from which a datagram with
// the right tag is made (so that accepted requests are reached at all),
// followed by an optional one-byte edit of it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "config.h"
#include "fuzz_support.h"
#include "platform.h"
#include "registry.h"
#include "stats.h"

namespace {

const char* const kPasswords[] = {"", "s3cret", "pass word", ""};
const std::uint32_t kSender = parse_ipv4("192.168.7.9");

struct Parsed {
  bool well_formed = false;
  bool accepted = false;
  std::string name;
  std::string address;
  std::uint32_t tag = 0;
};

bool is_hex_digit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// "tarvik1 rq " NAME " " ADDRESS " " and exactly 8 hex digits; NAME and
// ADDRESS hold no space. The tag is the CRC-32 of "tarvik1" ADDRESS NAME
// password.
Parsed reference_parse(const std::string& text, const std::string& password) {
  Parsed p;
  const std::string prefix = "tarvik1 rq ";
  if (text.compare(0, prefix.size(), prefix) != 0) return p;
  std::string rest = text.substr(prefix.size());
  std::size_t first = rest.find(' ');
  if (first == std::string::npos) return p;
  std::size_t second = rest.find(' ', first + 1);
  if (second == std::string::npos) return p;
  std::string tag_text = rest.substr(second + 1);
  if (tag_text.size() != 8) return p;
  for (char c : tag_text) {
    if (!is_hex_digit(c)) return p;
  }
  p.well_formed = true;
  p.name = rest.substr(0, first);
  p.address = rest.substr(first + 1, second - first - 1);
  p.tag = static_cast<std::uint32_t>(std::stoul(tag_text, nullptr, 16));
  p.accepted = fuzz::reference_crc32("tarvik1" + p.address + p.name + password) == p.tag;
  return p;
}

std::string reference_log_safe(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string make_datagram(const std::uint8_t* data, std::size_t size, const std::string& password) {
  unsigned control = data[0];
  std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  if ((control & 4u) == 0) return rest;

  std::size_t name_length = rest.empty() ? 0 : static_cast<unsigned char>(rest[0]) % 80;
  std::size_t address_length = rest.size() < 2 ? 0 : static_cast<unsigned char>(rest[1]) % 24;
  std::size_t pos = rest.size() < 2 ? rest.size() : 2;
  std::string name = rest.substr(pos, name_length);
  pos = std::min(rest.size(), pos + name.size());
  std::string address = rest.substr(pos, address_length);
  pos = std::min(rest.size(), pos + address.size());
  std::string edit = rest.substr(pos);

  std::uint32_t tag = fuzz::reference_crc32("tarvik1" + address + name + password);
  const char* const formats[] = {"%08x", "%08X", "%x", "%09x"};
  char tag_text[16];
  std::snprintf(tag_text, sizeof tag_text, formats[(control >> 3) & 3u], static_cast<unsigned>(tag));
  std::string datagram = "tarvik1 rq " + name + " " + address + " " + tag_text;
  if (edit.size() >= 2) datagram[static_cast<unsigned char>(edit[0]) % datagram.size()] = edit[1];
  return datagram;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::make_scratch_folder("registration");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::string password = kPasswords[data[0] & 3u];
  std::string datagram = make_datagram(data, size, password);
  // The service receives at most 199 bytes (a longer datagram fails the
  // receive) and reads them as a zero-terminated text.
  if (datagram.size() > static_cast<std::size_t>(kRegistrationReceiveSize)) return 0;
  std::string text = datagram.substr(0, datagram.find('\0'));

  Parsed expected = reference_parse(text, password);
  RegistrationRequest request;
  RequestParse parsed = parse_registration_request(text.c_str(), password, &request);
  FUZZ_CHECK(parsed == (expected.accepted      ? RequestParse::kAccepted
                        : expected.well_formed ? RequestParse::kWrongPassword
                                               : RequestParse::kMalformed));
  if (expected.well_formed) {
    FUZZ_CHECK(request.name == expected.name);
    FUZZ_CHECK(request.address == expected.address);
    FUZZ_CHECK(request.tag == expected.tag);
  }

  // The whole handling, on a table that already holds two devices.
  const std::string log_path = fuzz::scratch_folder_path() + "/log";
  std::remove(log_path.c_str());
  g_settings.pwd = password;
  clear_name_table();
  update_name_table("meter1", "10.0.0.1");
  update_name_table("Meter2", "10.0.0.2");
  fuzz::Table model = fuzz::table_content();
  g_hosts_dirty = false;
  g_counters = Counters();

  std::string ack = serve_registration_datagram(datagram.c_str(), kSender);
  std::string raw_log = fuzz::read_whole_file(log_path);
  // Each datagram is counted once, under what became of it.
  Counters counted;
  if (!expected.accepted) {
    FUZZ_CHECK(ack.empty());
    FUZZ_CHECK(raw_log.empty());
    FUZZ_CHECK(fuzz::table_content() == model);
    FUZZ_CHECK(!g_hosts_dirty);
    ++(expected.well_formed ? counted.registrations_wrong_password : counted.registrations_malformed);
    FUZZ_CHECK(std::memcmp(&g_counters, &counted, sizeof counted) == 0);
    return 0;
  }
  ++counted.registrations_acknowledged;

  char expected_ack[32];
  std::snprintf(expected_ack, sizeof expected_ack, "tarvik1 ack %08x", static_cast<unsigned>(expected.tag));
  FUZZ_CHECK(ack == expected_ack);

  // No raw control byte reaches the log, other than each record's CR LF.
  for (std::size_t i = 0; i < raw_log.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(raw_log[i]);
    bool line_end = (c == '\r' && i + 1 < raw_log.size() && raw_log[i + 1] == '\n') ||
                    (c == '\n' && i > 0 && raw_log[i - 1] == '\r');
    FUZZ_CHECK(line_end || (c >= 0x20 && c != 0x7F));
  }
  std::vector<std::string> records = fuzz::log_records(raw_log);
  std::vector<std::string> expected_records = {"192.168.7.9: " + reference_log_safe(expected.name) + " " +
                                               reference_log_safe(expected.address)};
  const char* refusal = fuzz::reference_refusal(expected.name);
  if (refusal == nullptr && fuzz::lower_ascii(expected.name) == fuzz::reference_machine_name())
    refusal = "the machine's own name";
  if (refusal != nullptr) {
    expected_records.push_back(reference_log_safe(expected.name) + ": name refused: " + refusal);
  }
  FUZZ_CHECK(records == expected_records);

  std::uint32_t address = parse_ipv4(expected.address.c_str());
  if (fuzz::reference_refusal(expected.name) != nullptr) {
    ++counted.refused_name;
  } else if (refusal != nullptr) {
    ++counted.refused_taken;
  } else if (address == kAddressNone) {
    ++counted.refused_bad_address;
  } else {
    ++counted.registrations_stored;
  }
  FUZZ_CHECK(std::memcmp(&g_counters, &counted, sizeof counted) == 0);
  if (refusal == nullptr && address != kAddressNone) {
    // A renewal with the same spelling and address changes no file.
    bool same = false;
    for (const auto& e : model) same = same || (e.first == expected.name && e.second == address);
    fuzz::reference_update(&model, expected.name, address);
    FUZZ_CHECK(g_hosts_dirty == !same);
  } else {
    FUZZ_CHECK(!g_hosts_dirty);
  }
  FUZZ_CHECK(fuzz::table_content() == model);
  for (const NameEntry& e : name_table()) FUZZ_CHECK(fuzz::reference_refusal(e.name) == nullptr);
  return 0;
}
