#include "hosts.h"

#include <cstddef>
#include <cstdio>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

#include "config.h"
#include "platform.h"
#include "registry.h"

namespace {

constexpr char kBeginMarker[] = "#tarvik-begin";
constexpr char kEndMarker[] = "#tarvik-end";

// The copy is "<hosts file>.tarvik-XXXXXXXX.tmp" (8 hex digits) beside the
// hosts file: same folder, same volume, same permissions on the folder.
constexpr char kCopyInfix[] = ".tarvik-";
constexpr char kCopySuffix[] = ".tmp";
constexpr std::size_t kCopyDigits = 8;
// A name already taken (a leftover, or a file someone planted) is passed
// over for the next one.
constexpr int kCopyAttempts = 4;

// The file is taken in pieces of at most 1023 bytes, each ending with its
// line feed unless the line is longer or is the file's last and has none; a
// longer line is several pieces, each handled as a line of its own.
constexpr std::size_t kPieceSize = 1023;

// The next piece of `text` from *pos, which moves past it. False at the end.
bool next_piece(std::string_view text, std::size_t* pos, std::string_view* piece) {
  if (*pos >= text.size()) return false;
  std::size_t limit = text.size() - *pos < kPieceSize ? text.size() - *pos : kPieceSize;
  std::size_t end = text.substr(*pos, limit).find('\n');
  std::size_t length = end == std::string_view::npos ? limit : end + 1;
  *piece = text.substr(*pos, length);
  *pos += length;
  return true;
}

// Markers are recognised by their first bytes only; whatever follows on the
// line is disregarded.
bool is_begin_marker(std::string_view piece) {
  return piece.substr(0, sizeof kBeginMarker - 1) == kBeginMarker;
}
bool is_end_marker(std::string_view piece) { return piece.substr(0, sizeof kEndMarker - 1) == kEndMarker; }

bool is_hosts_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Splits an entry line into its address text and name; the rest is dropped.
void split_entry_line(std::string_view line, std::string* address, std::string* name) {
  std::size_t p = 0;
  while (p < line.size() && is_hosts_space(line[p])) ++p;
  std::size_t start = p;
  while (p < line.size() && !is_hosts_space(line[p])) ++p;
  address->assign(line.substr(start, p - start));
  while (p < line.size() && is_hosts_space(line[p])) ++p;
  start = p;
  while (p < line.size() && !is_hosts_space(line[p])) ++p;
  name->assign(line.substr(start, p - start));
}

// Only what the service itself would have written: an address that parses
// (a zero byte would hide the rest of the text from the parser) and a name
// the registration would take.
bool is_entry(const std::string& address, const std::string& name) {
  if (address.find('\0') != std::string::npos) return false;
  if (parse_ipv4(address.c_str()) == kAddressNone) return false;
  return !name.empty() && is_storable_name(name);
}

// Where the block lies in `text`: from the start of its begin marker to the
// end of its end marker (or of the text). Both npos when there is no block.
void find_block(std::string_view text, std::size_t* begin, std::size_t* end) {
  std::string_view piece;
  std::size_t pos = 0;
  *begin = *end = std::string::npos;
  while (next_piece(text, &pos, &piece)) {
    if (is_begin_marker(piece)) {
      *begin = pos - piece.size();
      break;
    }
  }
  if (*begin == std::string::npos) return;
  while (next_piece(text, &pos, &piece) && !is_end_marker(piece)) {
  }
  *end = pos;
}

// Adds the names of the hosts-file lines in `text` to `names`: on each
// line, every word after the address up to a '#' (which starts a comment).
// Whole lines, as a resolver reads them, whatever their length.
void add_defined_names(std::string_view text, std::vector<std::string>* names) {
  std::size_t p = 0;
  while (p < text.size()) {
    std::size_t line_end = text.find('\n', p);
    if (line_end == std::string_view::npos) line_end = text.size();
    std::string_view line = text.substr(p, line_end - p);
    line = line.substr(0, line.find('#'));
    std::size_t q = 0;
    for (int word = 0;; ++word) {
      while (q < line.size() && is_hosts_space(line[q])) ++q;
      if (q == line.size()) break;
      std::size_t start = q;
      while (q < line.size() && !is_hosts_space(line[q])) ++q;
      if (word > 0) names->emplace_back(line.substr(start, q - start));
    }
    p = line_end + 1;
  }
}

// Hands the names that `text` (a whole hosts file) defines outside its
// block to the name table.
void note_names_outside_block(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = 0;
  find_block(text, &begin, &end);
  std::vector<std::string> names;
  add_defined_names(text.substr(0, begin), &names);
  if (end != std::string::npos) add_defined_names(text.substr(end), &names);
  set_names_outside_block(names);
}

std::string without_line_end(std::string_view piece) {
  while (!piece.empty() && (piece.back() == '\n' || piece.back() == '\r')) piece.remove_suffix(1);
  return std::string(piece);
}

// At least the length of the block as append_block writes it.
std::size_t block_size_bound() {
  std::size_t size = sizeof kBeginMarker + sizeof kEndMarker;  // with their line feeds
  for (const NameEntry& entry : name_table()) size += sizeof "255.255.255.255\t\n" - 1 + entry.name.size();
  return size;
}

// The block as it is written: markers around one "address<TAB>name" line per
// table entry, oldest first; room is made for `more` bytes after it.
void append_block(std::string* out, std::size_t more) {
  // Room first, so the text grows at most once, not by doubling.
  out->reserve(out->size() + block_size_bound() + more);
  *out += kBeginMarker;
  *out += '\n';
  for (const NameEntry& entry : name_table()) {
    *out += format_ipv4(entry.address);
    *out += '\t';
    *out += entry.name;
    *out += '\n';
  }
  *out += kEndMarker;
  *out += '\n';
}

// Turns the old file's text into the new one in place, so a large file is
// not held twice: the old lines before the block, the block, the old lines
// after it. `has_old` is false when there is no old file (`text` is empty).
void compose_hosts_text(std::string* text, bool has_old) {
  std::string_view piece;
  std::size_t pos = 0;
  std::size_t block_start = std::string::npos;
  std::size_t tail_start = std::string::npos;
  while (next_piece(*text, &pos, &piece)) {
    if (is_begin_marker(piece)) {
      block_start = pos - piece.size();
      break;
    }
  }
  if (block_start != std::string::npos) {
    while (next_piece(*text, &pos, &piece)) {
      if (is_end_marker(piece)) {
        tail_start = pos;
        break;
      }
    }
  }
  std::string tail = tail_start == std::string::npos ? std::string() : text->substr(tail_start);
  if (block_start != std::string::npos) {
    text->resize(block_start);
  } else if (has_old) {
    // No block yet: it goes at the end, after a line feed that ends an
    // unfinished last line or else leaves a blank line before it.
    *text += '\n';
  }
  append_block(text, tail.size());
  *text += tail;
}

bool is_copy_name(const std::string& name, const std::string& hosts_name) {
  std::string prefix = hosts_name + kCopyInfix;
  std::size_t digits_end = prefix.size() + kCopyDigits;
  if (name.size() != digits_end + sizeof kCopySuffix - 1) return false;
  if (name.compare(0, prefix.size(), prefix) != 0) return false;
  if (name.compare(digits_end, std::string::npos, kCopySuffix) != 0) return false;
  for (std::size_t i = prefix.size(); i < digits_end; ++i) {
    char c = name[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// Creates a copy under a fresh name beside the hosts file. *copy_path gets
// the name of the last attempt, created or not.
FileHandle create_copy(const std::string& hosts_path, std::string* copy_path, int* error) {
  // Names differ between attempts, between rewrites and, through the clock,
  // between runs; a clash only costs another attempt.
  static std::uint32_t counter = 0;
  for (int attempt = 0; attempt < kCopyAttempts; ++attempt) {
    std::uint32_t value = tick_count_ms() * 2654435761u + ++counter * 40503u;
    char digits[kCopyDigits + 1];
    std::snprintf(digits, sizeof digits, "%08x", static_cast<unsigned>(value));
    *copy_path = hosts_path + kCopyInfix + digits + kCopySuffix;
    FileHandle copy = create_new_file(*copy_path, hosts_path, error);
    if (copy != kNoFile) return copy;
  }
  return kNoFile;
}

// Writes, forces to disk and closes the copy; on any failure it is removed.
bool fill_copy(FileHandle copy, const std::string& copy_path, const std::string& bytes) {
  int error = 0;
  bool written = write_at(copy, 0, bytes, &error) && flush_file(copy, &error);
  int close_error = 0;
  bool closed = close_file(copy, &close_error);
  if (written && !closed) error = close_error;
  if (written && closed) return true;
  delete_file(copy_path);
  log(1, "%s: Can not write: %s", copy_path.c_str(), file_error_text(error).c_str());
  return false;
}

// For a hosts file that cannot be renamed over (a mount point). It is never
// emptied first: the space is reserved, the new content written over the old
// from the start and the file then cut to its new length. If any of that
// fails, the old content goes back: it is read here, just before the write,
// rather than kept from the start of the rewrite, so that the common rewrite
// (by rename) never holds the old and the new file at once.
bool write_in_place(const std::string& hosts_path, const std::string& new_bytes) {
  std::string old_bytes;
  int error = 0;
  if (read_whole_file(hosts_path, &old_bytes, &error) != ReadResult::kRead) {
    log(1, "%s: Can not read: %s", hosts_path.c_str(), file_error_text(error).c_str());
    return false;
  }
  FileHandle f = open_for_update(hosts_path, &error);
  if (f == kNoFile) {
    log(1, "%s: Update error %d", hosts_path.c_str(), error);
    return false;
  }
  long long new_length = static_cast<long long>(new_bytes.size());
  bool reserved = reserve_space(f, new_length, &error);
  bool written = reserved && write_at(f, 0, new_bytes, &error) && set_length(f, new_length, &error) &&
                 flush_file(f, &error);
  if (!written) {
    log(1, "%s: Update error %d", hosts_path.c_str(), error);
    // Nothing has been touched when the reservation failed.
    int restore_error = 0;
    if (reserved && !(write_at(f, 0, old_bytes, &restore_error) &&
                      set_length(f, static_cast<long long>(old_bytes.size()), &restore_error) &&
                      flush_file(f, &restore_error))) {
      log(1, "%s: Can not restore the old content: %s", hosts_path.c_str(),
          file_error_text(restore_error).c_str());
    }
  }
  int close_error = 0;
  if (!close_file(f, &close_error) && written) {
    log(1, "%s: Update error %d", hosts_path.c_str(), close_error);
    return false;
  }
  return written;
}

}  // namespace

void load_hosts_block(const std::string& hosts_path) {
  std::string text;
  // Memory may run out for the file (nothing is loaded) or for any entry
  // (that one is skipped): the service starts either way, with what fitted.
  try {
    int error = 0;
    if (read_whole_file(hosts_path, &text, &error) != ReadResult::kRead) {
      log(1, "%s: No such file or directory", hosts_path.c_str());
      return;
    }
    text = text_from_file_bytes(std::move(text));
    note_names_outside_block(text);
  } catch (const std::bad_alloc&) {
    log(1, "%s: Can not read: out of memory", hosts_path.c_str());
    return;
  }
  std::string_view piece;
  std::size_t pos = 0;
  int line_number = 0;
  bool line_start = true;
  bool in_block = false;
  while (!in_block && next_piece(text, &pos, &piece)) {
    if (line_start) ++line_number;
    line_start = piece.back() == '\n';
    in_block = is_begin_marker(piece);
  }

  std::string address;
  std::string name;
  std::string machine = machine_name();
  int full = 0;
  int no_memory = 0;
  while (in_block && next_piece(text, &pos, &piece) && !is_end_marker(piece)) {
    if (line_start) ++line_number;
    line_start = piece.back() == '\n';
    try {
      split_entry_line(piece, &address, &name);
      if (no_memory > 0) {
        // Memory ran out: the rest is only counted, since every update
        // would fail the same way, each at the cost of an exception.
        if (is_entry(address, name)) ++no_memory;
      } else if (!is_entry(address, name)) {
        log(2, "%s:%d: not an entry, skipped: '%s'", hosts_path.c_str(), line_number,
            log_safe(without_line_end(piece)).c_str());
      } else if (const char* reason = name_taken_reason(name, machine)) {
        log(1, "%s: name refused: %s", name.c_str(), reason);
      } else if (!update_name_table(name, address)) {
        ++full;
      }
    } catch (const std::bad_alloc&) {
      ++no_memory;
    }
  }
  // One line each, not one per entry: a block far over the cap would
  // otherwise be mostly log.
  if (full > 0) {
    log(1, "%s: %d entries skipped: table full (max-names %d)", hosts_path.c_str(), full,
        g_settings.max_names);
  }
  if (no_memory > 0)
    log(1, "%s: %d entries skipped: out of memory", hosts_path.c_str(), no_memory);
}

void remove_stale_hosts_copies(const std::string& hosts_path) {
  std::string folder;
  std::string hosts_name;
  split_path(hosts_path, &folder, &hosts_name);
  std::vector<std::string> names;
  if (hosts_name.empty() || !list_folder(folder, &names)) return;
  // The hosts path with its own spelling of the folder, so the copy's path is
  // built exactly as the rewrite built it.
  std::string prefix = hosts_path.substr(0, hosts_path.size() - hosts_name.size());
  for (const std::string& name : names) {
    if (is_copy_name(name, hosts_name)) delete_file(prefix + name);
  }
}

bool rewrite_hosts_block(const std::string& hosts_path) {
  // Room for the new file from the start: the old text then becomes the new
  // one in the same buffer, never beside a second copy.
  std::string text;
  long long old_size = file_size(hosts_path);
  std::size_t room = block_size_bound();
  // A size no buffer could hold is left to the read to fail on.
  if (old_size > 0 && static_cast<unsigned long long>(old_size) < text.max_size() / 2)
    room += static_cast<std::size_t>(old_size);
  text.reserve(room);
  int error = 0;
  ReadResult old = read_whole_file(hosts_path, &text, &error);
  if (old == ReadResult::kFailed) {
    // Replacing a file we cannot read would lose every line outside the
    // block.
    log(1, "%s: Can not read: %s", hosts_path.c_str(), file_error_text(error).c_str());
    return false;
  }
  if (old == ReadResult::kMissing) log(2, "%s: No such file or directory", hosts_path.c_str());

  // One buffer throughout: the old file's bytes become its text, the text
  // becomes the new file's, and that its bytes.
  text = text_from_file_bytes(std::move(text));
  // The names this read finds outside the block are the ones the block may
  // not hold from now on.
  note_names_outside_block(text);
  drop_taken_names();
  compose_hosts_text(&text, old == ReadResult::kRead);
  std::string new_bytes = text_to_file_bytes(std::move(text));

  std::string copy_path;
  FileHandle copy = create_copy(hosts_path, &copy_path, &error);
  if (copy == kNoFile) {
    log(1, "%s: Can not modify/create: %s", copy_path.c_str(), file_error_text(error).c_str());
    return false;
  }
  if (!fill_copy(copy, copy_path, new_bytes)) return false;

  ReplaceResult result = replace_file(copy_path, hosts_path, &error);
  if (result != ReplaceResult::kReplaced) delete_file(copy_path);
  if (result == ReplaceResult::kFailed) {
    log(1, "%s: Update error %d", hosts_path.c_str(), error);
    return false;
  }
  // A bind-mounted hosts file cannot be renamed over: writing it in place is
  // the only way left.
  if (result == ReplaceResult::kBusy && !write_in_place(hosts_path, new_bytes)) return false;
  g_hosts_dirty = false;
  return true;
}

bool rewrite_due(RewriteSchedule* schedule, bool dirty, bool quiet, std::uint32_t now) {
  if (!dirty) {
    schedule->dirty_seen = false;
    return false;
  }
  if (!schedule->dirty_seen) {
    schedule->dirty_seen = true;
    schedule->dirty_since = now;
  }
  // Signed difference: "now is before retry_after" across the wrap-around.
  if (schedule->retry_delay != 0 && static_cast<std::int32_t>(now - schedule->retry_after) < 0) return false;
  return quiet || now - schedule->dirty_since >= kRewriteDeadlineMs;
}

void note_rewrite_result(RewriteSchedule* schedule, bool written, std::uint32_t now) {
  if (written) {
    schedule->dirty_seen = false;
    schedule->retry_delay = 0;
    return;
  }
  if (schedule->retry_delay == 0) {
    schedule->retry_delay = kFirstRetryDelayMs;
  } else {
    schedule->retry_delay = schedule->retry_delay * 2 > kLastRetryDelayMs ? kLastRetryDelayMs
                                                                          : schedule->retry_delay * 2;
  }
  schedule->retry_after = now + schedule->retry_delay;
}
