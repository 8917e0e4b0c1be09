#include "hosts.h"

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <unordered_map>
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

// An address as format_ipv4 writes it: four numbers up to 255, in decimal
// without leading zeros, between three dots; *address gets it in network
// byte order. False for any other form (which parse_ipv4 may still take).
bool parse_dotted_quad(std::string_view text, std::uint32_t* address) {
  unsigned char bytes[4];
  std::size_t p = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (p >= text.size() || text[p] != '.') return false;
      ++p;
    }
    std::size_t start = p;
    unsigned value = 0;
    while (p < text.size() && p - start < 3 && text[p] >= '0' && text[p] <= '9') value = value * 10 + (text[p++] - '0');
    if (p == start || value > 255 || (text[start] == '0' && p - start > 1)) return false;
    bytes[part] = static_cast<unsigned char>(value);
  }
  if (p != text.size()) return false;
  std::memcpy(address, bytes, sizeof bytes);
  return true;
}

// Only what the service itself would have written: an address that parses
// (a zero byte would hide the rest of the text from the parser) and a name
// the registration would take. *value gets the address (network byte order)
// when it parses.
bool is_entry(const std::string& address, const std::string& name, std::uint32_t* value) {
  // The written form (the common case) is parsed here, faster than by the
  // system's parser, which takes every form.
  if (!parse_dotted_quad(address, value)) {
    if (address.find('\0') != std::string::npos) return false;
    *value = parse_ipv4(address.c_str());
  }
  if (*value == kAddressNone) return false;
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
  std::uint32_t value = 0;
  return is_entry(address, name, &value);
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

void add_to_digest(Digest* digest, std::string_view text) { add_to_digest(digest, text.data(), text.size()); }

// A marker's line exactly as the service writes it.
bool is_written_marker(std::string_view piece, std::string_view marker) {
  return piece.size() == marker.size() + 1 && piece.substr(0, marker.size()) == marker && piece.back() == '\n';
}

// Folded as the name table folds names: ASCII letters only.
std::string folded_name(std::string_view name) {
  std::string key(name);
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
  }
  return key;
}

// How much of a file is read, or of the new file written, at a time: the
// file is never held whole, so a write costs the same few buffers whatever
// the size of the table or of the lines around the block.
constexpr std::size_t kChunkSize = 64 * 1024;
// What the load keeps back for reading on once memory has run out.
constexpr std::size_t kLoadHeadroom = 1024 * 1024;

// Reads a file's text in the pieces next_piece cuts, a chunk at a time.
// Offsets count the text (the bytes after text_from_file_bytes); the digest
// covers the bytes read so far.
class PieceReader {
 public:
  PieceReader() = default;
  PieceReader(const PieceReader&) = delete;
  PieceReader& operator=(const PieceReader&) = delete;
  ~PieceReader() { close(); }

  // As read_whole_file reports it: kRead once the file is open.
  ReadResult open(const std::string& path, int* error) {
    return open_for_reading(path, &file_, error, &identity_);
  }
  // The next piece, valid until the next call. False at the end of the file
  // or when a read failed (failed() tells which).
  bool next(std::string_view* piece) {
    for (;;) {
      std::string_view rest(text_.data() + pos_, text_.size() - pos_);
      std::size_t limit = rest.size() < kPieceSize ? rest.size() : kPieceSize;
      std::size_t end = rest.substr(0, limit).find('\n');
      if (end != std::string_view::npos || rest.size() >= kPieceSize || (at_end_ && !rest.empty())) {
        std::size_t length = end == std::string_view::npos ? limit : end + 1;
        *piece = rest.substr(0, length);
        pos_ += length;
        offset_ += length;
        return true;
      }
      if (at_end_ || failed_) return false;
      fill();
    }
  }
  // As next, but passes over the pieces that do not start with `prefix`:
  // the first that does, or false at the end. Faster than next() piece by
  // piece over the lines of a large block.
  bool next_starting_with(std::string_view prefix, std::string_view* piece, std::size_t* passed) {
    for (;;) {
      // Whole lines short enough to be one piece each are passed over here.
      const char* data = text_.data();
      while (pos_ < text_.size()) {
        std::size_t rest = text_.size() - pos_;
        const void* found = std::memchr(data + pos_, '\n', rest < kPieceSize ? rest : kPieceSize);
        if (found == nullptr) break;
        std::size_t length = static_cast<std::size_t>(static_cast<const char*>(found) - (data + pos_)) + 1;
        if (length >= prefix.size() && std::memcmp(data + pos_, prefix.data(), prefix.size()) == 0) break;
        pos_ += length;
        offset_ += length;
        ++*passed;
      }
      // The rest (a long line, the end of the buffer or of the file) piece
      // by piece.
      if (!next(piece)) return false;
      if (piece->substr(0, prefix.size()) == prefix) return true;
      ++*passed;
    }
  }
  // The text offset of the next piece.
  std::size_t offset() const { return offset_; }
  const FileIdentity& identity() const { return identity_; }
  const Digest& digest() const { return digest_; }
  bool failed() const { return failed_; }
  int error() const { return error_; }
  void close() {
    if (file_ == kNoFile) return;
    int error = 0;
    close_file(file_, &error);
    file_ = kNoFile;
  }

 private:
  void fill() {
    text_.erase(0, pos_);
    pos_ = 0;
    // A CR at the end of a chunk may begin a CR LF that the next chunk ends:
    // it waits for that chunk, so the text is the whole file's, chunk by chunk.
    std::size_t carried = carried_cr_ ? 1 : 0;
    bytes_.assign(carried, '\r');
    bytes_.resize(carried + kChunkSize);
    long n = read_bytes(file_, &bytes_[carried], kChunkSize, &error_);
    if (n < 0) {
      failed_ = true;
      return;
    }
    bytes_.resize(carried + static_cast<std::size_t>(n));
    carried_cr_ = false;
    if (n == 0) {
      at_end_ = true;
    } else {
      add_to_digest(&digest_, bytes_.data() + carried, static_cast<std::size_t>(n));
      carried_cr_ = bytes_.back() == '\r';
      if (carried_cr_) bytes_.pop_back();
    }
    if (text_.empty()) {
      // The buffers trade places (POSIX hands the same one back).
      text_ = text_from_file_bytes(std::move(bytes_));
      return;
    }
    text_ += text_from_file_bytes(std::move(bytes_));
  }

  FileHandle file_ = kNoFile;
  FileIdentity identity_;
  Digest digest_;
  std::string bytes_;       // the chunk read
  std::string text_;        // text read and not yet handed out, from pos_
  std::size_t pos_ = 0;
  std::size_t offset_ = 0;
  bool carried_cr_ = false;
  bool at_end_ = false;
  bool failed_ = false;
  int error_ = 0;
};

// The names of the hosts-file lines fed to it, folded: on each line, every
// word after the address up to a '#' (which starts a comment). Whole lines,
// as a resolver reads them, however long and however cut into pieces.
class NameCollector {
 public:
  explicit NameCollector(std::unordered_set<std::string>* names) : names_(names) {}
  void feed(std::string_view text) {
    for (char c : text) {
      if (c == '\n') {
        end_word();
        words_ = 0;
        comment_ = false;
      } else if (comment_) {
      } else if (c == '#') {
        end_word();
        comment_ = true;
      } else if (is_hosts_space(c)) {
        end_word();
      } else {
        word_ += c;
      }
    }
  }
  // Ends a part of the file as if at a line end: the text before the block
  // and the text after it are read as lines of their own.
  void end_part() { feed("\n"); }

 private:
  void end_word() {
    if (word_.empty()) return;
    if (words_++ > 0) names_->insert(folded_name(word_));
    word_.clear();
  }
  std::unordered_set<std::string>* names_;
  std::string word_;
  int words_ = 0;
  bool comment_ = false;
};

// What a first pass over the hosts file finds: where the block lies and the
// names the file gives outside it.
struct FileScan {
  ReadResult read = ReadResult::kFailed;
  int error = 0;
  bool changed = false;  // the file was replaced between the two reads a block without end marker takes
  FileIdentity identity;
  Digest digest;  // of the whole file as the pass read it
  BlockBounds bounds;
  bool exact_markers = false;  // both marker lines exactly as the service writes them
  std::size_t block_lines = 0;  // the lines (pieces) between the markers
  std::unordered_set<std::string> outside;  // folded
};

// The pass: the markers, and the names of every line outside the block. A
// block without an end marker holds only the entry lines after the begin
// marker, which only the end of the file tells: then the file is read a
// second time from the block on.
void scan_hosts_file(const std::string& path, FileScan* scan) {
  PieceReader reader;
  scan->read = reader.open(path, &scan->error);
  if (scan->read != ReadResult::kRead) return;
  scan->identity = reader.identity();
  BlockBounds& bounds = scan->bounds;
  NameCollector names(&scan->outside);
  enum class Where { kBefore, kInside, kAfter } where = Where::kBefore;
  bool exact_begin = false;
  std::string_view piece;
  for (;;) {
    if (where == Where::kInside) {
      // Only the end marker matters inside: the lines between are counted.
      if (!reader.next_starting_with(kEndMarker, &piece, &scan->block_lines)) break;
      bounds.body_end = reader.offset() - piece.size();
      bounds.tail = reader.offset();
      scan->exact_markers = exact_begin && is_written_marker(piece, kEndMarker);
      where = Where::kAfter;
      continue;
    }
    if (!reader.next(&piece)) break;
    if (where == Where::kBefore && is_begin_marker(piece)) {
      bounds.begin = reader.offset() - piece.size();
      bounds.body = reader.offset();
      exact_begin = is_written_marker(piece, kBeginMarker);
      names.end_part();
      where = Where::kInside;
    } else {
      names.feed(piece);
    }
  }
  if (reader.failed()) {
    scan->read = ReadResult::kFailed;
    scan->error = reader.error();
    return;
  }
  scan->digest = reader.digest();
  if (where == Where::kInside) {
    PieceReader again;
    if (again.open(path, &scan->error) != ReadResult::kRead || again.identity() != scan->identity) {
      scan->changed = true;
      return;
    }
    while (again.offset() < bounds.body && again.next(&piece)) {
    }
    bounds.body_end = bounds.body;
    bool in_block = true;
    scan->block_lines = 0;
    while (again.next(&piece)) {
      if (in_block && is_entry_piece(piece)) {
        bounds.body_end = again.offset();
        ++scan->block_lines;
        continue;
      }
      in_block = false;
      names.feed(piece);
    }
    bounds.tail = bounds.body_end;
    if (again.failed()) {
      scan->read = ReadResult::kFailed;
      scan->error = again.error();
      return;
    }
  }
  names.end_part();
}

// The file's lines written into the new copy, a chunk at a time, as file
// bytes. The first failure stops the writing and is kept.
class CopyWriter {
 public:
  explicit CopyWriter(FileHandle file) : file_(file) {}
  void add(std::string_view text) {
    if (!ok_) return;
    text_.append(text.data(), text.size());
    if (text_.size() >= kChunkSize) flush();
  }
  // The rest written and forced to disk. False, with *error, when any of
  // it could not be.
  bool finish(int* error) {
    flush();
    if (ok_) ok_ = flush_file(file_, &error_);
    *error = error_;
    return ok_;
  }

 private:
  void flush() {
    if (!ok_ || text_.empty()) return;
    std::string bytes = text_to_file_bytes(std::move(text_));
    ok_ = write_at(file_, offset_, bytes, &error_);
    offset_ += static_cast<long long>(bytes.size());
    // The buffer serves again for the next chunk.
    text_ = std::move(bytes);
    text_.clear();
  }
  FileHandle file_;
  long long offset_ = 0;
  std::string text_;
  bool ok_ = true;
  int error_ = 0;
};

// What the changes since the last write do to the block. Every change moves
// its entry to the end of the table, so the names it touched are exactly the
// table's last entries, in the order of their last change: the new block is
// the old one without the lines of those names, then the names still there,
// in that order.
struct BlockEdit {
  std::unordered_set<std::string> touched;                      // folded
  std::vector<std::pair<std::string, std::uint32_t>> appended;  // name, address
};

BlockEdit edit_of(const std::vector<NameChange>& changes) {
  BlockEdit edit;
  // Where each touched name's last change stands in `order`, when it is
  // still in the table.
  std::unordered_map<std::string, std::size_t> last;
  std::vector<const NameChange*> order;
  for (const NameChange& change : changes) {
    std::string key = folded_name(change.name);
    auto found = last.find(key);
    if (found != last.end() && found->second < order.size()) order[found->second] = nullptr;
    std::size_t at = order.size();
    if (change.kind != NameChange::Kind::kRemoved) {
      order.push_back(&change);
    } else {
      at = static_cast<std::size_t>(-1);
    }
    if (found != last.end()) {
      found->second = at;
    } else {
      last.emplace(std::move(key), at);
    }
  }
  for (const auto& entry : last) edit.touched.insert(entry.first);
  for (const NameChange* change : order) {
    if (change != nullptr) edit.appended.emplace_back(change->name, change->address);
  }
  return edit;
}

std::string entry_line(const std::string& name, std::uint32_t address) {
  return format_ipv4(address) + '\t' + name + '\n';
}

// How composing the new file ended.
enum class Composed { kDone, kStale };

// The new file from the old one the writer last wrote (or the load found
// holding the table), with `edit` applied to its block. kStale when the
// file does not hold such a block, or the block that comes out does not
// have `entries` lines: then the changes do not describe this file.
Composed compose_with_edit(PieceReader* old_file, const BlockEdit& edit, std::size_t entries, CopyWriter* out,
                           Digest* placed) {
  enum class Where { kBefore, kInside, kAfter } where = Where::kBefore;
  std::size_t kept = 0;
  std::string_view piece;
  while (old_file->next(&piece)) {
    switch (where) {
      case Where::kBefore:
        if (is_begin_marker(piece)) {
          if (!is_written_marker(piece, kBeginMarker)) return Composed::kStale;
          add_to_digest(placed, piece);
          where = Where::kInside;
        }
        out->add(piece);
        break;
      case Where::kInside: {
        if (is_end_marker(piece)) {
          if (!is_written_marker(piece, kEndMarker)) return Composed::kStale;
          for (const auto& entry : edit.appended) {
            std::string line = entry_line(entry.first, entry.second);
            out->add(line);
            add_to_digest(placed, line);
            ++kept;
          }
          out->add(piece);
          add_to_digest(placed, piece);
          where = Where::kAfter;
          break;
        }
        // Every line is an entry as the service writes it: address, tab,
        // name, line feed.
        std::size_t tab = piece.find('\t');
        if (tab == std::string_view::npos || piece.back() != '\n') return Composed::kStale;
        if (edit.touched.count(folded_name(piece.substr(tab + 1, piece.size() - tab - 2))) != 0) break;
        out->add(piece);
        add_to_digest(placed, piece);
        ++kept;
        break;
      }
      case Where::kAfter:
        out->add(piece);
        break;
    }
  }
  if (old_file->failed()) return Composed::kDone;  // the caller reports the read
  return where == Where::kAfter && kept == entries ? Composed::kDone : Composed::kStale;
}

// The new file from the old one (null when there is none) and a whole
// `block`, without the entry lines whose name the file defines outside the
// block (`taken`, folded): the loop composed it before this read could tell,
// and the block must never hold such a name. The loop drops them from the
// table once it hears of the names. Without a block in the file, the new one
// goes at the end, after a line feed that ends an unfinished last line or
// else leaves a blank line before it.
void compose_with_block(PieceReader* old_file, const BlockBounds& bounds, const std::string& block,
                        const std::unordered_set<std::string>& taken, CopyWriter* out, Digest* placed) {
  auto place_block = [&] {
    std::size_t p = 0;
    while (p < block.size()) {
      std::size_t end = block.find('\n', p);
      end = end == std::string::npos ? block.size() : end + 1;
      std::string_view line(block.data() + p, end - p);
      p = end;
      std::size_t tab = line.find('\t');
      if (tab != std::string_view::npos && !taken.empty()) {
        std::string_view name = line.substr(tab + 1);
        while (!name.empty() && (name.back() == '\n' || name.back() == '\r')) name.remove_suffix(1);
        if (taken.count(folded_name(name)) != 0) continue;
      }
      out->add(line);
      add_to_digest(placed, line);
    }
  };
  if (old_file == nullptr) {
    place_block();
    return;
  }
  std::string_view piece;
  while (old_file->next(&piece)) {
    std::size_t at = old_file->offset() - piece.size();
    if (bounds.begin == std::string::npos || at < bounds.begin || at >= bounds.tail) {
      out->add(piece);
    } else if (at == bounds.begin) {
      place_block();
    }
  }
  if (bounds.begin == std::string::npos) {
    out->add("\n");
    place_block();
  }
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
// with the job and its result).
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
// the file still holds the block written (`placed`, its digest).
bool block_kept(const std::string& hosts_path, const Digest& placed, const FileIdentity& written) {
  sleep_ms(kSettleMs);
  FileIdentity now;
  if (path_identity(hosts_path, &now) && now == written) return true;
  std::string text;
  int error = 0;
  FileIdentity read;
  if (read_whole_file(hosts_path, &text, &error, &read) != ReadResult::kRead) return false;
  text = text_from_file_bytes(std::move(text));
  BlockBounds bounds = find_block(text);
  if (bounds.begin == std::string::npos) return false;
  Digest found;
  add_to_digest(&found, std::string_view(text).substr(bounds.begin, bounds.tail - bounds.begin));
  if (found != placed) return false;
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

// What the writer is handed: the whole block composed by the loop, or the
// table's changes since the block the writer last wrote (or the load found),
// which the writer applies to that file's block.
struct WriteJob {
  bool whole = true;
  std::string block;                // whole
  std::vector<NameChange> changes;  // changes: oldest first
  std::size_t entries = 0;          // changes: the table's size when handed over
};

// What a write found besides its outcome.
struct WriteFindings {
  // Whole block: the names the last read found outside the block, folded
  // (the changes leave them as the file it knows had them).
  std::unordered_set<std::string> outside;
  // Changes: the file is not the one they apply to (someone else wrote it,
  // or they do not add up): only a whole block can be written.
  bool stale = false;
};

// One attempt: read, compose, write the copy, and put it in the hosts
// file's place unless the file has changed since it was read.
WriteOutcome write_hosts_file_once(const std::string& hosts_path, const WriteJob& job, const BlockEdit* edit,
                                   WriteFindings* findings) {
  int error = 0;
  // A whole block needs to know, before the block is written, the names the
  // lines after it give: a first pass finds them, and where the block lies.
  FileScan scan;
  if (job.whole) {
    scan_hosts_file(hosts_path, &scan);
    if (scan.changed) return WriteOutcome::kChanged;
    if (scan.read == ReadResult::kFailed) {
      // Replacing a file we cannot read would lose every line outside the
      // block.
      note(1, "%s: Can not read: %s", hosts_path, file_error_text(scan.error));
      return WriteOutcome::kFailed;
    }
  }
  PieceReader old_file;
  ReadResult old = old_file.open(hosts_path, &error);
  if (old == ReadResult::kFailed) {
    note(1, "%s: Can not read: %s", hosts_path, file_error_text(error));
    return WriteOutcome::kFailed;
  }
  bool existed = old == ReadResult::kRead;
  FileIdentity read_identity = old_file.identity();
  if (!job.whole) {
    // Only the file the writer knows holds the block the changes apply to.
    if (!existed || !g_file_seen.known || g_file_seen.path != hosts_path || read_identity != g_file_seen.identity) {
      findings->stale = true;
      return WriteOutcome::kChanged;
    }
  } else {
    if (old != scan.read) return WriteOutcome::kChanged;
    if (!existed) note(2, "%s: No such file or directory", hosts_path);
    findings->outside = std::move(scan.outside);
  }
  // Someone else has written the file since the service last read or wrote
  // it, and may be at it still.
  bool met_writer = existed && g_file_seen.known && g_file_seen.path == hosts_path &&
                    g_file_seen.identity != read_identity;

  std::string copy_path;
  FileHandle copy = create_copy(hosts_path, &copy_path, &error);
  if (copy == kNoFile) {
    note(1, "%s: Can not modify/create: %s", copy_path, file_error_text(error));
    return WriteOutcome::kFailed;
  }
  // The old file is read and the new one written in step, a chunk at a time.
  CopyWriter out(copy);
  Digest placed;
  Composed composed = Composed::kDone;
  if (job.whole) {
    compose_with_block(existed ? &old_file : nullptr, scan.bounds, job.block, findings->outside, &out, &placed);
  } else {
    composed = compose_with_edit(&old_file, *edit, job.entries, &out, &placed);
  }
  bool read_failed = old_file.failed();
  int read_error = old_file.error();
  Digest read_digest = old_file.digest();
  old_file.close();
  // A program that saves the file as it found it (an editor, back to back)
  // replaces it between the pass and this read without changing a byte:
  // what the pass found still holds. Only other bytes make it another file.
  bool other_file = job.whole && existed && read_identity != scan.identity && !read_failed &&
                    read_digest != scan.digest;
  bool filled = !read_failed && !other_file && composed == Composed::kDone && out.finish(&error);
  int close_error = 0;
  if (!close_file(copy, &close_error) && filled) {
    filled = false;
    error = close_error;
  }
  if (!filled) {
    delete_file(copy_path);
    if (read_failed) {
      note(1, "%s: Can not read: %s", hosts_path, file_error_text(read_error));
      return WriteOutcome::kFailed;
    }
    if (other_file) return WriteOutcome::kChanged;
    if (composed == Composed::kStale) {
      findings->stale = true;
      return WriteOutcome::kChanged;
    }
    note(1, "%s: Can not write: %s", copy_path, file_error_text(error));
    return WriteOutcome::kFailed;
  }
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
  // A hosts file that cannot be renamed over gets the copy's bytes written
  // into it: read back here, as only this rare case needs the new file in
  // memory.
  std::string new_bytes;
  if (result == ReplaceResult::kBusy && read_whole_file(copy_path, &new_bytes, &error) != ReadResult::kRead) {
    delete_file(copy_path);
    note(1, "%s: Can not read: %s", copy_path, file_error_text(error));
    return WriteOutcome::kFailed;
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
  return block_kept(hosts_path, placed, ours) ? outcome : WriteOutcome::kChanged;
}

// The file work of a rewrite; touches neither the table nor the log (its
// lines go through note()), so that it can run beside the loop. Memory
// running out fails the write, which is then tried again later. A whole
// block is composed again from the file's new content when another program
// changed the file during the write, up to `attempts` times; kChanged (with
// no line: the caller words it) when every attempt found it changed.
// Changes are tried once: a file changed by another program is stale for
// them.
WriteOutcome write_hosts_file(const std::string& given_path, const WriteJob& job, WriteFindings* findings,
                              std::string* hosts_path, int attempts = kComposeAttempts) {
  *hosts_path = given_path;
  try {
    // Through a link the file that is really there is replaced, beside
    // itself, and the link stays.
    int error = 0;
    if (!resolve_links(given_path, hosts_path, &error)) {
      note(1, "%s: Can not follow the link: %s", given_path, file_error_text(error));
      return WriteOutcome::kFailed;
    }
    if (!job.whole) {
      BlockEdit edit = edit_of(job.changes);
      WriteOutcome outcome = write_hosts_file_once(*hosts_path, job, &edit, findings);
      if (outcome == WriteOutcome::kChanged) findings->stale = true;
      return outcome;
    }
    for (int attempt = 0; attempt < attempts; ++attempt) {
      findings->outside.clear();
      WriteOutcome outcome = write_hosts_file_once(*hosts_path, job, nullptr, findings);
      if (outcome != WriteOutcome::kChanged) return outcome;
    }
    return WriteOutcome::kChanged;
  } catch (const std::bad_alloc&) {
    note(1, "%s: Can not write: out of memory", given_path);
  }
  return WriteOutcome::kFailed;
}

// write_hosts_file, with the line for a file that kept changing.
WriteOutcome write_hosts_file_or_say(const std::string& given_path, const WriteJob& job, WriteFindings* findings) {
  std::string hosts_path;
  WriteOutcome outcome = write_hosts_file(given_path, job, findings, &hosts_path);
  if (outcome == WriteOutcome::kChanged && !findings->stale)
    note(1, "%s: Changed by another program during every write, tried again later", hosts_path);
  return outcome;
}

// The writer thread and what it shares with the loop. No lock: the loop
// fills in the job and then raises has_job, the writer fills in the result
// and then raises done, and neither touches what the other owns meanwhile.
// A lock the writer held while off its core (it runs well below the loop,
// so it is put off whenever the loop wants the core) would hold up the loop; so would memory of the
// loop's freed by the writer (the allocator's lock), so the job stays here
// and the loop frees it.
struct Writer {
  bool started = false;   // loop only
  bool pending = false;   // a job was handed over and its result not yet taken (loop only)
  bool whole = false;     // the pending job's kind (loop only)
  std::uint32_t version = 0;  // name_table_version() of the job handed over (loop only)
  std::string given_path;     // the path the pending job was handed (loop only)
  std::atomic<bool> has_job{false};
  std::atomic<bool> done{false};
  // The job: the loop's until has_job, then the writer's to read until done.
  std::string path;
  WriteJob job;
  // The result: the writer's until done, then the loop's.
  WriteOutcome outcome = WriteOutcome::kFailed;
  std::vector<HeldLine> lines;
  WriteFindings findings;
};
Writer g_writer;

void writer_body(void*) {
  for (;;) {
    wait_for_wake_up();
    if (!g_writer.has_job.load(std::memory_order_acquire)) continue;
    g_writer.has_job.store(false, std::memory_order_relaxed);
    std::vector<HeldLine> lines;
    WriteFindings findings;
    t_held_lines = &lines;
    WriteOutcome outcome = write_hosts_file_or_say(g_writer.path, g_writer.job, &findings);
    t_held_lines = nullptr;
    g_writer.outcome = outcome;
    g_writer.lines = std::move(lines);
    g_writer.findings = std::move(findings);
    g_writer.done.store(true, std::memory_order_release);
  }
}

// The table's version that the hosts file holds: as loaded at start, then
// as of the last block written. Loop only.
std::uint32_t g_saved_version = 0;

// How the loop hands the table's changes to the writer; loop only.
//   g_following     the loop hands changes over (note_hosts_changes) since
//                   the last load: without that, every write is whole
//   g_block_current the file the writer knows holds the table as it was
//                   before the changes in g_changes_pending
// A change goes with the next write; a whole block makes the changes before
// it moot.
//   g_changes_dropped some changes since the last whole block were let go
//                   (too many, or no memory to keep them): the next write is
//                   whole, whatever the one in flight makes of the file
bool g_following = false;
bool g_block_current = false;
bool g_changes_dropped = false;
std::vector<NameChange> g_changes_pending;
// More changes than half the table's entries cost more than a whole block.
constexpr std::size_t kMinChangesKept = 1024;
// The machine's name when names outside the block were last taken in: a
// write of changes leaves those names as they were, so only a new machine
// name needs the table checked again.
std::string g_machine_seen;

// A line of the block exactly as block_text() writes it (the address in
// the written form too: see parse_dotted_quad).
bool is_written_form(std::string_view piece, const std::string& address, const std::string& name) {
  std::uint32_t value = 0;
  return piece.size() == address.size() + name.size() + 2 && piece.compare(0, address.size(), address) == 0 &&
         piece[address.size()] == '\t' && piece.compare(address.size() + 1, name.size(), name) == 0 &&
         piece.back() == '\n' && parse_dotted_quad(address, &value);
}

// The body of load_hosts_block. The file is read in pieces twice, never
// held whole: first for the block's place and the names outside it, then
// for the entries.
void load_block_entries(const std::string& hosts_path) {
  FileScan scan;
  PieceReader reader;
  // Memory may run out for the names outside (nothing is loaded) or for any
  // entry (that one is skipped): the service starts either way, with what
  // fitted.
  try {
    int error = 0;
    // The two reads must meet the same file; one replaced in between (an
    // editor saving) is read again.
    for (int attempt = 0; attempt < kComposeAttempts; ++attempt) {
      scan = FileScan();
      reader.close();
      scan_hosts_file(hosts_path, &scan);
      if (scan.changed) continue;
      if (scan.read != ReadResult::kRead) break;
      if (reader.open(hosts_path, &error) != ReadResult::kRead) {
        scan.read = ReadResult::kFailed;
        continue;
      }
      if (reader.identity() == scan.identity) break;
      scan.changed = true;
    }
    if (scan.read != ReadResult::kRead) {
      log(1, "%s: No such file or directory", hosts_path.c_str());
      return;
    }
    if (resolve_links(hosts_path, &g_file_seen.path, &error)) {
      g_file_seen.known = true;
      g_file_seen.identity = scan.identity;
    }
    set_folded_names_outside_block(std::move(scan.outside));
  } catch (const std::bad_alloc&) {
    log(1, "%s: Can not read: out of memory", hosts_path.c_str());
    return;
  }
  const BlockBounds& bounds = scan.bounds;
  if (bounds.begin == std::string::npos) return;
  try {
    // The table's indexes grown once, not doubled line after line.
    reserve_name_table(name_table().size() + scan.block_lines);
  } catch (const std::bad_alloc&) {
    // They grow as the entries come, as far as memory allows.
  }
  int line_number = 1;
  std::string_view piece;
  while (reader.offset() < bounds.body && reader.next(&piece)) {
    if (piece.back() == '\n') ++line_number;
  }

  bool line_start = true;
  std::string address;
  std::string name;
  std::uint32_t value = 0;
  std::string machine = machine_name();
  int no_memory = 0;
  bool refused = false;
  // Whether the block reads exactly as the table would be written: every
  // line an entry in the written form, each an entry of its own (as many
  // entries as lines), and both markers as written (a file replaced between
  // the reads counts as not).
  bool as_written = scan.exact_markers && !scan.changed;
  std::size_t lines = 0;
  // Kept back for the rest of the load once the table has taken all the
  // memory there is: reading on (a chunk at a time) to count what is
  // skipped, and the log lines that say so, need some.
  std::unique_ptr<char[]> headroom(new (std::nothrow) char[kLoadHeadroom]);
  while (reader.offset() < bounds.body_end && reader.next(&piece)) {
    if (line_start && reader.offset() - piece.size() != bounds.body) ++line_number;
    line_start = piece.back() == '\n';
    try {
      split_entry_line(piece, &address, &name);
      if (no_memory > 0) {
        // Memory ran out: the rest is only counted, since every update
        // would fail the same way, each at the cost of an exception.
        if (is_entry(address, name, &value)) ++no_memory;
      } else if (!is_entry(address, name, &value)) {
        log(2, "%s:%d: not an entry, skipped: '%s'", hosts_path.c_str(), line_number,
            log_safe(without_line_end(piece)).c_str());
        as_written = false;
      } else if (const char* reason = name_taken_reason(name, machine)) {
        log(1, "%s: name refused: %s", name.c_str(), reason);
        refused = true;
      } else {
        update_name_table(name, value, CapRule::kLoadPastCap);
        ++lines;
        if (as_written) as_written = is_written_form(piece, address, name);
      }
    } catch (const std::bad_alloc&) {
      ++no_memory;
      headroom.reset();
    }
  }
  headroom.reset();
  if (reader.failed()) {
    log(1, "%s: Can not read: %s", hosts_path.c_str(), file_error_text(reader.error()).c_str());
    as_written = false;
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
  // a missing end marker do.
  g_hosts_dirty = refused || no_memory > 0 || !as_written || loaded != lines;
  g_block_current = !g_hosts_dirty && g_file_seen.known;
}
}  // namespace

void load_hosts_block(const std::string& hosts_path) {
  g_file_seen.known = false;
  g_following = false;
  g_block_current = false;
  g_changes_dropped = false;
  std::vector<NameChange>().swap(g_changes_pending);
  load_block_entries(hosts_path);
  // What the block held counts as saved, whatever the load made of it.
  g_saved_version = name_table_version();
  g_machine_seen = machine_name();
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

void note_hosts_changes(std::vector<NameChange>* changes) {
  g_following = true;
  // Without a file that holds the table as it was before them, the next
  // write is a whole block, unless one is being written: the changes made
  // meanwhile must follow it.
  if (g_changes_dropped || (!g_block_current && !g_writer.pending)) {
    changes->clear();
    return;
  }
  try {
    if (g_changes_pending.empty()) {
      g_changes_pending.swap(*changes);
    } else {
      for (NameChange& change : *changes) g_changes_pending.push_back(std::move(change));
    }
    std::size_t most = name_table().size() / 2 > kMinChangesKept ? name_table().size() / 2 : kMinChangesKept;
    if (g_changes_pending.size() > most) {
      std::vector<NameChange>().swap(g_changes_pending);
      g_changes_dropped = true;
    }
  } catch (const std::bad_alloc&) {
    // A change that is not kept must not be missed: a whole block then.
    std::vector<NameChange>().swap(g_changes_pending);
    g_changes_dropped = true;
  }
  changes->clear();
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
// job made at table version `version` that is now written, the table clean
// (unless changed since) and the names outside taken in. A write of changes
// leaves the lines outside the block as the file had them, and with them the
// names there: only a machine renamed since needs the table checked.
void take_outcome(WriteOutcome outcome, bool whole, std::uint32_t version, WriteFindings&& findings) {
  if (outcome != WriteOutcome::kWritten) {
    ++g_counters.hosts_write_failures;
    g_block_current = false;
    // Changes made while the block was written are already marked; a write
    // that did not happen leaves the whole table unsaved again.
    g_hosts_dirty = true;
    return;
  }
  ++g_counters.hosts_writes;
  g_block_current = true;
  std::uint32_t before = name_table_version();
  std::string machine = machine_name();
  if (whole) {
    g_machine_seen = machine;
    take_names_outside(std::move(findings.outside));
  } else if (machine != g_machine_seen) {
    g_machine_seen = machine;
    drop_taken_names();
  }
  // The names dropped just now are already missing from the block written.
  g_saved_version = version + (name_table_version() - before);
}

// The next job: the changes since the last write when the file holds the
// table as it was before them, else the whole block. May throw
// std::bad_alloc (the block), with nothing changed.
WriteJob next_job() {
  WriteJob job;
  if (g_following && g_block_current && !g_changes_dropped) {
    job.whole = false;
    job.changes.swap(g_changes_pending);
    job.entries = name_table().size();
  } else {
    job.block = block_text();
    // The block holds them all.
    g_changes_pending.clear();
    g_changes_dropped = false;
  }
  return job;
}

// Writes on the calling thread; a job of changes that finds the file not as
// it left it is followed by the whole block.
WriteOutcome write_now(const std::string& given_path, WriteFindings* findings, bool* whole) {
  WriteJob job = next_job();
  *whole = job.whole;
  WriteOutcome outcome = write_hosts_file_or_say(given_path, job, findings);
  if (!findings->stale) return outcome;
  g_block_current = false;
  *findings = WriteFindings();
  job = next_job();
  *whole = true;
  return write_hosts_file_or_say(given_path, job, findings);
}

}  // namespace

bool rewrite_hosts_block(const std::string& hosts_path) {
  WriteFindings findings;
  std::uint32_t version = name_table_version();
  bool whole = true;
  WriteOutcome outcome = write_now(hosts_path, &findings, &whole);
  if (outcome == WriteOutcome::kWritten) g_hosts_dirty = false;
  take_outcome(outcome, whole, version, std::move(findings));
  return outcome == WriteOutcome::kWritten;
}

bool save_hosts_block_at_stop(const std::string& given_path) {
  if (!g_hosts_dirty) return true;
  std::uint32_t version = name_table_version();
  WriteFindings findings;
  bool whole = true;
  WriteOutcome outcome = WriteOutcome::kFailed;
  try {
    WriteJob job = next_job();
    whole = job.whole;
    std::string hosts_path;
    std::uint32_t started = tick_count_ms();
    // One attempt at a time, so that the stop ends within one attempt of
    // the bound.
    for (;;) {
      findings = WriteFindings();
      outcome = write_hosts_file(given_path, job, &findings, &hosts_path, 1);
      if (findings.stale) {
        // The changes do not fit the file: the whole block, at once.
        g_block_current = false;
        job = next_job();
        whole = true;
        continue;
      }
      if (outcome != WriteOutcome::kChanged || tick_count_ms() - started >= kStopRetryMs) break;
      // A pause of a varying length, so as not to keep step with a program
      // that writes the file at a steady pace.
      sleep_ms(2 + static_cast<int>(tick_count_ms() % 8));
    }
  } catch (const std::bad_alloc&) {
    log(1, "%s: Can not write: out of memory", given_path.c_str());
  }
  if (outcome == WriteOutcome::kWritten) g_hosts_dirty = false;
  take_outcome(outcome, whole, version, std::move(findings));
  if (outcome == WriteOutcome::kWritten) return true;
  std::uint32_t unsaved = name_table_version() - g_saved_version;
  if (unsaved > 0) log(1, "%u acknowledged changes not saved at stop", static_cast<unsigned>(unsaved));
  return false;
}

bool hosts_write_pending() { return g_writer.pending; }

namespace {

// Hands `job` to the writer thread, or without one does the work at once.
void hand_over(const std::string& given_path, WriteJob&& job) {
  g_writer.version = name_table_version();
  g_writer.whole = job.whole;
  g_writer.given_path = given_path;
  g_writer.pending = true;
  if (!g_writer.started) {
    // No thread to be had: the loop does the work itself, as it is done at
    // stop.
    g_writer.findings = WriteFindings();
    g_writer.outcome = write_hosts_file_or_say(given_path, job, &g_writer.findings);
    g_writer.done.store(true, std::memory_order_relaxed);
    return;
  }
  g_writer.path = given_path;
  g_writer.job = std::move(job);
  g_writer.has_job.store(true, std::memory_order_release);
  wake_up();
}

}  // namespace

bool start_hosts_write(const std::string& hosts_path) {
  if (g_writer.pending) return false;
  if (!g_writer.started) g_writer.started = start_thread(writer_body, nullptr);
  WriteJob job = next_job();
  g_hosts_dirty = false;
  hand_over(hosts_path, std::move(job));
  return true;
}

bool finish_hosts_write(WriteOutcome* outcome) {
  if (!g_writer.pending) return false;
  if (!g_writer.done.load(std::memory_order_acquire)) return false;
  g_writer.done.store(false, std::memory_order_relaxed);
  *outcome = g_writer.outcome;
  std::vector<HeldLine> lines = std::move(g_writer.lines);
  g_writer.lines.clear();
  WriteFindings findings = std::move(g_writer.findings);
  g_writer.findings = WriteFindings();
  g_writer.job = WriteJob();
  g_writer.pending = false;
  for (const HeldLine& line : lines) emit(line);
  if (findings.stale) {
    // The changes did not fit the file (another program wrote it): the
    // whole block goes at once, with no wait.
    g_block_current = false;
    try {
      WriteJob job = next_job();
      hand_over(g_writer.given_path, std::move(job));
      return false;
    } catch (const std::bad_alloc&) {
      // No memory to compose the block: a failed write, tried again later.
      log(1, "%s: Can not write: out of memory", g_writer.given_path.c_str());
      *outcome = WriteOutcome::kFailed;
    }
  }
  take_outcome(*outcome, g_writer.whole, g_writer.version, std::move(findings));
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
