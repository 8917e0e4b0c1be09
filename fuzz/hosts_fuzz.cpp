// Fuzz target: the hosts-file block, loaded from a hosts file and rewritten
// from a table. Checked against a plain reading of the file: the table the
// load gives, the file the rewrite gives (every byte outside the block kept
// where it was, the block in the service's format), and a second load of the
// rewritten file giving back the same table.
//
// Input: one byte k, then k % 8 table entries (a length byte, the name, four
// address bytes) registered after the load, then the hosts file itself.
// (k / 8) % 8 picks max-names: 1 to 7, or the default. A cap refuses new
// names and never deletes stored ones: the load takes the whole block
// whatever the cap, and a registration of a new name (for an address not in
// the table) is refused while the table holds max-names entries or more.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "config.h"
#include "fuzz_support.h"
#include "hosts.h"
#include "platform.h"
#include "registry.h"

namespace {

std::string g_folder;

const char kBegin[] = "#tarvik-begin";
const char kEnd[] = "#tarvik-end";

bool starts_with(const std::string& text, const char* prefix) {
  return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

const std::string kSpace(" \t\n\v\f\r", 6);

// The first two words of a line: its address text and its name.
void reference_entry_words(const std::string& line, std::string* address, std::string* name) {
  address->clear();
  name->clear();
  std::size_t a = line.find_first_not_of(kSpace);
  if (a == std::string::npos) return;
  std::size_t a_end = std::min(line.size(), line.find_first_of(kSpace, a));
  *address = line.substr(a, a_end - a);
  std::size_t n = line.find_first_not_of(kSpace, a_end);
  if (n == std::string::npos) return;
  std::size_t n_end = std::min(line.size(), line.find_first_of(kSpace, n));
  *name = line.substr(n, n_end - n);
}

// A line the service could have written: an address that parses (a zero
// byte in it included) and a name it would store from the network.
bool reference_is_entry(const std::string& line) {
  std::string address, name;
  reference_entry_words(line, &address, &name);
  return address.find('\0') == std::string::npos && parse_ipv4(address.c_str()) != kAddressNone &&
         fuzz::reference_refusal(name) == nullptr;
}

// The block as a reader of the file sees it: where it starts and ends (as
// piece indexes). With an end marker, `end` is its piece; without one, the
// block holds only the entry lines after the begin marker and `end` is the
// first piece that is no entry (or pieces.size()); that piece stays.
struct BlockPlace {
  bool found = false;
  bool has_end = false;
  std::size_t begin = 0;
  std::size_t end = 0;
  // The first piece after the block.
  std::size_t tail() const { return has_end ? end + 1 : end; }
};

BlockPlace find_block(const std::vector<fuzz::Piece>& pieces) {
  BlockPlace place;
  for (std::size_t i = 0; i < pieces.size() && !place.found; ++i) {
    if (starts_with(pieces[i].raw, kBegin)) {
      place.found = true;
      place.begin = i;
    }
  }
  if (!place.found) return place;
  place.end = place.begin + 1;
  while (place.end < pieces.size() && !starts_with(pieces[place.end].raw, kEnd)) ++place.end;
  place.has_end = place.end < pieces.size();
  if (place.has_end) return place;
  place.end = place.begin + 1;
  while (place.end < pieces.size() && reference_is_entry(pieces[place.end].raw)) ++place.end;
  return place;
}


// The names the file gives outside its block, in lower case: on each line
// (the text before the block and the text after it, each cut into lines of
// its own), the words after the first, up to a '#'.
std::set<std::string> reference_outside_names(const std::string& hosts) {
  std::vector<fuzz::Piece> pieces = fuzz::split_pieces(hosts);
  BlockPlace place = find_block(pieces);
  std::string parts[2];
  for (std::size_t i = 0; i < (place.found ? place.begin : pieces.size()); ++i) parts[0] += pieces[i].raw;
  if (place.found) {
    for (std::size_t i = place.tail(); i < pieces.size(); ++i) parts[1] += pieces[i].raw;
  }
  std::set<std::string> names;
  for (const std::string& part : parts) {
    std::size_t start = 0;
    while (start < part.size()) {
      std::size_t end = std::min(part.size(), part.find('\n', start));
      std::string line = part.substr(start, end - start);
      line = line.substr(0, line.find('#'));
      std::size_t p = line.find_first_not_of(kSpace);
      bool first = true;
      while (p != std::string::npos) {
        std::size_t q = std::min(line.size(), line.find_first_of(kSpace, p));
        if (!first) names.insert(fuzz::lower_ascii(line.substr(p, q - p)));
        first = false;
        p = line.find_first_not_of(kSpace, q);
      }
      start = end + 1;
    }
  }
  return names;
}

bool reference_taken(const std::set<std::string>& outside, const std::string& name) {
  std::string lower = fuzz::lower_ascii(name);
  return outside.count(lower) != 0 || lower == fuzz::reference_machine_name();
}

// The table the load gives: every line inside the block, split into its
// first two words (address text, name), except lines that are no entry: an
// address that does not parse (a zero byte in it included), a name the
// service would not store from the network, or a name the file gives
// outside the block or the machine's own.
fuzz::Table reference_load(const std::string& hosts) {
  std::vector<fuzz::Piece> pieces = fuzz::split_pieces(hosts);
  BlockPlace place = find_block(pieces);
  fuzz::Table table;
  if (!place.found) return table;
  std::set<std::string> outside = reference_outside_names(hosts);
  for (std::size_t i = place.begin + 1; i < place.end; ++i) {
    std::string address, name;
    reference_entry_words(pieces[i].raw, &address, &name);
    std::uint32_t value = parse_ipv4(address.c_str());
    bool parses = address.find('\0') == std::string::npos && value != kAddressNone;
    if (!parses || fuzz::reference_refusal(name) != nullptr || reference_taken(outside, name)) continue;
    fuzz::reference_update(&table, name, value);
  }
  return table;
}

// Whether a registration goes into the table under the cap.
bool reference_takes(const fuzz::Table& table, const std::string& name, std::uint32_t address, int cap) {
  for (const auto& e : table) {
    if (fuzz::lower_ascii(e.first) == fuzz::lower_ascii(name) || e.second == address) return true;
  }
  return table.size() < static_cast<std::size_t>(cap);
}

std::string reference_block(const fuzz::Table& table) {
  std::string block = std::string(kBegin) + "\n";
  for (const auto& e : table) block += format_ipv4(e.second) + "\t" + e.first + "\n";
  return block + kEnd + "\n";
}

// The rewritten file: the bytes before the block, the new block, the bytes
// after the block's end marker line. Without a block, the old content, a
// line feed, the block.
std::string reference_rewrite(const std::string& hosts, const fuzz::Table& table) {
  std::vector<fuzz::Piece> pieces = fuzz::split_pieces(hosts);
  BlockPlace place = find_block(pieces);
  std::string before, after;
  for (std::size_t i = 0; i < (place.found ? place.begin : pieces.size()); ++i) before += pieces[i].raw;
  if (!place.found) return before + "\n" + reference_block(table);
  for (std::size_t i = place.tail(); i < pieces.size(); ++i) after += pieces[i].raw;
  return before + reference_block(table) + after;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_folder = fuzz::make_scratch_folder("hosts");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  std::size_t pos = 1;
  std::vector<std::pair<std::string, std::uint32_t>> registrations;
  for (unsigned k = data[0] % 8; k > 0 && pos < size; --k) {
    std::size_t length = data[pos++] % 72;
    if (size - pos < length + 4) return 0;
    std::string name(reinterpret_cast<const char*>(data) + pos, length);
    std::uint32_t address = 0;
    std::memcpy(&address, data + pos + length, 4);
    registrations.emplace_back(name, address);
    pos += length + 4;
  }
  std::string hosts(reinterpret_cast<const char*>(data) + pos, size - pos);

  const std::string hosts_path = g_folder + "/hosts";
  fuzz::write_whole_file(hosts_path, hosts);
  std::remove((g_folder + "/log").c_str());
  clear_name_table();
  g_hosts_dirty = false;
  unsigned cap_choice = (data[0] / 8) % 8;
  g_settings.max_names = cap_choice < 7 ? static_cast<int>(cap_choice) + 1 : 10000;

  load_hosts_block(hosts_path);
  fuzz::Table model = reference_load(hosts);
  FUZZ_CHECK(fuzz::table_content() == model);

  // Registrations as the service makes them: storable names only.
  for (const auto& r : registrations) {
    FUZZ_CHECK(is_storable_name(r.first) == (fuzz::reference_refusal(r.first) == nullptr));
    // 255.255.255.255 is what an address that does not parse reads as: the
    // service never stores it.
    if (!is_storable_name(r.first) || r.second == kAddressNone) continue;
    std::uint32_t address = parse_ipv4(format_ipv4(r.second).c_str());
    bool takes = reference_takes(model, r.first, address, g_settings.max_names);
    FUZZ_CHECK(update_name_table(r.first, format_ipv4(r.second)) == takes);
    if (takes) fuzz::reference_update(&model, r.first, address);
  }
  FUZZ_CHECK(fuzz::table_content() == model);

  // The rewrite reads the file again and drops what it defines outside.
  std::set<std::string> outside = reference_outside_names(hosts);
  fuzz::Table kept;
  for (const auto& e : model) {
    if (!reference_taken(outside, e.first)) kept.push_back(e);
  }
  model.swap(kept);
  FUZZ_CHECK(rewrite_hosts_block(hosts_path));
  FUZZ_CHECK(fuzz::table_content() == model);
  FUZZ_CHECK(!g_hosts_dirty);
  bool exists = false;
  std::string rewritten = fuzz::read_whole_file(hosts_path, &exists);
  FUZZ_CHECK(exists);
  FUZZ_CHECK(rewritten == reference_rewrite(hosts, model));
  // No copy is left behind: the folder holds the hosts file and the log.
  std::vector<std::string> names;
  FUZZ_CHECK(list_folder(g_folder, &names));
  for (const std::string& name : names) FUZZ_CHECK(name == "hosts" || name == "log");

  // The same registrations once more, in reverse and at other addresses,
  // handed to the writer as the table's changes, as the loop hands them
  // over: they go into the file just written, which then holds exactly the
  // block a whole rewrite would give it. A name the file gives outside the
  // block never reaches the table (the registration refuses it).
  record_name_changes(true);
  std::vector<NameChange> changes;
  take_name_changes(&changes);
  note_hosts_changes(&changes);
  for (auto r = registrations.rbegin(); r != registrations.rend(); ++r) {
    std::uint32_t address = r->second ^ 0x01000000u;
    if (!is_storable_name(r->first) || reference_taken(outside, r->first) || address == kAddressNone) continue;
    bool takes = reference_takes(model, r->first, address, g_settings.max_names);
    FUZZ_CHECK(update_name_table(r->first, format_ipv4(address)) == takes);
    if (takes) fuzz::reference_update(&model, r->first, address);
  }
  take_name_changes(&changes);
  note_hosts_changes(&changes);
  record_name_changes(false);
  FUZZ_CHECK(rewrite_hosts_block(hosts_path));
  FUZZ_CHECK(fuzz::table_content() == model);
  std::string changed = fuzz::read_whole_file(hosts_path, &exists);
  FUZZ_CHECK(changed == reference_rewrite(rewritten, model));

  // What the service wrote, it reads back the same.
  clear_name_table();
  load_hosts_block(hosts_path);
  FUZZ_CHECK(fuzz::table_content() == model);
  return 0;
}
