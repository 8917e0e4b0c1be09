// Transaction signatures (TSIG, RFC 8945) and the base64 of their secrets.
// Bytes only: the HMAC comes from the platform layer, nothing here touches
// a socket or a clock.
#pragma once

#include <cstdint>
#include <string>

#include "platform.h"

constexpr int kTypeTsig = 250;
constexpr int kTsigFudge = 300;

// TSIG error codes (the extended RCODEs of the TSIG record).
constexpr int kTsigBadSig = 16;
constexpr int kTsigBadKey = 17;
constexpr int kTsigBadTime = 18;

struct TsigKey {
  std::string name;  // as configured, without the trailing dot
  HmacAlgorithm algorithm = HmacAlgorithm::kSha256;
  std::string secret;  // the decoded bytes
};

// Standard base64 (RFC 4648, with '=' padding; blanks are not allowed).
// False for anything else, an empty text included.
bool base64_decode(const std::string& text, std::string* bytes);

// "hmac-sha256" / "hmac-sha512" in any case, with or without a trailing
// dot. False for other names.
bool parse_hmac_algorithm(const std::string& text, HmacAlgorithm* algorithm);
// The algorithm's name as it goes on the wire, without the dot.
const char* hmac_algorithm_name(HmacAlgorithm algorithm);

// A domain name in text ("a.b.c", one trailing dot allowed) to its
// canonical wire form: lower case, uncompressed, ending in the root. False
// for an empty label, a label over 63 bytes or a name over 255 bytes.
bool encode_wire_name(const std::string& text, std::string* wire);

// The TSIG record of a message, as found by tsig_find.
struct TsigRecord {
  int record_offset = 0;  // where the record (its owner name) starts
  std::string key_name;   // wire form, lower case
  std::string algorithm;  // wire form, lower case
  std::uint64_t time_signed = 0;
  int fudge = 0;
  std::string mac;
  int original_id = 0;
  int error = 0;
  std::string other;
};

enum class TsigFound { kNone, kFound, kMalformed };
// Looks for the TSIG record of a message. kFound when the last additional
// record is a TSIG record of class ANY that is well formed; kNone when the
// message has no TSIG record at all; kMalformed when a record cannot be
// read within the message, or a TSIG record is not the last record or is
// malformed (a receiver answers FORMERR). Compression pointers in names are
// followed, backwards only, so a loop cannot hold the reader.
TsigFound tsig_find(const std::string& message, TsigRecord* record);

// The message as it was before the TSIG record was added: the record cut
// off, ARCOUNT one lower and the ID the original one.
std::string tsig_strip(const std::string& message, const TsigRecord& record);

// The MAC over `prior_mac` (the request's MAC, for a response; "" for a
// request), the unsigned message and the TSIG variables.
bool tsig_mac(const TsigKey& key, const std::string& prior_mac, const std::string& unsigned_message,
              std::uint64_t time_signed, int fudge, int error, const std::string& other,
              std::string* mac);

// Signs a request: returns it with the TSIG record appended (ARCOUNT one
// higher), and its MAC in *mac for verifying the response. "" when the
// platform could not compute the HMAC.
std::string tsig_sign_request(const std::string& message, const TsigKey& key,
                              std::uint64_t time_signed, std::string* mac);

// The TSIG record of the unsigned answer to a signed request whose key the
// receiver does not hold (`error` BADKEY): the request's key name and
// algorithm, `time_signed`, fudge 300, an empty MAC, the request's original
// ID and the error. RFC 8945 leaves such answers unsigned: there is no key
// to sign them with.
std::string tsig_unsigned_error_record(const TsigRecord& request, std::uint64_t time_signed,
                                       int error);

enum class TsigCheck {
  kValid,     // signed with the key, MAC right
  kUnsigned,  // no TSIG record
  kKeyError,  // TSIG with an error code and no MAC (the server refused our key or time)
  kBad,       // a wrong key name or algorithm, a wrong MAC, a malformed record
};
// Checks the response to a request signed with `key` whose MAC was
// `request_mac`. *record gets the response's TSIG record when it has one
// (its `error` is 0 when none); the time it was signed is left to the
// caller (tsig_time_skew), who has the clock.
TsigCheck tsig_verify_response(const std::string& response, const TsigKey& key,
                               const std::string& request_mac, TsigRecord* record);

// How far the record's time signed lies from `now` (seconds since 1970):
// positive when ahead of it. A signed message whose skew exceeds its fudge
// either way is not accepted (BADTIME), responses included.
long long tsig_time_skew(const TsigRecord& record, std::uint64_t now);
bool tsig_time_acceptable(const TsigRecord& record, std::uint64_t now);
// The signer's clock as a BADTIME answer gives it in its other data (six
// bytes, seconds since 1970). False when the other data is not that.
bool tsig_other_time(const TsigRecord& record, std::uint64_t* time);
