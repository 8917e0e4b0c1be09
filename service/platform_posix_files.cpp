// POSIX implementation of platform.h: files and folders.
#include "platform.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>
#if defined(__linux__)
#include <stdio.h>  // renameat2 and its flags (glibc 2.28)
#include <sys/xattr.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

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

std::string system_error_text(int error) { return std::strerror(error); }

namespace {

FileIdentity identity_of(const struct stat& st) {
  FileIdentity id;
  id.volume = static_cast<unsigned long long>(st.st_dev);
  id.index = static_cast<unsigned long long>(st.st_ino);
  id.size = static_cast<long long>(st.st_size);
  id.modified = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
  return id;
}

}  // namespace

ReadResult open_for_reading(const std::string& path, FileHandle* f, int* error, FileIdentity* identity) {
  // O_NONBLOCK: a FIFO planted at the path would otherwise hold the open
  // until someone writes to it; it is refused below like any file that is
  // not a regular one.
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = errno;
    return (errno == ENOENT) ? ReadResult::kMissing : ReadResult::kFailed;
  }
  struct stat status;
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    *error = S_ISDIR(status.st_mode) ? EISDIR : EINVAL;
    close(fd);
    return ReadResult::kFailed;
  }
  if (identity != nullptr) *identity = identity_of(status);
  *f = fd;
  return ReadResult::kRead;
}

ReadResult read_whole_file(const std::string& path, std::string* bytes, int* error, FileIdentity* identity) {
  FileHandle f = kNoFile;
  ReadResult opened = open_for_reading(path, &f, error, identity);
  if (opened != ReadResult::kRead) return opened;
  int fd = static_cast<int>(f);
  long long size = open_file_size(f);
  bytes->clear();
  // A file too large for the memory left is the caller's failure to report
  // (std::bad_alloc); the descriptor must not go with it.
  try {
    // Room for the whole file at once (unless the caller made more): growing
    // by doubling would hold the old and the new buffer together.
    if (size > 0 && bytes->capacity() < static_cast<std::size_t>(size))
      bytes->reserve(static_cast<std::size_t>(size));
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
  } catch (...) {
    close(fd);
    throw;
  }
  close(fd);
  return ReadResult::kRead;
}

bool path_identity(const std::string& path, FileIdentity* identity) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return false;
  *identity = identity_of(st);
  return true;
}

bool resolve_links(const std::string& path, std::string* resolved, int* error) {
  char* real = realpath(path.c_str(), nullptr);
  if (real != nullptr) {
    *resolved = real;
    std::free(real);
    return true;
  }
  // realpath fails when the chain ends at a name that does not exist: the
  // links are then followed by their text, up to where the chain ends. The
  // folders on the way are left to the kernel, which reads "a/../b" through
  // a linked "a" just as it would when the file is opened.
  std::string current = path;
  for (int hops = 0; hops < 40; ++hops) {  // the kernel's own limit
    struct stat st;
    if (lstat(current.c_str(), &st) != 0) {
      if (errno != ENOENT && errno != ENOTDIR) {
        *error = errno;
        return false;
      }
      *resolved = current;
      return true;
    }
    if (!S_ISLNK(st.st_mode)) {
      *resolved = current;
      return true;
    }
    std::string text(st.st_size > 0 ? static_cast<std::size_t>(st.st_size) + 1 : 4096, '\0');
    ssize_t length = readlink(current.c_str(), &text[0], text.size());
    if (length < 0) {
      *error = errno;
      return false;
    }
    // A link rewritten longer since the lstat: tried again with its new size.
    if (static_cast<std::size_t>(length) == text.size()) continue;
    text.resize(static_cast<std::size_t>(length));
    if (!text.empty() && text[0] == '/') {
      current = text;
    } else {
      std::string folder, name;
      split_path(current, &folder, &name);
      current = (folder == "/" ? folder : folder + "/") + text;
    }
  }
  *error = ELOOP;
  return false;
}

namespace {

// The extended attributes of `model` onto the new file: the SELinux label and
// the POSIX ACL are among them, which a fresh file would otherwise take from
// its folder's defaults. One that cannot be set (not permitted, not supported
// here) is left out; the file is still usable without it.
void copy_extended_attributes(const std::string& model, int fd) {
#if defined(__linux__)
  ssize_t size = listxattr(model.c_str(), nullptr, 0);
  if (size <= 0) return;
  std::string names(static_cast<std::size_t>(size), '\0');
  size = listxattr(model.c_str(), &names[0], names.size());
  if (size <= 0) return;
  names.resize(static_cast<std::size_t>(size));
  std::string value;
  for (std::size_t pos = 0; pos < names.size();) {
    std::size_t end = names.find('\0', pos);
    if (end == std::string::npos) end = names.size();
    std::string name = names.substr(pos, end - pos);
    pos = end + 1;
    if (name.empty()) continue;
    ssize_t length = getxattr(model.c_str(), name.c_str(), nullptr, 0);
    if (length < 0) continue;
    value.assign(static_cast<std::size_t>(length), '\0');
    length = getxattr(model.c_str(), name.c_str(), &value[0], value.size());
    if (length < 0) continue;
    if (fsetxattr(fd, name.c_str(), value.data(), static_cast<std::size_t>(length), 0) != 0) {
      // Not permitted or not supported on this file system: left out.
    }
  }
#else
  (void)model;
  (void)fd;
#endif
}

}  // namespace

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
  // After the mode: setting an ACL sets the group bits of the mode too.
  if (has_model) copy_extended_attributes(model, fd);
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

OpenResult open_for_append(const std::string& path, FileHandle* f, int* error, const char** why) {
  // O_NONBLOCK: a FIFO planted as the log must not hold the service.
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) {
    *error = errno;
    if (errno == ELOOP) {
      *why = "a symbolic link";
      return OpenResult::kNotRegular;
    }
    if (errno == EISDIR || errno == ENXIO) {
      *why = "not a regular file";
      return OpenResult::kNotRegular;
    }
    return errno == ENOENT ? OpenResult::kMissing : OpenResult::kFailed;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    *error = errno;
    close(fd);
    return OpenResult::kFailed;
  }
  if (!S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
    close(fd);
    *error = EPERM;
    *why = S_ISREG(st.st_mode) ? "owned by another user" : "not a regular file";
    return OpenResult::kNotRegular;
  }
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  *f = fd;
  return OpenResult::kOpened;
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

namespace {

// The rename itself reaches the disk with the folder; the file is in place
// either way, so a folder that cannot be synced changes nothing here.
void sync_folder_of(const std::string& path) {
  std::string folder, name;
  split_path(path, &folder, &name);
  int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    if (fsync(dir) != 0) {
      // Some file systems refuse fsync on folders.
    }
    close(dir);
  }
}

#if defined(__linux__)
// renameat2 with `flags`, its errors sorted for the callers below.
// `target_error` is the error that says `to` is not as the flag needs it
// (ENOENT for an exchange, EEXIST for no-replace).
ReplaceResult rename_with_flags(const std::string& from, const std::string& to, unsigned flags,
                                int target_error, int* error) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), flags) != 0) {
    *error = errno;
    // EINVAL: a file system without the flag; ENOSYS: a kernel before 3.15.
    if (errno == EINVAL || errno == ENOSYS) return ReplaceResult::kUnsupported;
    if (errno == EBUSY) return ReplaceResult::kBusy;
    if (errno == target_error) return ReplaceResult::kTargetChanged;
    return ReplaceResult::kFailed;
  }
  sync_folder_of(to);
  return ReplaceResult::kReplaced;
}
#endif

}  // namespace

ReplaceResult replace_file(const std::string& from, const std::string& to, int* error) {
  if (rename(from.c_str(), to.c_str()) != 0) {
    *error = errno;
    return errno == EBUSY ? ReplaceResult::kBusy : ReplaceResult::kFailed;
  }
  sync_folder_of(to);
  return ReplaceResult::kReplaced;
}

ReplaceResult exchange_files(const std::string& from, const std::string& to, int* error) {
#if defined(__linux__)
  return rename_with_flags(from, to, RENAME_EXCHANGE, ENOENT, error);
#else
  (void)from;
  (void)to;
  *error = ENOSYS;
  return ReplaceResult::kUnsupported;
#endif
}

ReplaceResult move_to_free_name(const std::string& from, const std::string& to, int* error) {
#if defined(__linux__)
  return rename_with_flags(from, to, RENAME_NOREPLACE, EEXIST, error);
#else
  (void)from;
  (void)to;
  *error = ENOSYS;
  return ReplaceResult::kUnsupported;
#endif
}

// ---------------------------------------------------------------------------
// One background thread

namespace {

// A semaphore, not a condition variable: posting it takes no lock that the
// waiting thread could hold while off its core.
sem_t g_wake;
bool g_wake_made = false;

struct ThreadStart {
  void (*body)(void*);
  void* argument;
};

// The signals of a fault, which the crash handler (platform_posix_service.cpp)
// reports: blocked on a thread, the kernel would end the process at once
// without running it.
const int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
// The alternate stack the crash handler runs on, so that a stack overflow on
// the thread is reported too; one per thread, as sigaltstack is.
constexpr std::size_t kCrashStackSize = 64 * 1024;

void* run_thread(void* start) {
  ThreadStart s = *static_cast<ThreadStart*>(start);
  delete static_cast<ThreadStart*>(start);
  // Well below the loop (nice 10): the loop, woken by a datagram, takes the
  // core back at once instead of waiting out a slice. Not lower: at nice 19
  // or SCHED_IDLE a large write made no headway in 10 s while other programs
  // kept every core busy, and the stop waits for the write in flight.
  setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 10);
  stack_t stack{};
  stack.ss_sp = new (std::nothrow) char[kCrashStackSize];
  stack.ss_size = kCrashStackSize;
  // Without it a fault is still reported, only a stack overflow is not.
  if (stack.ss_sp != nullptr) sigaltstack(&stack, nullptr);
  s.body(s.argument);
  return nullptr;
}

}  // namespace

bool start_thread(void (*body)(void*), void* argument) {
  // Made here, before any other thread exists; the loop calls this once.
  if (!g_wake_made) {
    if (sem_init(&g_wake, 0, 0) != 0) return false;
    g_wake_made = true;
  }
  ThreadStart* start = new ThreadStart{body, argument};
  // Signals are the main thread's (the stop handler must run there), all but
  // those of a fault, which only the faulting thread can take.
  sigset_t blocked, old;
  sigfillset(&blocked);
  for (int signal_number : kFaultSignals) sigdelset(&blocked, signal_number);
  pthread_sigmask(SIG_SETMASK, &blocked, &old);
  pthread_t thread;
  int result = pthread_create(&thread, nullptr, run_thread, start);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (result != 0) {
    delete start;
    return false;
  }
  pthread_detach(thread);
  return true;
}

void wake_up() { sem_post(&g_wake); }

void wait_for_wake_up() {
  while (sem_wait(&g_wake) != 0 && errno == EINTR) {
  }
  // Wake-ups that came meanwhile are one.
  while (sem_trywait(&g_wake) == 0) {
  }
}

void sleep_ms(int ms) {
  timespec delay{ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&delay, &delay) != 0 && errno == EINTR) {
  }
}

OpenResult open_regular_file(const std::string& path, FileHandle* f, int* error) {
  // O_NONBLOCK: opening a FIFO with no writer would otherwise wait forever.
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = errno;
    return errno == ENOENT || errno == ENOTDIR ? OpenResult::kMissing : OpenResult::kFailed;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    *error = errno;
    close(fd);
    return OpenResult::kFailed;
  }
  if (!S_ISREG(st.st_mode)) {
    close(fd);
    *error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return OpenResult::kNotRegular;
  }
  // Reads of a regular file never wait; clear the flag all the same, so the
  // descriptor behaves as an ordinary one.
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  *f = fd;
  return OpenResult::kOpened;
}

long read_bytes(FileHandle f, char* buffer, std::size_t capacity, int* error) {
  for (;;) {
    ssize_t n = read(static_cast<int>(f), buffer, capacity);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) *error = errno;
    return static_cast<long>(n);
  }
}

bool written_only_by_administrators(FileHandle f, const char** why) {
  struct stat st;
  if (fstat(static_cast<int>(f), &st) != 0) {
    *why = "its owner cannot be read";
    return false;
  }
  if (st.st_uid != 0 && st.st_uid != geteuid()) {
    *why = "owned by another user";
    return false;
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    *why = "writable by group or others";
    return false;
  }
  return true;
}

bool readable_only_by_administrators(FileHandle f, const char** why) {
  struct stat st;
  if (fstat(static_cast<int>(f), &st) != 0) {
    *why = "of unknown permissions";
    return false;
  }
  if ((st.st_mode & (S_IRGRP | S_IROTH)) != 0) {
    *why = "readable by group or others";
    return false;
  }
  return true;
}

std::string private_file_command(const std::string& path) {
  // Quoted for the shell unless plainly safe as it is.
  bool plain = !path.empty();
  for (char c : path) {
    plain = plain && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      std::strchr("/._-+", c) != nullptr);
  }
  if (plain) return "chmod 600 " + path;
  std::string quoted = "'";
  for (char c : path) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return "chmod 600 " + quoted + "'";
}
