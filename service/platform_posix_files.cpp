// POSIX implementation of platform.h: files and folders.
#include "platform.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

const char kPathSeparator = '/';

// ---------------------------------------------------------------------------
// Files and folders

void set_binary_file_mode() {}

std::string data_folder() { return "/etc/tarvik"; }

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

void split_path(const std::string& path, std::string* folder, std::string* name) {
  std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos) {
    *folder = ".";
    *name = path;
    return;
  }
  *folder = slash == 0 ? "/" : path.substr(0, slash);
  *name = path.substr(slash + 1);
}

bool list_folder(const std::string& folder, std::vector<std::string>* names) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return false;
  while (const dirent* entry = readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    names->push_back(entry->d_name);
  }
  closedir(dir);
  return true;
}

// Linux has no text mode: the hosts file keeps its bytes, LF line ends and all.
std::string text_from_file_bytes(std::string bytes) { return bytes; }
std::string text_to_file_bytes(std::string text) { return text; }

std::string file_error_text(int error) { return std::strerror(error); }

ReadResult read_whole_file(const std::string& path, std::string* bytes, int* error) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = errno;
    return (errno == ENOENT) ? ReadResult::kMissing : ReadResult::kFailed;
  }
  bytes->clear();
  // Room for the whole file at once (unless the caller made more): growing
  // by doubling would hold the old and the new buffer together.
  struct stat status;
  if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0 &&
      bytes->capacity() < static_cast<std::size_t>(status.st_size))
    bytes->reserve(static_cast<std::size_t>(status.st_size));
  char buffer[16384];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = errno;
      close(fd);
      return ReadResult::kFailed;
    }
    if (n == 0) break;
    bytes->append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  return ReadResult::kRead;
}

FileHandle create_new_file(const std::string& path, const std::string& model, int* error) {
  struct stat old_file;
  bool has_model = stat(model.c_str(), &old_file) == 0;
  mode_t mode = has_model ? (old_file.st_mode & 07777) : 0644;
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    *error = errno;
    return kNoFile;
  }
  // Owner first: a change of owner may clear the set-id bits that the mode
  // then puts back. Only root may give a file away; for anyone else the
  // owner is already their own, and a refusal leaves it so.
  if (has_model && (old_file.st_uid != geteuid() || old_file.st_gid != getegid())) {
    if (fchown(fd, old_file.st_uid, old_file.st_gid) != 0) {
      // Not permitted: the file stays the service's own.
    }
  }
  // The mode is set explicitly, not through open(), which the umask would
  // narrow: the file must stay readable by every program that resolves names.
  if (fchmod(fd, mode) != 0) {
    *error = errno;
    close(fd);
    unlink(path.c_str());
    return kNoFile;
  }
  return fd;
}

FileHandle open_for_update(const std::string& path, int* error) {
  int fd = open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) *error = errno;
  return fd < 0 ? kNoFile : fd;
}

bool write_at(FileHandle f, long long offset, const std::string& bytes, int* error) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = pwrite(static_cast<int>(f), bytes.data() + done, bytes.size() - done,
                       static_cast<off_t>(offset + static_cast<long long>(done)));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = n < 0 ? errno : ENOSPC;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool reserve_space(FileHandle f, long long length, int* error) {
  if (length <= 0) return true;
#if defined(__linux__)
  // KEEP_SIZE: the blocks are allocated, the visible length stays the old one.
  if (fallocate(static_cast<int>(f), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(length)) == 0) return true;
  if (errno == EOPNOTSUPP || errno == ENOSYS) return true;
  *error = errno;
  return false;
#else
  (void)f;
  (void)error;
  return true;
#endif
}

bool set_length(FileHandle f, long long length, int* error) {
  if (ftruncate(static_cast<int>(f), static_cast<off_t>(length)) == 0) return true;
  *error = errno;
  return false;
}

bool flush_file(FileHandle f, int* error) {
  if (fsync(static_cast<int>(f)) == 0) return true;
  *error = errno;
  return false;
}

FileHandle open_for_append(const std::string& path, int* error) {
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) *error = errno;
  return fd < 0 ? kNoFile : fd;
}

long long open_file_size(FileHandle f) {
  struct stat st;
  if (fstat(static_cast<int>(f), &st) != 0) return -1;
  return static_cast<long long>(st.st_size);
}

bool append_bytes(FileHandle f, const char* data, std::size_t length, int* error) {
  std::size_t done = 0;
  while (done < length) {
    ssize_t n = write(static_cast<int>(f), data + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = n < 0 ? errno : ENOSPC;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool close_file(FileHandle f, int* error) {
  if (close(static_cast<int>(f)) == 0) return true;
  *error = errno;
  return false;
}

ReplaceResult replace_file(const std::string& from, const std::string& to, int* error) {
  if (rename(from.c_str(), to.c_str()) != 0) {
    *error = errno;
    return errno == EBUSY ? ReplaceResult::kBusy : ReplaceResult::kFailed;
  }
  // The rename itself reaches the disk with the folder; the file is in place
  // either way, so a folder that cannot be synced changes nothing here.
  std::string folder, name;
  split_path(to, &folder, &name);
  int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    if (fsync(dir) != 0) {
      // Some file systems refuse fsync on folders.
    }
    close(dir);
  }
  return ReplaceResult::kReplaced;
}
