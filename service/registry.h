// Registration protocol (datagrams on the registration port, CRC-32 tags)
// and the name table they fill.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform.h"

// --- CRC-32 (IEEE 802.3, reflected, as zlib) --------------------------------

// Complements crc, folds in `length` bytes, complements the result. Starting
// from 0 and feeding pieces in turn gives the CRC of their concatenation.
std::uint32_t crc32_update(std::uint32_t crc, const void* bytes, std::size_t length);

// The tag of a request: CRC-32 of "tarvik1" + address + name + password.
std::uint32_t registration_tag(const std::string& address, const std::string& name,
                               const std::string& password);

// --- Requests --------------------------------------------------------------

constexpr int kRegistrationReceiveSize = 199;

struct RegistrationRequest {
  std::string name;
  std::string address;
  std::uint32_t tag = 0;
};

enum class RequestParse {
  kAccepted,
  kMalformed,      // not "tarvik1 rq NAME ADDRESS TAG" with a tag of 8 hex digits
  kWrongPassword,  // well formed, but the tag is not that of `password`
};
// Parses "tarvik1 rq NAME ADDRESS TAG" (zero-terminated text), where TAG is
// exactly 8 hexadecimal digits of either case, and checks the tag against
// `password`. *out is filled when the request is well formed (accepted, or
// with the wrong password).
RequestParse parse_registration_request(const char* text, const std::string& password,
                                        RegistrationRequest* out);

// Formats the request datagram a device sends (used by the client).
std::string format_registration_request(const std::string& name, const std::string& address,
                                        const std::string& password);
// Formats "tarvik1 ack %08x".
std::string format_acknowledgement(std::uint32_t tag);

// Why a name may not be stored (from the network or from the hosts-file
// block), or null when it may: "control character", "not a host name" or
// "reserved name". A storable name is 1 to 63 bytes of ASCII letters, digits,
// '-' and '_', and is none of localhost, wpad and isatap in any case.
const char* name_refusal_reason(const std::string& name);
// True when name_refusal_reason gives null.
bool is_storable_name(const std::string& name);

// Names the machine already has, which the block must not hold: every host
// name and alias that the hosts file gives outside the block (as of its
// last read, which hands them over here) and the machine's own host name.
// Compared in any ASCII case.
void set_names_outside_block(const std::vector<std::string>& names);
// The same with the names already folded (folded_names), so that a large
// hosts file costs the loop no more than a swap. folded_names touches no
// state of the table: any thread may call it.
void set_folded_names_outside_block(std::unordered_set<std::string>&& folded);
std::unordered_set<std::string> folded_names(const std::vector<std::string>& names);
// "defined outside the block", "the machine's own name", or null.
const char* name_taken_reason(const std::string& name);
// The machine's own name: its host name's first label ("box" of
// "box.example.org" too, since the resolver finds the short name on the
// machine itself), or "" when it cannot be had.
std::string machine_name();
// As above with machine_name() at hand, for a loop over many names.
const char* name_taken_reason(const std::string& name, const std::string& machine);
// Removes every entry whose name name_taken_reason refuses, with a level-1
// line "%s: name refused: %s" each, for names the hosts file took up since
// they were stored.
void drop_taken_names();

// Serves one received registration datagram (zero-terminated text) from the
// IPv4 address `sender` (network byte order): an accepted request is logged
// and, when its name and address may be stored, entered into the name
// table with its sender and the table clock's time. Returns the
// acknowledgement to send back, or "" when the datagram is dropped without
// a reply. Counts what became of it in g_counters; a datagram with the
// wrong password is logged only with `verbose` (level 2, its sender, name
// and address, never the tag).
std::string serve_registration_datagram(const char* text, std::uint32_t sender);

// Datagrams served after one wait. A registration costs little next to the
// wait itself; a batch spreads the wait over a burst of devices, and is
// small enough that the DNS side waits little.
constexpr int kRegistrationsPerWait = 32;
// Receives the datagrams queued on `s` in batches and serves each, until
// none is left or kRegistrationsPerWait have been served; the
// acknowledgements of a batch leave together, in order. Datagrams from
// senders that allow-from leaves out are dropped unseen. A failed receive
// loses that datagram alone (logged "Recvfrom error: %d" unless its sender
// is left out).
void handle_registration_datagrams(Socket s);

// --- Name table ------------------------------------------------------------

// A time of the table clock that is not known: the name came from the
// hosts-file block at start, and registered before it.
constexpr std::uint32_t kUnknownTime = 0xFFFFFFFFu;

struct NameEntry {
  std::string name;
  std::uint32_t address;  // network byte order, as inet_addr gives it
};

// What the status view shows and ageing goes by, for registrations since
// the start. A name loaded from the block has kUnknownTime for both times
// and sender 0 until it registers; it then keeps its unknown first time.
// Kept beside the entries, not in them, and only for the parts of the table
// where a name has registered since the start: a large table loaded from
// the block pays nothing for it.
struct RegistrationHistory {
  std::uint32_t sender = 0;  // of the last registration, network byte order
  std::uint32_t first_registered = kUnknownTime;  // table clock
  std::uint32_t last_registered = kUnknownTime;   // table clock
  std::uint32_t renewals = 0;  // registrations of the name after its first (since start)
};
// The history of an entry of the table (one that find_by_name, the view or
// next_entry_in_storage gave).
RegistrationHistory registration_history(const NameEntry& entry);

// The table's clock: whole seconds since the service started, from the
// monotonic clock, so that a step of the wall clock ages nothing. The loop
// sets it every turn; it starts at 0.
void set_table_clock(std::uint32_t seconds);
std::uint32_t table_clock();

// Set by every table update, cleared by the hosts-file rewrite.
extern bool g_hosts_dirty;

// What one change of the table did to one name. The table only records its
// changes; the loop takes them after each turn and hands them to whoever
// keeps a copy of the table elsewhere (the site's DNS server, the hosts
// file), so the table never calls out to them.
struct NameChange {
  enum class Kind {
    kSet,      // a new name, or a name at a new address or in a new spelling
    kRemoved,  // the name left the table (`address` is the one it had)
    kMoved,    // a renewal that changed nothing: the entry moved to the end
  };
  Kind kind;
  std::string name;       // as stored (for kRemoved: as it was stored)
  std::uint32_t address;  // network byte order
};
// Changes are recorded only while recording is on; it is off at first, so
// that loading a large block at start costs no journal (whoever wants the
// loaded table reads it whole).
void record_name_changes(bool on);
// Hands over, oldest first, the changes recorded since the last call.
void take_name_changes(std::vector<NameChange>* out);

// Who registered a name, for update_name_table: the registration's sender
// (network byte order) and the table clock when it came.
struct Registration {
  std::uint32_t sender;
  std::uint32_t when;
};

// Names compare ignoring ASCII case. Removes every entry with this name or
// this address, appends the new entry
// at the end and sets g_hosts_dirty. A renewal that changes nothing (same
// spelling, same address) only moves its entry to the end: g_hosts_dirty
// and name_table_version() stay as they were. Neither this nor find_by_name walks the
// table: both go through indexes by name and by address.
// False, with the table unchanged, when the table already holds max-names
// entries and this one would add to them (a new name for an address not in
// the table), unless `cap` is kLoadPastCap: the entries of the stored block
// go in whatever the cap, since a cap refuses new names and never deletes
// stored ones. Throws std::bad_alloc with the table unchanged when memory
// runs out. With `heard` (a registration, not the block's load) the entry
// records its sender and time, and a name already stored counts a renewal.
enum class CapRule { kEnforce, kLoadPastCap };
bool update_name_table(const std::string& name, const std::string& address_text,
                       CapRule cap = CapRule::kEnforce, const Registration* heard = nullptr);
// Removes the entry with this name (any ASCII case), as if it had never
// registered: the removal is recorded like any other change and the block
// is to be written again. False when there is no such name.
bool forget_name(const std::string& name);
// Ageing: removes the entries whose last registration (for names loaded
// from the block and not renewed since: the start) is max_age seconds or
// more before `now` (table clock), oldest first, at most `limit` of them, each
// logged "NAME: expired, not renewed for N hours" (N: max_age in hours)
// and recorded as removed. Returns how many went; once fewer than
// `limit`, none is left that is due. The oldest entry comes first in the
// table, so a call that removes nothing costs one look.
std::size_t expire_names(std::uint32_t now, std::uint32_t max_age, std::size_t limit);
// For a view built over several turns of the loop (the status dump), a
// walk that survives changes of the table: starting with *cursor = 0, each
// call gives the next entry in storage order and moves the cursor past it,
// null at the end. Every entry that stays in the table during the walk is
// seen once, as it is when the walk reaches it; one stored or removed
// meanwhile may be missed, and a name removed and stored again may be seen
// twice.
const NameEntry* next_entry_in_storage(std::uint32_t* cursor);
// The same with the address parsed already (network byte order), for a
// caller that has it: loading a large block parses each address once.
bool update_name_table(const std::string& name, std::uint32_t address,
                       CapRule cap = CapRule::kEnforce, const Registration* heard = nullptr);
// The entry with this name in any ASCII case, or null; valid until the
// table next changes.
const NameEntry* find_by_name(const char* name, std::size_t length);
// Grows (modulo 2^32) with every change of the table, so it can serve as
// the serial number of the zone the table answers for.
std::uint32_t name_table_version();
// The entries, oldest first, as a view that walks the table itself (any
// update invalidates its iterators):
//   for (const NameEntry& entry : name_table()) ...
class NameTableView {
 public:
  class Iterator {
   public:
    const NameEntry& operator*() const;
    const NameEntry* operator->() const { return &**this; }
    Iterator& operator++();  // to the next newer entry
    bool operator==(const Iterator& other) const { return slot_ == other.slot_; }
    bool operator!=(const Iterator& other) const { return slot_ != other.slot_; }

   private:
    friend class NameTableView;
    explicit Iterator(std::uint32_t slot) : slot_(slot) {}
    std::uint32_t slot_;
  };
  Iterator begin() const;
  Iterator end() const;
  std::size_t size() const;
  bool empty() const { return size() == 0; }
};
NameTableView name_table();
// Makes room in the table's indexes for `entries` entries at once, so that
// a large block loaded at start grows them once, not by doubling them step
// by step. Throws std::bad_alloc with the table unchanged.
void reserve_name_table(std::size_t entries);
// Empties the table and forgets the names outside the block: for tests.
void clear_name_table();
