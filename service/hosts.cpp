#include "hosts.h"

#include <cstddef>
#include <cstdio>
#include <new>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "config.h"
#include "platform.h"
#include "registry.h"
#include "stats.h"

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

// How often a rewrite composes the file again after finding it changed by
// someone else between its read and its rename, before it gives up until
// the next retry.
constexpr int kComposeAttempts = 3;
// After a write that met another writer: how long that writer gets to save
// a copy it read before the write (which would undo the block) before the
// file is read back. Editors and tools save within milliseconds.
constexpr int kSettleMs = 100;
// How often a put-back of another program's file may find yet another
// program's file come out instead of the service's own.
constexpr int kPutBackRounds = 8;

// The file work runs on the writer thread, which must not touch the log: its
// lines are held and logged by the loop when it takes the result. A line
// keeps its format, so the log's burst limit treats it as its own kind.
struct HeldLine {
  int level;
  const char* format;  // "%s..." with one more "%s", "%d: %s" (number and words) or none
  std::string path;
  std::string text;
  int number;
  bool numeric;
};
thread_local std::vector<HeldLine>* t_held_lines = nullptr;

void emit(const HeldLine& line) {
  if (line.numeric) {
    // The words are looked up here, on the loop, not on the writer thread.
    log(line.level, line.format, line.path.c_str(), line.number, system_error_text(line.number).c_str());
  } else {
    log(line.level, line.format, line.path.c_str(), line.text.c_str());
  }
}

void note(int level, const char* format, const std::string& path, const std::string& text = std::string()) {
  HeldLine line{level, format, path, text, 0, false};
  if (t_held_lines != nullptr) {
    t_held_lines->push_back(std::move(line));
  } else {
    emit(line);
  }
}

void note_number(int level, const char* format, const std::string& path, int number) {
  HeldLine line{level, format, path, std::string(), number, true};
  if (t_held_lines != nullptr) {
    t_held_lines->push_back(std::move(line));
  } else {
    emit(line);
  }
}

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

std::string without_line_end(std::string_view piece) {
  while (!piece.empty() && (piece.back() == '\n' || piece.back() == '\r')) piece.remove_suffix(1);
  return std::string(piece);
}

// The block as it is written: markers around one "address<TAB>name" line per
// table entry, oldest first. Composed by the loop, the table's only owner;
// the file work gets only this text.
std::string block_text() {
  std::size_t size = sizeof kBeginMarker + sizeof kEndMarker;  // with their line feeds
  for (const NameEntry& entry : name_table()) size += sizeof "255.255.255.255\t\n" - 1 + entry.name.size();
  std::string out;
  out.reserve(size);
  out += kBeginMarker;
  out += '\n';
  for (const NameEntry& entry : name_table()) {
    out += format_ipv4(entry.address);
    out += '\t';
    out += entry.name;
    out += '\n';
  }
  out += kEndMarker;
  out += '\n';
  return out;
}

bool is_entry_piece(std::string_view piece) {
  std::string address;
  std::string name;
  split_entry_line(piece, &address, &name);
  return is_entry(address, name);
}

// Where the block lies in a file's text. `begin` is npos when there is no
// begin marker; then the other offsets mean nothing.
struct BlockBounds {
  std::size_t begin = std::string::npos;  // the begin marker's line
  std::size_t body = 0;                   // the first line after it
  std::size_t body_end = 0;               // the end marker's line, or the first line after the entries
  std::size_t tail = 0;                   // the first line that stays outside
};

// With an end marker the block runs up to it and takes it in. Without one
// it holds only the entry lines that follow the begin marker: the first line
// that is no entry, and everything after it, are the admin's and stay.
BlockBounds find_block(std::string_view text) {
  BlockBounds bounds;
  std::string_view piece;
  std::size_t pos = 0;
  while (next_piece(text, &pos, &piece)) {
    if (is_begin_marker(piece)) {
      bounds.begin = pos - piece.size();
      break;
    }
  }
  if (bounds.begin == std::string::npos) return bounds;
  bounds.body = pos;
  while (next_piece(text, &pos, &piece)) {
    if (is_end_marker(piece)) {
      bounds.body_end = pos - piece.size();
      bounds.tail = pos;
      return bounds;
    }
  }
  pos = bounds.body;
  std::size_t piece_start = pos;
  while (next_piece(text, &pos, &piece) && is_entry_piece(piece)) piece_start = pos;
  bounds.body_end = piece_start;
  bounds.tail = piece_start;
  return bounds;
}

// Turns the old file's text into the new one in place, so a large file is
// not held twice: the old lines before the block, `block`, the old lines
// after it. `has_old` is false when there is no old file (`text` is empty).
void compose_hosts_text(std::string* text, bool has_old, const std::string& block) {
  BlockBounds bounds = find_block(*text);
  if (bounds.begin != std::string::npos) {
    text->replace(bounds.begin, bounds.tail - bounds.begin, block);
    return;
  }
  // No block yet: it goes at the end, after a line feed that ends an
  // unfinished last line or else leaves a blank line before it.
  if (has_old) *text += '\n';
  *text += block;
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

// The names that `text` (a whole hosts file) defines outside its block.
std::vector<std::string> names_outside_block(std::string_view text) {
  BlockBounds bounds = find_block(text);
  std::vector<std::string> names;
  if (bounds.begin == std::string::npos) {
    add_defined_names(text, &names);
  } else {
    add_defined_names(text.substr(0, bounds.begin), &names);
    add_defined_names(text.substr(bounds.tail), &names);
  }
  return names;
}

// `block` without the entry lines whose name the file defines outside the
// block (`taken`, folded): the loop composed it before this read could tell,
// and the block must never hold such a name. The loop drops them from the
// table once it hears of the names.
std::string without_names(const std::string& block, const std::unordered_set<std::string>& taken) {
  if (taken.empty()) return block;
  std::string out;
  out.reserve(block.size());
  std::size_t p = 0;
  while (p < block.size()) {
    std::size_t end = block.find('\n', p);
    end = end == std::string::npos ? block.size() : end + 1;
    std::string_view line(block.data() + p, end - p);
    std::size_t tab = line.find('\t');
    bool drop = false;
    if (tab != std::string_view::npos) {
      std::string_view name = line.substr(tab + 1);
      while (!name.empty() && (name.back() == '\n' || name.back() == '\r')) name.remove_suffix(1);
      // Folded as folded_names folds: ASCII letters only.
      std::string key(name);
      for (char& c : key) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
      }
      drop = taken.count(key) != 0;
    }
    if (!drop) out.append(line);
    p = end;
  }
  return out;
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
  note(1, "%s: Can not write: %s", copy_path, file_error_text(error));
  return false;
}

// What tells the bytes of one version of a file from another's: their
// count and a 64-bit FNV-1a hash, so that a file found in the place of the
// one read can be compared with it without holding both.
struct Digest {
  std::uint64_t hash = 14695981039346656037ull;
  long long size = 0;
  bool operator==(const Digest& other) const { return hash == other.hash && size == other.size; }
  bool operator!=(const Digest& other) const { return !(*this == other); }
};

void add_to_digest(Digest* digest, const char* bytes, std::size_t length) {
  std::uint64_t h = digest->hash;
  for (std::size_t i = 0; i < length; ++i) {
    h ^= static_cast<unsigned char>(bytes[i]);
    h *= 1099511628211ull;
  }
  digest->hash = h;
  digest->size += static_cast<long long>(length);
}

// The digest of the file at `path`, read in pieces. False when it cannot be
// read.
bool file_digest(const std::string& path, Digest* digest) {
  FileHandle f = kNoFile;
  int error = 0;
  if (open_regular_file(path, &f, &error) != OpenResult::kOpened) return false;
  char buffer[16384];
  long n = 0;
  while ((n = read_bytes(f, buffer, sizeof buffer, &error)) > 0)
    add_to_digest(digest, buffer, static_cast<std::size_t>(n));
  close_file(f, &error);
  return n == 0;
}

// What the file work last knew of the hosts file: the file it last read at
// start or wrote. A read that finds another file there means that another
// program has written it since. Touched only by whoever does the file work
// (the loop at start and stop, the writer thread in between, handed over
// under lock_shared()).
struct FileSeen {
  bool known = false;
  std::string path;  // the hosts file's, links resolved
  FileIdentity identity;
};
FileSeen g_file_seen;

// Whether the file at `path` is the version that was read: the same file
// unchanged, or one that holds the same bytes (a program that rewrites the
// file as it found it, or touches it, loses nothing when it is replaced;
// *met_writer is then set).
bool is_version_read(const std::string& path, const FileIdentity& read_identity, const Digest& read_digest,
                     bool* met_writer) {
  FileIdentity found;
  if (path_identity(path, &found) && found == read_identity) return true;
  Digest digest;
  if (!file_digest(path, &digest) || digest != read_digest) return false;
  *met_writer = true;
  return true;
}

// Puts back the file an exchange took out of place: `copy_path` holds it,
// the hosts file the service's own (`ours`). What comes out must be the
// service's file; anything else is a third program's, saved over the
// service's file in between and newer than the one just put back, so it
// goes back in turn. Whatever finally comes out is left at `copy_path`.
void put_back(const std::string& copy_path, const std::string& hosts_path, const FileIdentity& ours,
              const FileIdentity& displaced) {
  FileIdentity expected = ours;
  FileIdentity put_in = displaced;
  for (int round = 0; round < kPutBackRounds; ++round) {
    int error = 0;
    ReplaceResult result = exchange_files(copy_path, hosts_path, &error);
    if (result == ReplaceResult::kTargetChanged) {
      // The hosts file was deleted meanwhile: the other program's file goes
      // back unless a newer one has appeared.
      result = move_to_free_name(copy_path, hosts_path, &error);
      if (result == ReplaceResult::kReplaced || result == ReplaceResult::kTargetChanged) return;
    }
    if (result != ReplaceResult::kReplaced) {
      note_number(1, "%s: Can not put back the file another program wrote, error %d: %s", hosts_path, error);
      return;
    }
    FileIdentity out;
    if (!path_identity(copy_path, &out) || same_file(out, expected)) return;
    expected = put_in;
    put_in = out;
  }
}

// After a write that met another writer, who may have read the file before
// the write and save its copy after it: waits for that, then tells whether
// the file still holds `placed` as its block.
bool block_kept(const std::string& hosts_path, const std::string& placed, const FileIdentity& written) {
  sleep_ms(kSettleMs);
  FileIdentity now;
  if (path_identity(hosts_path, &now) && now == written) return true;
  std::string text;
  int error = 0;
  FileIdentity read;
  if (read_whole_file(hosts_path, &text, &error, &read) != ReadResult::kRead) return false;
  text = text_from_file_bytes(std::move(text));
  BlockBounds bounds = find_block(text);
  if (bounds.begin == std::string::npos || text.compare(bounds.begin, bounds.tail - bounds.begin, placed) != 0)
    return false;
  g_file_seen.identity = read;
  return true;
}

// For a hosts file that cannot be renamed over (a mount point). It is never
// emptied first: the space is reserved, the new content written over the old
// from the start and the file then cut to its new length. If any of that
// fails, the old content goes back: it is read here, just before the write,
// rather than kept from the start of the rewrite, so that the common rewrite
// (by rename) never holds the old and the new file at once. That read also
// tells whether the file still holds what the new content was composed from
// (`expected`, `expected_digest`); kChanged when it does not, and nothing is
// written. The moment between that read and the write stays open: nothing
// closes it for a file written in place.
WriteOutcome write_in_place(const std::string& hosts_path, const std::string& new_bytes,
                            const FileIdentity& expected, const Digest& expected_digest, bool* met_writer) {
  std::string old_bytes;
  int error = 0;
  FileIdentity now;
  if (read_whole_file(hosts_path, &old_bytes, &error, &now) != ReadResult::kRead) {
    note(1, "%s: Can not read: %s", hosts_path, file_error_text(error));
    return WriteOutcome::kFailed;
  }
  if (now != expected) {
    Digest digest;
    add_to_digest(&digest, old_bytes.data(), old_bytes.size());
    if (digest != expected_digest) return WriteOutcome::kChanged;
    *met_writer = true;
  }
  FileHandle f = open_for_update(hosts_path, &error);
  if (f == kNoFile) {
    note_number(1, "%s: Update error %d: %s", hosts_path, error);
    return WriteOutcome::kFailed;
  }
  long long new_length = static_cast<long long>(new_bytes.size());
  bool reserved = reserve_space(f, new_length, &error);
  bool written = reserved && write_at(f, 0, new_bytes, &error) && set_length(f, new_length, &error) &&
                 flush_file(f, &error);
  if (!written) {
    note_number(1, "%s: Update error %d: %s", hosts_path, error);
    // Nothing has been touched when the reservation failed.
    int restore_error = 0;
    if (reserved && !(write_at(f, 0, old_bytes, &restore_error) &&
                      set_length(f, static_cast<long long>(old_bytes.size()), &restore_error) &&
                      flush_file(f, &restore_error))) {
      note(1, "%s: Can not restore the old content: %s", hosts_path, file_error_text(restore_error));
    }
  }
  int close_error = 0;
  if (!close_file(f, &close_error) && written) {
    note_number(1, "%s: Update error %d: %s", hosts_path, close_error);
    return WriteOutcome::kFailed;
  }
  return written ? WriteOutcome::kWritten : WriteOutcome::kFailed;
}

// Called just before the new file takes the hosts file's place: for tests.
void (*g_replace_hook)(const std::string& hosts_path) = nullptr;

void before_replace(const std::string& hosts_path) {
  if (g_replace_hook != nullptr) g_replace_hook(hosts_path);
}

// Whether the hosts file is still the version read: the same file, or one
// with the same bytes; `existed` tells whether there was one at all.
// *current gets the identity of the file found.
bool still_as_read(const std::string& hosts_path, bool existed, const FileIdentity& read_identity,
                   const Digest& read_digest, FileIdentity* current, bool* met_writer) {
  bool exists = path_identity(hosts_path, current);
  if (exists != existed) return false;
  return !exists || *current == read_identity ||
         is_version_read(hosts_path, read_identity, read_digest, met_writer);
}

// One attempt: read, compose with `block`, write the copy, and put it in
// the hosts file's place unless the file has changed since it was read.
// `placed` gets the block as written.
WriteOutcome write_hosts_file_once(const std::string& hosts_path, const std::string& block,
                                   std::unordered_set<std::string>* outside, std::string* placed) {
  // Room for the new file from the start: the old text then becomes the new
  // one in the same buffer, never beside a second copy.
  std::string text;
  long long old_size = file_size(hosts_path);
  std::size_t room = block.size();
  // A size no buffer could hold is left to the read to fail on.
  if (old_size > 0 && static_cast<unsigned long long>(old_size) < text.max_size() / 2)
    room += static_cast<std::size_t>(old_size);
  text.reserve(room);
  int error = 0;
  FileIdentity read_identity;
  ReadResult old = read_whole_file(hosts_path, &text, &error, &read_identity);
  if (old == ReadResult::kFailed) {
    // Replacing a file we cannot read would lose every line outside the
    // block.
    note(1, "%s: Can not read: %s", hosts_path, file_error_text(error));
    return WriteOutcome::kFailed;
  }
  if (old == ReadResult::kMissing) note(2, "%s: No such file or directory", hosts_path);
  bool existed = old == ReadResult::kRead;
  Digest read_digest;
  add_to_digest(&read_digest, text.data(), text.size());
  // Someone else has written the file since the service last read or wrote
  // it, and may be at it still.
  bool met_writer = existed && g_file_seen.known && g_file_seen.path == hosts_path &&
                    g_file_seen.identity != read_identity;

  // One buffer throughout: the old file's bytes become its text, the text
  // becomes the new file's, and that its bytes.
  text = text_from_file_bytes(std::move(text));
  // Folded here, off the loop: a large hosts file names many hosts.
  *outside = folded_names(names_outside_block(text));
  *placed = without_names(block, *outside);
  compose_hosts_text(&text, existed, *placed);
  std::string new_bytes = text_to_file_bytes(std::move(text));

  std::string copy_path;
  FileHandle copy = create_copy(hosts_path, &copy_path, &error);
  if (copy == kNoFile) {
    note(1, "%s: Can not modify/create: %s", copy_path, file_error_text(error));
    return WriteOutcome::kFailed;
  }
  if (!fill_copy(copy, copy_path, new_bytes)) return WriteOutcome::kFailed;
  FileIdentity ours;
  path_identity(copy_path, &ours);

  // An editor or a package upgrade may have replaced or changed the file
  // since it was read: replacing it would lose their edit. Checked first, so
  // that the new file takes the place of no newer one that can be seen (a
  // reader of the file meanwhile, another program composing its own edit,
  // would meet an old version). A save in the moment between the check and
  // the replacement is caught by the exchange: the file that was really
  // there comes out, and goes back unless it is the one just checked. A
  // missing file is only ever created, never replaced.
  FileIdentity checked;
  if (!still_as_read(hosts_path, existed, read_identity, read_digest, &checked, &met_writer)) {
    delete_file(copy_path);
    return WriteOutcome::kChanged;
  }
  before_replace(hosts_path);
  ReplaceResult result = existed ? exchange_files(copy_path, hosts_path, &error)
                                 : move_to_free_name(copy_path, hosts_path, &error);
  if (result == ReplaceResult::kUnsupported) {
    // That moment stays open here.
    result = replace_file(copy_path, hosts_path, &error);
  } else if (result == ReplaceResult::kReplaced && existed) {
    // Anything but the file just checked goes back at once, unexamined: until
    // it does, the hosts file shows an old version to every reader, and to
    // any program about to compose its next edit from it.
    FileIdentity displaced;
    if (!path_identity(copy_path, &displaced) || displaced != checked) {
      put_back(copy_path, hosts_path, ours, displaced);
      delete_file(copy_path);
      return WriteOutcome::kChanged;
    }
    delete_file(copy_path);
  }
  if (result != ReplaceResult::kReplaced) delete_file(copy_path);

  WriteOutcome outcome = WriteOutcome::kWritten;
  switch (result) {
    case ReplaceResult::kReplaced:
      break;
    case ReplaceResult::kTargetChanged:
      return WriteOutcome::kChanged;
    case ReplaceResult::kBusy:
      // A bind-mounted hosts file cannot be renamed over: writing it in
      // place is the only way left.
      outcome = write_in_place(hosts_path, new_bytes, read_identity, read_digest, &met_writer);
      if (outcome != WriteOutcome::kWritten) return outcome;
      path_identity(hosts_path, &ours);
      break;
    case ReplaceResult::kUnsupported:
    case ReplaceResult::kFailed:
      note_number(1, "%s: Update error %d: %s", hosts_path, error);
      return WriteOutcome::kFailed;
  }
  g_file_seen.known = true;
  g_file_seen.path = hosts_path;
  g_file_seen.identity = ours;
  if (!met_writer) return outcome;
  std::string().swap(new_bytes);
  return block_kept(hosts_path, *placed, ours) ? outcome : WriteOutcome::kChanged;
}

// The file work of a rewrite; touches neither the table nor the log (its
// lines go through note()), so that it can run beside the loop.
// `outside` gets the names the last read found outside the block (and stays
// empty when the file could not be read). Memory running out fails the
// write, which is then tried again later. kChanged (with no line: the
// caller words it) when each of `attempts` attempts found the file changed.
WriteOutcome write_hosts_file(const std::string& given_path, const std::string& block,
                              std::unordered_set<std::string>* outside, std::string* hosts_path,
                              int attempts = kComposeAttempts) {
  *hosts_path = given_path;
  try {
    // Through a link the file that is really there is replaced, beside
    // itself, and the link stays.
    int error = 0;
    if (!resolve_links(given_path, hosts_path, &error)) {
      note(1, "%s: Can not follow the link: %s", given_path, file_error_text(error));
      return WriteOutcome::kFailed;
    }
    std::string placed;
    for (int attempt = 0; attempt < attempts; ++attempt) {
      outside->clear();
      WriteOutcome outcome = write_hosts_file_once(*hosts_path, block, outside, &placed);
      if (outcome != WriteOutcome::kChanged) return outcome;
    }
    return WriteOutcome::kChanged;
  } catch (const std::bad_alloc&) {
    note(1, "%s: Can not write: out of memory", given_path);
  }
  return WriteOutcome::kFailed;
}

// write_hosts_file, with the line for a file that kept changing.
WriteOutcome write_hosts_file_or_say(const std::string& given_path, const std::string& block,
                                     std::unordered_set<std::string>* outside) {
  std::string hosts_path;
  WriteOutcome outcome = write_hosts_file(given_path, block, outside, &hosts_path);
  if (outcome == WriteOutcome::kChanged)
    note(1, "%s: Changed by another program during every write, tried again later", hosts_path);
  return outcome;
}

// The writer thread and what it shares with the loop, under lock_shared().
struct Writer {
  bool started = false;   // loop only
  bool pending = false;   // a block was handed over and its result not yet taken (loop only)
  bool has_job = false;
  bool done = false;
  WriteOutcome outcome = WriteOutcome::kFailed;
  std::uint32_t version = 0;  // name_table_version() of the block handed over (loop only)
  std::string path;
  std::string block;
  std::vector<HeldLine> lines;
  std::unordered_set<std::string> outside;  // as the write's read found them, folded
};
Writer g_writer;

void writer_body(void*) {
  for (;;) {
    wait_for_wake_up();
    lock_shared();
    if (!g_writer.has_job) {
      unlock_shared();
      continue;
    }
    std::string path = std::move(g_writer.path);
    std::string block = std::move(g_writer.block);
    g_writer.has_job = false;
    unlock_shared();

    std::vector<HeldLine> lines;
    std::unordered_set<std::string> outside;
    t_held_lines = &lines;
    WriteOutcome outcome = write_hosts_file_or_say(path, block, &outside);
    t_held_lines = nullptr;
    // The big buffers go before the loop hears of the result.
    std::string().swap(block);

    lock_shared();
    g_writer.done = true;
    g_writer.outcome = outcome;
    g_writer.lines = std::move(lines);
    g_writer.outside = std::move(outside);
    unlock_shared();
  }
}

// The table's version that the hosts file holds: as loaded at start, then
// as of the last block written. Loop only.
std::uint32_t g_saved_version = 0;

// The body of load_hosts_block.
void load_block_entries(const std::string& hosts_path) {
  std::string text;
  // Memory may run out for the file (nothing is loaded) or for any entry
  // (that one is skipped): the service starts either way, with what fitted.
  try {
    int error = 0;
    FileIdentity identity;
    if (read_whole_file(hosts_path, &text, &error, &identity) != ReadResult::kRead) {
      log(1, "%s: No such file or directory", hosts_path.c_str());
      return;
    }
    if (resolve_links(hosts_path, &g_file_seen.path, &error)) {
      g_file_seen.known = true;
      g_file_seen.identity = identity;
    }
    text = text_from_file_bytes(std::move(text));
    set_names_outside_block(names_outside_block(text));
  } catch (const std::bad_alloc&) {
    log(1, "%s: Can not read: out of memory", hosts_path.c_str());
    return;
  }
  BlockBounds bounds = find_block(text);
  if (bounds.begin == std::string::npos) return;
  int line_number = 1;
  for (std::size_t i = 0; i < bounds.body; ++i) line_number += text[i] == '\n';

  std::string_view piece;
  std::size_t pos = bounds.body;
  bool line_start = true;
  std::string address;
  std::string name;
  std::string machine = machine_name();
  int no_memory = 0;
  bool refused = false;
  std::string_view body(text.data(), bounds.body_end);
  while (next_piece(body, &pos, &piece)) {
    if (line_start && pos - piece.size() != bounds.body) ++line_number;
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
        refused = true;
      } else {
        update_name_table(name, address, CapRule::kLoadPastCap);
      }
    } catch (const std::bad_alloc&) {
      ++no_memory;
    }
  }
  // A lower cap than the block's length (or a lost configuration line) must
  // not delete stored names: they stay, and only new ones are refused.
  std::size_t loaded = name_table().size();
  if (loaded > static_cast<std::size_t>(g_settings.max_names)) {
    log(2, "%s: the block holds %d names, over max-names %d: new names are refused until the table is below it",
        hosts_path.c_str(), static_cast<int>(loaded), g_settings.max_names);
  }
  // One line, not one per entry.
  if (no_memory > 0)
    log(1, "%s: %d entries skipped: out of memory", hosts_path.c_str(), no_memory);
  // A block that already reads as the table would be written costs no write
  // at start; a skipped line, two lines that made one entry, other spacing or
  // a missing end marker do. The text is compared only when nothing was
  // refused: composing it needs memory that a start short of it may lack.
  if (refused || no_memory > 0) {
    g_hosts_dirty = true;
    return;
  }
  try {
    g_hosts_dirty = text.compare(bounds.begin, bounds.tail - bounds.begin, block_text()) != 0;
  } catch (const std::bad_alloc&) {
    g_hosts_dirty = true;
  }
}

}  // namespace

void load_hosts_block(const std::string& hosts_path) {
  g_file_seen.known = false;
  load_block_entries(hosts_path);
  // What the block held counts as saved, whatever the load made of it.
  g_saved_version = name_table_version();
}

void remove_stale_hosts_copies(const std::string& given_path) {
  // The copies are made beside the file a link leads to.
  std::string hosts_path;
  int error = 0;
  if (!resolve_links(given_path, &hosts_path, &error)) return;
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

namespace {

// The names a successful write's read found outside the block become the
// ones the table may not hold; stored names among them leave it (the block
// just written holds none of them already).
void take_names_outside(std::unordered_set<std::string>&& outside) {
  try {
    set_folded_names_outside_block(std::move(outside));
    drop_taken_names();
  } catch (const std::bad_alloc&) {
    // The names of an earlier read stay in force; the next write tries again.
    log(1, "%s", "Names outside the block not taken: out of memory");
  }
}

// What the loop does once a write's outcome is known: the count, and for a
// block composed at table version `version` that is now written, the table
// clean (unless changed since) and the names outside taken in.
void take_outcome(WriteOutcome outcome, std::uint32_t version, std::unordered_set<std::string>&& outside) {
  if (outcome != WriteOutcome::kWritten) {
    ++g_counters.hosts_write_failures;
    // Changes made while the block was written are already marked; a write
    // that did not happen leaves the whole table unsaved again.
    g_hosts_dirty = true;
    return;
  }
  ++g_counters.hosts_writes;
  std::uint32_t before = name_table_version();
  take_names_outside(std::move(outside));
  // The names dropped just now are already missing from the block written.
  g_saved_version = version + (name_table_version() - before);
}

}  // namespace

bool rewrite_hosts_block(const std::string& hosts_path) {
  std::unordered_set<std::string> outside;
  std::uint32_t version = name_table_version();
  WriteOutcome outcome = write_hosts_file_or_say(hosts_path, block_text(), &outside);
  if (outcome == WriteOutcome::kWritten) g_hosts_dirty = false;
  take_outcome(outcome, version, std::move(outside));
  return outcome == WriteOutcome::kWritten;
}

bool save_hosts_block_at_stop(const std::string& given_path) {
  if (!g_hosts_dirty) return true;
  std::uint32_t version = name_table_version();
  std::unordered_set<std::string> outside;
  WriteOutcome outcome = WriteOutcome::kFailed;
  try {
    std::string block = block_text();
    std::string hosts_path;
    std::uint32_t started = tick_count_ms();
    // One attempt at a time, so that the stop ends within one attempt of
    // the bound.
    for (;;) {
      outcome = write_hosts_file(given_path, block, &outside, &hosts_path, 1);
      if (outcome != WriteOutcome::kChanged || tick_count_ms() - started >= kStopRetryMs) break;
      // A pause of a varying length, so as not to keep step with a program
      // that writes the file at a steady pace.
      sleep_ms(2 + static_cast<int>(tick_count_ms() % 8));
    }
  } catch (const std::bad_alloc&) {
    log(1, "%s: Can not write: out of memory", given_path.c_str());
  }
  if (outcome == WriteOutcome::kWritten) g_hosts_dirty = false;
  take_outcome(outcome, version, std::move(outside));
  if (outcome == WriteOutcome::kWritten) return true;
  std::uint32_t unsaved = name_table_version() - g_saved_version;
  if (unsaved > 0) log(1, "%u acknowledged changes not saved at stop", static_cast<unsigned>(unsaved));
  return false;
}

bool hosts_write_pending() { return g_writer.pending; }

bool start_hosts_write(const std::string& hosts_path) {
  if (g_writer.pending) return false;
  if (!g_writer.started) g_writer.started = start_thread(writer_body, nullptr);
  std::string block = block_text();
  g_writer.version = name_table_version();
  g_hosts_dirty = false;
  g_writer.pending = true;
  if (!g_writer.started) {
    // No thread to be had: the loop does the work itself, as it is done at
    // stop.
    g_writer.outcome = write_hosts_file_or_say(hosts_path, block, &g_writer.outside);
    g_writer.done = true;
    return true;
  }
  lock_shared();
  g_writer.path = hosts_path;
  g_writer.block = std::move(block);
  g_writer.has_job = true;
  unlock_shared();
  wake_up();
  return true;
}

bool finish_hosts_write(WriteOutcome* outcome) {
  if (!g_writer.pending) return false;
  std::vector<HeldLine> lines;
  std::unordered_set<std::string> outside;
  if (g_writer.started) lock_shared();
  bool done = g_writer.done;
  if (done) {
    g_writer.done = false;
    *outcome = g_writer.outcome;
    lines = std::move(g_writer.lines);
    g_writer.lines.clear();
    outside = std::move(g_writer.outside);
    g_writer.outside.clear();
  }
  if (g_writer.started) unlock_shared();
  if (!done) return false;
  g_writer.pending = false;
  for (const HeldLine& line : lines) emit(line);
  take_outcome(*outcome, g_writer.version, std::move(outside));
  return true;
}

void wait_for_hosts_write() {
  WriteOutcome outcome;
  while (g_writer.pending && !finish_hosts_write(&outcome)) sleep_ms(2);
}

void set_hosts_replace_hook(void (*hook)(const std::string& hosts_path)) { g_replace_hook = hook; }

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

void note_rewrite_result(RewriteSchedule* schedule, WriteOutcome outcome, std::uint32_t now) {
  switch (outcome) {
    case WriteOutcome::kWritten:
      schedule->dirty_seen = false;
      schedule->retry_delay = 0;
      return;
    case WriteOutcome::kChanged:
      // Not the disk's fault: no growing wait, so the block follows soon
      // after the other program's last write.
      schedule->retry_delay = kChangedRetryDelayMs;
      break;
    case WriteOutcome::kFailed:
      if (schedule->retry_delay == 0) {
        schedule->retry_delay = kFirstRetryDelayMs;
      } else {
        schedule->retry_delay = schedule->retry_delay * 2 > kLastRetryDelayMs ? kLastRetryDelayMs
                                                                              : schedule->retry_delay * 2;
      }
      break;
  }
  schedule->retry_after = now + schedule->retry_delay;
}
