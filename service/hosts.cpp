#include "hosts.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "config.h"
#include "platform.h"
#include "registry.h"

namespace {

constexpr char kBeginMarker[] = "#tarvik-begin";
constexpr char kEndMarker[] = "#tarvik-end";
constexpr char kCopyName[] = "/tarvik.tmp";
// Beside the hosts file, on its own volume, for when the temporary folder
// lies on another one.
constexpr char kSideCopySuffix[] = ".tarvik.tmp";

// One fgets piece: at most 1023 bytes, ending with its line feed unless the
// line is longer or is the file's last and has none.
constexpr int kPieceSize = 1024;

// Markers are recognised by their first bytes only; whatever follows on the
// line is disregarded.
bool is_begin_marker(const char* piece) {
  return std::strncmp(piece, kBeginMarker, sizeof kBeginMarker - 1) == 0;
}
bool is_end_marker(const char* piece) {
  return std::strncmp(piece, kEndMarker, sizeof kEndMarker - 1) == 0;
}

bool is_hosts_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Splits an entry line into its address text and name; the rest is dropped.
void split_entry_line(const char* line, std::string* address, std::string* name) {
  const char* p = line;
  while (*p != '\0' && is_hosts_space(*p)) ++p;
  const char* start = p;
  while (*p != '\0' && !is_hosts_space(*p)) ++p;
  address->assign(start, p);
  while (*p != '\0' && is_hosts_space(*p)) ++p;
  start = p;
  while (*p != '\0' && !is_hosts_space(*p)) ++p;
  name->assign(start, p);
}

// The block as it is written: markers around one "address<TAB>name" line per
// table entry, oldest first.
std::string compose_block() {
  std::string block = std::string(kBeginMarker) + "\n";
  for (const NameEntry& entry : name_table()) {
    block += format_ipv4(entry.address);
    block += '\t';
    block += entry.name;
    block += '\n';
  }
  block += std::string(kEndMarker) + "\n";
  return block;
}

// The new hosts file: the old lines before the block, the block, the old
// lines after it. `old` may be null (no old file). False on a read error, so
// that lines of the old file are never lost through a half-read.
bool compose_hosts_file(std::FILE* old, std::string* content) {
  char piece[kPieceSize];
  bool in_block = false;
  if (old != nullptr) {
    while (std::fgets(piece, sizeof piece, old) != nullptr) {
      if (is_begin_marker(piece)) {
        in_block = true;
        break;
      }
      *content += piece;
    }
    if (std::ferror(old)) return false;
    // No block yet: it goes at the end, after a line feed that ends an
    // unfinished last line or else leaves a blank line before it.
    if (!in_block) *content += '\n';
  }
  *content += compose_block();
  if (in_block) {
    bool after_block = false;
    while (std::fgets(piece, sizeof piece, old) != nullptr) {
      if (after_block) {
        *content += piece;
      } else if (is_end_marker(piece)) {
        after_block = true;
      }
    }
    if (std::ferror(old)) return false;
  }
  return true;
}

// Writes `content` to `path` in text mode and forces it to disk before
// closing, so that the file is complete before anything moves it into place.
// On failure *error gets errno.
bool write_file_durably(const std::string& path, const std::string& content, int* error) {
  std::FILE* f = std::fopen(path.c_str(), kTextWrite);
  if (f == nullptr) {
    *error = errno;
    return false;
  }
  bool ok = std::fwrite(content.data(), 1, content.size(), f) == content.size();
  ok = ok && flush_to_disk(f);
  if (!ok) *error = errno;
  if (std::fclose(f) != 0 && ok) {
    *error = errno;
    ok = false;
  }
  return ok;
}

// Puts the finished copy in place of the hosts file. The hosts file is never
// left half-written: it is either replaced whole by a rename, or, when only
// an in-place write is possible (a mount point), written from the complete
// content and forced to disk.
void put_in_place(const std::string& copy_path, const std::string& content,
                  const std::string& hosts_path) {
  int error = 0;
  ReplaceResult result = replace_file(copy_path, hosts_path, &error);
  if (result == ReplaceResult::kReplaced) return;

  if (result == ReplaceResult::kOtherVolume) {
    // Copying onto the live file could leave it partial; a second copy on
    // the hosts file's own volume can be renamed over it instead.
    std::string side_path = hosts_path + kSideCopySuffix;
    if (!write_file_durably(side_path, content, &error)) {
      log(1, "%s to %s: Update error %d", hosts_path.c_str(), copy_path.c_str(), error);
      delete_file(side_path);
      return;
    }
    result = replace_file(side_path, hosts_path, &error);
    if (result == ReplaceResult::kReplaced) {
      delete_file(copy_path);
      return;
    }
    delete_file(side_path);
    if (result != ReplaceResult::kBusy) {
      log(1, "%s to %s: Update error %d", hosts_path.c_str(), copy_path.c_str(), error);
      return;
    }
  }

  if (result == ReplaceResult::kBusy) {
    // A bind-mounted hosts file cannot be renamed over: writing it in place
    // is the only way left.
    if (!write_file_durably(hosts_path, content, &error)) {
      log(1, "%s: Update error %d", hosts_path.c_str(), error);
      return;
    }
    delete_file(copy_path);
    return;
  }
  log(1, "%s: Update error %d", hosts_path.c_str(), error);
}

}  // namespace

void load_hosts_block(const std::string& hosts_path) {
  std::FILE* f = std::fopen(hosts_path.c_str(), kTextRead);
  if (f == nullptr) {
    log(1, "%s: No such file or directory", hosts_path.c_str());
    return;
  }
  char piece[kPieceSize];
  bool in_block = false;
  while (!in_block && std::fgets(piece, sizeof piece, f) != nullptr) in_block = is_begin_marker(piece);

  // Every piece up to the end marker is an entry line, blank and comment
  // lines included.
  std::string address;
  std::string name;
  while (in_block && std::fgets(piece, sizeof piece, f) != nullptr && !is_end_marker(piece)) {
    split_entry_line(piece, &address, &name);
    update_name_table(name, address);
  }
  std::fclose(f);
}

void rewrite_hosts_block(const std::string& hosts_path) {
  // First, whatever the outcome: a failed rewrite waits for the next change.
  g_hosts_dirty = false;

  std::FILE* old = std::fopen(hosts_path.c_str(), kTextRead);
  if (old == nullptr) {
    if (errno != ENOENT) {
      // Replacing a file we cannot read would lose every line outside the
      // block.
      log(1, "%s: Can not read: %s", hosts_path.c_str(), std::strerror(errno));
      return;
    }
    log(2, "%s: No such file or directory", hosts_path.c_str());
  }

  std::string content;
  bool composed = compose_hosts_file(old, &content);
  if (old != nullptr) {
    if (!composed) log(1, "%s: Can not read: %s", hosts_path.c_str(), std::strerror(errno));
    std::fclose(old);
  }
  if (!composed) return;

  std::string copy_path = temp_folder() + kCopyName;
  std::FILE* copy = std::fopen(copy_path.c_str(), kTextWrite);
  if (copy == nullptr) {
    log(1, "%s: Can not modify/create", copy_path.c_str());
    return;
  }
  // A copy that could not be written whole, or not forced to disk, must not
  // replace the hosts file.
  bool written = std::fwrite(content.data(), 1, content.size(), copy) == content.size();
  written = written && flush_to_disk(copy);
  written = (std::fclose(copy) == 0) && written;
  if (!written) return;

  put_in_place(copy_path, content, hosts_path);
}
