// TSIG (RFC 8945): the record, its MAC and the checks of a response.
#include "tsig.h"

#include <cctype>
#include <cstring>

namespace {

constexpr int kHeaderSize = 12;
constexpr int kClassAny = 255;

int read_u16(const std::string& m, std::size_t at) {
  return (static_cast<unsigned char>(m[at]) << 8) | static_cast<unsigned char>(m[at + 1]);
}

void put_u16(std::string* out, int value) {
  out->push_back(static_cast<char>((value >> 8) & 0xFF));
  out->push_back(static_cast<char>(value & 0xFF));
}

void put_u32(std::string* out, std::uint32_t value) {
  put_u16(out, static_cast<int>(value >> 16));
  put_u16(out, static_cast<int>(value & 0xFFFF));
}

void put_u48(std::string* out, std::uint64_t value) {
  put_u16(out, static_cast<int>((value >> 32) & 0xFFFF));
  put_u32(out, static_cast<std::uint32_t>(value));
}

int base64_value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Reads the name at *at into its lower-case wire form and moves *at past
// it. A pointer must point before the label that holds it, so every jump
// goes backwards and a loop cannot form.
bool read_name(const std::string& m, std::size_t* at, std::string* wire) {
  wire->clear();
  std::size_t p = *at;
  bool jumped = false;
  for (;;) {
    if (p >= m.size()) return false;
    unsigned char length = static_cast<unsigned char>(m[p]);
    if ((length & 0xC0) == 0xC0) {
      if (p + 1 >= m.size()) return false;
      std::size_t target = static_cast<std::size_t>(read_u16(m, p) & 0x3FFF);
      if (target >= p) return false;
      if (!jumped) *at = p + 2;
      jumped = true;
      p = target;
      continue;
    }
    if (length > 63) return false;
    if (p + 1 + length > m.size()) return false;
    wire->push_back(static_cast<char>(length));
    for (std::size_t i = 0; i < length; ++i)
      wire->push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(m[p + 1 + i]))));
    if (wire->size() > 255) return false;
    p += 1 + length;
    if (length == 0) break;
  }
  if (!jumped) *at = p;
  return true;
}

// Skips one resource record; false when it does not lie within the message.
bool skip_record(const std::string& m, std::size_t* at, int* type) {
  std::string name;
  if (!read_name(m, at, &name)) return false;
  if (*at + 10 > m.size()) return false;
  *type = read_u16(m, *at);
  std::size_t rdlength = static_cast<std::size_t>(read_u16(m, *at + 8));
  *at += 10;
  if (*at + rdlength > m.size()) return false;
  *at += rdlength;
  return true;
}

std::string lower_wire(const std::string& text) {
  std::string wire;
  if (!encode_wire_name(text, &wire)) return std::string();
  return wire;
}

}  // namespace

bool base64_decode(const std::string& text, std::string* bytes) {
  bytes->clear();
  if (text.empty() || text.size() % 4 != 0) return false;
  std::size_t padding = 0;
  if (text[text.size() - 1] == '=') ++padding;
  if (text[text.size() - 2] == '=') ++padding;
  std::uint32_t group = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    int value = 0;
    if (i >= text.size() - padding) {
      if (text[i] != '=') return false;
    } else {
      value = base64_value(text[i]);
      if (value < 0) return false;
    }
    group = (group << 6) | static_cast<std::uint32_t>(value);
    if (i % 4 == 3) {
      bytes->push_back(static_cast<char>((group >> 16) & 0xFF));
      bytes->push_back(static_cast<char>((group >> 8) & 0xFF));
      bytes->push_back(static_cast<char>(group & 0xFF));
      group = 0;
    }
  }
  bytes->resize(bytes->size() - padding);
  return true;
}

bool parse_hmac_algorithm(const std::string& text, HmacAlgorithm* algorithm) {
  std::string name;
  for (char c : text) name.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  if (!name.empty() && name.back() == '.') name.pop_back();
  if (name == "hmac-sha256") {
    *algorithm = HmacAlgorithm::kSha256;
  } else if (name == "hmac-sha512") {
    *algorithm = HmacAlgorithm::kSha512;
  } else {
    return false;
  }
  return true;
}

const char* hmac_algorithm_name(HmacAlgorithm algorithm) {
  return algorithm == HmacAlgorithm::kSha512 ? "hmac-sha512" : "hmac-sha256";
}

bool encode_wire_name(const std::string& text, std::string* wire) {
  wire->clear();
  std::string name = text;
  if (!name.empty() && name.back() == '.') name.pop_back();
  if (name.empty()) return false;
  std::size_t start = 0;
  for (;;) {
    std::size_t dot = name.find('.', start);
    std::size_t end = dot == std::string::npos ? name.size() : dot;
    std::size_t length = end - start;
    if (length == 0 || length > 63) return false;
    wire->push_back(static_cast<char>(length));
    for (std::size_t i = start; i < end; ++i)
      wire->push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(name[i]))));
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  wire->push_back('\0');
  if (wire->size() > 255) {
    wire->clear();
    return false;
  }
  return true;
}

TsigFound tsig_find(const std::string& message, TsigRecord* record) {
  if (message.size() < static_cast<std::size_t>(kHeaderSize)) return TsigFound::kMalformed;
  int counts[4];
  for (int i = 0; i < 4; ++i) counts[i] = read_u16(message, 4 + 2 * i);
  std::size_t at = kHeaderSize;
  for (int i = 0; i < counts[0]; ++i) {
    std::string name;
    if (!read_name(message, &at, &name) || at + 4 > message.size()) return TsigFound::kMalformed;
    at += 4;
  }
  int records = counts[1] + counts[2] + counts[3];
  for (int i = 0; i < records; ++i) {
    std::size_t start = at;
    int type = 0;
    if (!skip_record(message, &at, &type)) return TsigFound::kMalformed;
    if (type != kTypeTsig) continue;
    // Only the last record of the additional section may be the TSIG.
    if (i != records - 1 || counts[3] == 0) return TsigFound::kMalformed;
    std::size_t p = start;
    if (!read_name(message, &p, &record->key_name)) return TsigFound::kMalformed;
    if (read_u16(message, p + 2) != kClassAny) return TsigFound::kMalformed;
    std::size_t rdata = p + 10;
    std::size_t rdata_end = at;
    p = rdata;
    if (!read_name(message, &p, &record->algorithm)) return TsigFound::kMalformed;
    if (p + 10 > rdata_end) return TsigFound::kMalformed;
    record->time_signed = (static_cast<std::uint64_t>(read_u16(message, p)) << 32) |
                          (static_cast<std::uint64_t>(read_u16(message, p + 2)) << 16) |
                          static_cast<std::uint64_t>(read_u16(message, p + 4));
    record->fudge = read_u16(message, p + 6);
    std::size_t mac_size = static_cast<std::size_t>(read_u16(message, p + 8));
    p += 10;
    if (p + mac_size + 6 > rdata_end) return TsigFound::kMalformed;
    record->mac = message.substr(p, mac_size);
    p += mac_size;
    record->original_id = read_u16(message, p);
    record->error = read_u16(message, p + 2);
    std::size_t other_size = static_cast<std::size_t>(read_u16(message, p + 4));
    p += 6;
    if (p + other_size != rdata_end) return TsigFound::kMalformed;
    record->other = message.substr(p, other_size);
    record->record_offset = static_cast<int>(start);
    return TsigFound::kFound;
  }
  return TsigFound::kNone;
}

std::string tsig_strip(const std::string& message, const TsigRecord& record) {
  std::string out = message.substr(0, static_cast<std::size_t>(record.record_offset));
  int arcount = read_u16(out, 10) - 1;
  out[0] = static_cast<char>((record.original_id >> 8) & 0xFF);
  out[1] = static_cast<char>(record.original_id & 0xFF);
  out[10] = static_cast<char>((arcount >> 8) & 0xFF);
  out[11] = static_cast<char>(arcount & 0xFF);
  return out;
}

bool tsig_mac(const TsigKey& key, const std::string& prior_mac, const std::string& unsigned_message,
              std::uint64_t time_signed, int fudge, int error, const std::string& other,
              std::string* mac) {
  std::string data;
  if (!prior_mac.empty()) {
    put_u16(&data, static_cast<int>(prior_mac.size()));
    data += prior_mac;
  }
  data += unsigned_message;
  data += lower_wire(key.name);
  put_u16(&data, kClassAny);
  put_u32(&data, 0);
  data += lower_wire(hmac_algorithm_name(key.algorithm));
  put_u48(&data, time_signed);
  put_u16(&data, fudge);
  put_u16(&data, error);
  put_u16(&data, static_cast<int>(other.size()));
  data += other;
  return hmac(key.algorithm, key.secret, data, mac);
}

std::string tsig_sign_request(const std::string& message, const TsigKey& key,
                              std::uint64_t time_signed, std::string* mac) {
  if (message.size() < static_cast<std::size_t>(kHeaderSize)) return std::string();
  if (!tsig_mac(key, std::string(), message, time_signed, kTsigFudge, 0, std::string(), mac))
    return std::string();
  std::string out = message;
  int arcount = read_u16(out, 10) + 1;
  out[10] = static_cast<char>((arcount >> 8) & 0xFF);
  out[11] = static_cast<char>(arcount & 0xFF);
  std::string rdata = lower_wire(hmac_algorithm_name(key.algorithm));
  put_u48(&rdata, time_signed);
  put_u16(&rdata, kTsigFudge);
  put_u16(&rdata, static_cast<int>(mac->size()));
  rdata += *mac;
  put_u16(&rdata, read_u16(message, 0));  // original ID
  put_u16(&rdata, 0);                     // error
  put_u16(&rdata, 0);                     // other length
  out += lower_wire(key.name);
  put_u16(&out, kTypeTsig);
  put_u16(&out, kClassAny);
  put_u32(&out, 0);
  put_u16(&out, static_cast<int>(rdata.size()));
  out += rdata;
  return out;
}

std::string tsig_unsigned_error_record(const TsigRecord& request, std::uint64_t time_signed,
                                       int error) {
  std::string rdata = request.algorithm;
  put_u48(&rdata, time_signed);
  put_u16(&rdata, kTsigFudge);
  put_u16(&rdata, 0);  // MAC size
  put_u16(&rdata, request.original_id);
  put_u16(&rdata, error);
  put_u16(&rdata, 0);  // other length
  std::string out = request.key_name;
  put_u16(&out, kTypeTsig);
  put_u16(&out, kClassAny);
  put_u32(&out, 0);
  put_u16(&out, static_cast<int>(rdata.size()));
  return out + rdata;
}

TsigCheck tsig_verify_response(const std::string& response, const TsigKey& key,
                               const std::string& request_mac, TsigRecord* record) {
  *record = TsigRecord();
  TsigRecord found_record;
  TsigFound found = tsig_find(response, &found_record);
  if (found == TsigFound::kNone) return TsigCheck::kUnsigned;
  if (found == TsigFound::kMalformed) return TsigCheck::kBad;
  *record = found_record;
  if (record->key_name != lower_wire(key.name) ||
      record->algorithm != lower_wire(hmac_algorithm_name(key.algorithm)))
    return TsigCheck::kBad;
  // A server that cannot use our key says so unsigned.
  if (record->error != 0 && record->mac.empty()) return TsigCheck::kKeyError;
  std::string expected;
  if (!tsig_mac(key, request_mac, tsig_strip(response, *record), record->time_signed, record->fudge,
                record->error, record->other, &expected))
    return TsigCheck::kBad;
  if (expected.size() != record->mac.size()) return TsigCheck::kBad;
  // Compared in full, whatever differs first: the time taken tells nothing.
  unsigned char differ = 0;
  for (std::size_t i = 0; i < expected.size(); ++i)
    differ |= static_cast<unsigned char>(expected[i] ^ record->mac[i]);
  return differ == 0 ? TsigCheck::kValid : TsigCheck::kBad;
}

long long tsig_time_skew(const TsigRecord& record, std::uint64_t now) {
  // Both fit 48 bits: the difference cannot overflow.
  return static_cast<long long>(record.time_signed) - static_cast<long long>(now);
}

bool tsig_time_acceptable(const TsigRecord& record, std::uint64_t now) {
  long long skew = tsig_time_skew(record, now);
  if (skew < 0) skew = -skew;
  return skew <= record.fudge;
}

bool tsig_other_time(const TsigRecord& record, std::uint64_t* time) {
  if (record.other.size() != 6) return false;
  *time = 0;
  for (char c : record.other) *time = (*time << 8) | static_cast<unsigned char>(c);
  return true;
}
