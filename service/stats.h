// Counters of what the service has done since it started, for the admin's
// status view. Plain values, touched only by the loop's thread; each
// subsystem counts its own events where they happen.
#pragma once

#include <cstdint>

struct Counters {
  // Registration port.
  std::uint64_t registrations_acknowledged = 0;  // valid requests, answered
  std::uint64_t registrations_stored = 0;        // of those, entered into the table
  std::uint64_t registrations_wrong_password = 0;  // well formed, tag did not match
  std::uint64_t registrations_malformed = 0;       // not a request at all
  // Acknowledged but not stored, by reason.
  std::uint64_t refused_bad_address = 0;       // the address does not parse
  std::uint64_t refused_name = 0;              // control character, not a host name, reserved
  std::uint64_t refused_taken = 0;             // defined outside the block, the machine's own name
  std::uint64_t refused_table_full = 0;
  std::uint64_t refused_out_of_memory = 0;
  // DNS port (UDP and TCP).
  std::uint64_t queries_answered = 0;  // answered from the zone (NOERROR or NXDOMAIN)
  std::uint64_t queries_relayed = 0;   // sent to the upstream server
  std::uint64_t queries_refused = 0;   // REFUSED: no upstream, or not relayed for the asker
  std::uint64_t queries_servfail = 0;  // a relay that failed
  std::uint64_t queries_other = 0;     // FORMERR, NOTIMP, NOTAUTH and the like
  // Publishing into the site's DNS server.
  std::uint64_t updates_published = 0;
  std::uint64_t updates_failed = 0;
  // Hosts file.
  std::uint64_t hosts_writes = 0;
  std::uint64_t hosts_write_failures = 0;
};

extern Counters g_counters;
