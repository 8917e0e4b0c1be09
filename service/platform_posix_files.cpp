// POSIX implementation of platform.h: files and folders.
#include "platform.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

const char kPathSeparator = '/';
// Linux has no text mode: the hosts file keeps its LF line ends.
const char* const kTextRead = "r";
const char* const kTextWrite = "w";

// ---------------------------------------------------------------------------
// Files and folders

void set_binary_file_mode() {}

std::string data_folder() { return "/var/lib/Quellard/Tarvik"; }

std::string default_hosts_path() { return "/etc/hosts"; }

std::string temp_folder() {
  const char* dir = std::getenv("TMPDIR");
  return (dir != nullptr && *dir != '\0') ? dir : "/tmp";
}

long long file_size(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return -1;
  return static_cast<long long>(st.st_size);
}

bool delete_file(const std::string& path) { return unlink(path.c_str()) == 0; }

ReplaceResult replace_file(const std::string& from, const std::string& to, int* error) {
  // The new file takes the old one's permissions: created under the
  // service's umask it might otherwise be unreadable to the very programs
  // that resolve names through it.
  struct stat old_file;
  if (stat(to.c_str(), &old_file) == 0) chmod(from.c_str(), old_file.st_mode & 07777);
  if (rename(from.c_str(), to.c_str()) == 0) return ReplaceResult::kReplaced;
  *error = errno;
  if (errno == EXDEV) return ReplaceResult::kOtherVolume;
  if (errno == EBUSY) return ReplaceResult::kBusy;
  return ReplaceResult::kFailed;
}

bool flush_to_disk(std::FILE* f) {
  if (std::fflush(f) != 0) return false;
  return fsync(fileno(f)) == 0;
}
