// Windows implementation of platform.h: files and folders.
#include <winsock2.h>
#include <windows.h>

#include <aclapi.h>

#include <fcntl.h>
#include <io.h>
#include <stdlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform.h"

const char kPathSeparator = '\\';

// ---------------------------------------------------------------------------
// Files and folders

void set_binary_file_mode() { _fmode = _O_BINARY; }

std::string data_folder() {
  typedef HRESULT(WINAPI * GetFolderPath)(HWND, int, HANDLE, DWORD, LPSTR);
  const int kCommonAppDataCreate = 0x8023;  // CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE
  HMODULE shell = LoadLibraryA("shell32.dll");  // never freed
  if (shell != nullptr) {
    GetFolderPath get_folder_path =
        reinterpret_cast<GetFolderPath>(reinterpret_cast<void*>(GetProcAddress(shell, "SHGetFolderPathA")));
    char path[MAX_PATH];
    if (get_folder_path != nullptr && get_folder_path(nullptr, kCommonAppDataCreate, nullptr, 0, path) == 0) {
      return std::string(path) + "\\Quellard\\" + "Tarvik";
    }
  }
  return "c:\\";
}

std::string default_hosts_path() {
  char system_dir[500];
  UINT n = GetSystemDirectoryA(system_dir, sizeof system_dir);
  if (n == 0 || n >= sizeof system_dir) return "c:\\windows\\system32\\drivers\\etc\\hosts";
  return std::string(system_dir) + "\\drivers\\etc\\hosts";
}

std::string temp_folder() {
  char path[MAX_PATH];
  DWORD n = GetTempPathA(sizeof path, path);
  if (n == 0 || n >= sizeof path) return std::string();
  return std::string(path, n);
}

long long file_size(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return -1;
  return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool delete_file(const std::string& path) { return DeleteFileA(path.c_str()) != 0; }

void split_path(const std::string& path, std::string* folder, std::string* name) {
  std::string::size_type cut = path.find_last_of("/\\:");
  if (cut == std::string::npos) {
    *folder = ".";
    *name = path;
    return;
  }
  // "C:\hosts" keeps its separator ("C:\"), "C:hosts" its drive ("C:"): both
  // name the folder the file lies in.
  bool root = cut == 0 || path[cut] == ':' || (cut == 2 && path[1] == ':');
  *folder = path.substr(0, root ? cut + 1 : cut);
  *name = path.substr(cut + 1);
}

bool list_folder(const std::string& folder, std::vector<std::string>* names) {
  std::string pattern = folder;
  if (!pattern.empty() && pattern.back() != '\\' && pattern.back() != '/' && pattern.back() != ':') pattern += '\\';
  pattern += '*';
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
  do {
    if (std::strcmp(found.cFileName, ".") == 0 || std::strcmp(found.cFileName, "..") == 0) continue;
    names->push_back(found.cFileName);
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return true;
}

// What text mode does to line ends, and nothing else: text mode would also
// end the file at a Ctrl+Z byte and lose the rest.
std::string text_from_file_bytes(std::string bytes) {
  std::string text;
  text.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') continue;
    text += bytes[i];
  }
  return text;
}

std::string text_to_file_bytes(std::string text) {
  std::string bytes;
  bytes.reserve(text.size() + text.size() / 16);
  for (char c : text) {
    if (c == '\n') bytes += '\r';
    bytes += c;
  }
  return bytes;
}

std::string file_error_text(int error) {
  // The C runtime's words for the errors a file open commonly meets, so a
  // message reads as it did when the runtime opened the file itself.
  int c_error = 0;
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
      c_error = ENOENT;
      break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_NETWORK_ACCESS_DENIED:
      c_error = EACCES;
      break;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      c_error = EEXIST;
      break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      c_error = ENOSPC;
      break;
    case ERROR_TOO_MANY_OPEN_FILES:
      c_error = EMFILE;
      break;
    default:
      return system_error_text(error);
  }
  return std::strerror(c_error);
}

std::string system_error_text(int error) {
  // A flood of failed receives logs the same number again and again (most
  // lines then fall to the log's burst limit): the system's lookup is made
  // once per number in a row, per thread.
  static thread_local int last_error = -1;
  static thread_local std::string last_text;
  if (error == last_error) return last_text;
  char text[512];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           static_cast<DWORD>(error), 0, text, sizeof text, nullptr);
  // The system ends its words with ".\r\n"; a log line carries neither.
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == '.' || text[n - 1] == ' ')) --n;
  last_text = n == 0 ? "error " + std::to_string(error) : std::string(text, n);
  last_error = error;
  return last_text;
}

namespace {

FileHandle to_file_handle(HANDLE h) { return reinterpret_cast<FileHandle>(h); }
HANDLE to_os_handle(FileHandle f) { return reinterpret_cast<HANDLE>(f); }

// Moves the file pointer; SetFilePointerEx is not in the Windows XP headers
// that _WIN32_WINNT 0x0501 selects for every kernel32 the exe may meet.
bool seek_to(HANDLE h, long long offset) {
  LONG high = static_cast<LONG>(offset >> 32);
  DWORD low = SetFilePointer(h, static_cast<LONG>(offset & 0xFFFFFFFF), &high, FILE_BEGIN);
  return !(low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR);
}

}  // namespace

namespace {

FileIdentity identity_of(const BY_HANDLE_FILE_INFORMATION& info) {
  FileIdentity id;
  id.volume = info.dwVolumeSerialNumber;
  id.index = (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  id.size = static_cast<long long>((static_cast<unsigned long long>(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
  id.modified = static_cast<long long>(
      (static_cast<unsigned long long>(info.ftLastWriteTime.dwHighDateTime) << 32) |
      info.ftLastWriteTime.dwLowDateTime);
  return id;
}

}  // namespace

ReadResult open_for_reading(const std::string& path, FileHandle* f, int* error, FileIdentity* identity) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *error = static_cast<int>(GetLastError());
    bool missing = *error == ERROR_FILE_NOT_FOUND || *error == ERROR_PATH_NOT_FOUND;
    return missing ? ReadResult::kMissing : ReadResult::kFailed;
  }
  // Only a file on disk: a pipe or a device could keep the read waiting.
  if (GetFileType(h) != FILE_TYPE_DISK) {
    *error = ERROR_INVALID_PARAMETER;
    CloseHandle(h);
    return ReadResult::kFailed;
  }
  if (identity != nullptr) {
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(h, &info)) *identity = identity_of(info);
  }
  *f = to_file_handle(h);
  return ReadResult::kRead;
}

ReadResult read_whole_file(const std::string& path, std::string* bytes, int* error, FileIdentity* identity) {
  FileHandle f = kNoFile;
  ReadResult opened = open_for_reading(path, &f, error, identity);
  if (opened != ReadResult::kRead) return opened;
  HANDLE h = to_os_handle(f);
  bytes->clear();
  // A file too large for the memory left is the caller's failure to report
  // (std::bad_alloc); the handle must not go with it.
  try {
    char buffer[16384];
    for (;;) {
      DWORD n = 0;
      if (!ReadFile(h, buffer, sizeof buffer, &n, nullptr)) {
        *error = static_cast<int>(GetLastError());
        CloseHandle(h);
        return ReadResult::kFailed;
      }
      if (n == 0) break;
      bytes->append(buffer, n);
    }
  } catch (...) {
    CloseHandle(h);
    throw;
  }
  CloseHandle(h);
  return ReadResult::kRead;
}

bool path_identity(const std::string& path, FileIdentity* identity) {
  // No access asked beyond the attributes, and every sharing allowed, so an
  // editor holding the file is never disturbed.
  HANDLE h = CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  bool known = GetFileInformationByHandle(h, &info) != 0;
  CloseHandle(h);
  if (known) *identity = identity_of(info);
  return known;
}

bool resolve_links(const std::string& path, std::string* resolved, int*) {
  *resolved = path;
  return true;
}

namespace {

// Gives the new file the DACL of `model`: an admin who narrowed or widened
// the hosts file's rights (read-only for some, an explicit deny) keeps them.
// The ACEs the model inherits are left to inheritance, which in the same
// folder gives the copy the same ones; a protected DACL stays protected.
// Where the model's DACL cannot be read or set, the copy keeps the folder's
// inherited ACL, as a new file there would have.
void copy_dacl(const std::string& model, HANDLE copy) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoA(model.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                            nullptr, &descriptor) != ERROR_SUCCESS) {
    return;
  }
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (dacl != nullptr && GetSecurityDescriptorControl(descriptor, &control, &revision)) {
    SECURITY_INFORMATION what = DACL_SECURITY_INFORMATION | ((control & SE_DACL_PROTECTED)
                                                                  ? PROTECTED_DACL_SECURITY_INFORMATION
                                                                  : UNPROTECTED_DACL_SECURITY_INFORMATION);
    if (SetSecurityInfo(copy, SE_FILE_OBJECT, what, nullptr, nullptr, dacl, nullptr) != ERROR_SUCCESS) {
      // Not permitted: the folder's ACL stays.
    }
  }
  LocalFree(descriptor);
}

}  // namespace

FileHandle create_new_file(const std::string& path, const std::string& model, int* error) {
  // CREATE_NEW fails on anything already there, a link included, so the
  // file is always our own; it first takes the inheritable ACL of its
  // folder, the hosts file's folder, then the hosts file's DACL.
  HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE | WRITE_DAC | READ_CONTROL, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *error = static_cast<int>(GetLastError());
    return kNoFile;
  }
  if (GetFileAttributesA(model.c_str()) != INVALID_FILE_ATTRIBUTES) copy_dacl(model, h);
  return to_file_handle(h);
}

FileHandle open_for_update(const std::string& path, int* error) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *error = static_cast<int>(GetLastError());
    return kNoFile;
  }
  return to_file_handle(h);
}

bool write_at(FileHandle f, long long offset, const std::string& bytes, int* error) {
  HANDLE h = to_os_handle(f);
  if (!seek_to(h, offset)) {
    *error = static_cast<int>(GetLastError());
    return false;
  }
  std::size_t done = 0;
  while (done < bytes.size()) {
    DWORD chunk = static_cast<DWORD>(bytes.size() - done > 1u << 20 ? 1u << 20 : bytes.size() - done);
    DWORD n = 0;
    if (!WriteFile(h, bytes.data() + done, chunk, &n, nullptr)) {
      *error = static_cast<int>(GetLastError());
      return false;
    }
    if (n == 0) {
      *error = ERROR_DISK_FULL;
      return false;
    }
    done += n;
  }
  return true;
}

bool reserve_space(FileHandle, long long, int*) {
  // Windows can reserve only by making the file longer, which a reader would
  // see; the caller's way back (the old content) covers a short write.
  return true;
}

bool set_length(FileHandle f, long long length, int* error) {
  HANDLE h = to_os_handle(f);
  if (seek_to(h, length) && SetEndOfFile(h)) return true;
  *error = static_cast<int>(GetLastError());
  return false;
}

bool flush_file(FileHandle f, int* error) {
  if (FlushFileBuffers(to_os_handle(f))) return true;
  *error = static_cast<int>(GetLastError());
  return false;
}

OpenResult open_for_append(const std::string& path, FileHandle* f, int* error, const char** why) {
  // Append access without write access: the system puts every write at the
  // end of the file. Shared as the C runtime shares a file it opens, so a
  // viewer may keep the log open. FILE_FLAG_OPEN_REPARSE_POINT opens a link
  // itself instead of its target, and the link is then refused below.
  HANDLE h = CreateFileA(path.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *error = static_cast<int>(GetLastError());
    bool missing = *error == ERROR_FILE_NOT_FOUND || *error == ERROR_PATH_NOT_FOUND;
    return missing ? OpenResult::kMissing : OpenResult::kFailed;
  }
  BY_HANDLE_FILE_INFORMATION info;
  const char* refusal = nullptr;
  if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    refusal = "not a regular file";
  } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    refusal = "a link (reparse point)";
  }
  if (refusal != nullptr) {
    CloseHandle(h);
    *error = ERROR_ACCESS_DENIED;
    *why = refusal;
    return OpenResult::kNotRegular;
  }
  *f = to_file_handle(h);
  return OpenResult::kOpened;
}

long long open_file_size(FileHandle f) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(to_os_handle(f), &size)) return -1;
  return static_cast<long long>(size.QuadPart);
}

bool append_bytes(FileHandle f, const char* data, std::size_t length, int* error) {
  HANDLE h = to_os_handle(f);
  std::size_t done = 0;
  while (done < length) {
    DWORD chunk = static_cast<DWORD>(length - done > 1u << 20 ? 1u << 20 : length - done);
    DWORD n = 0;
    if (!WriteFile(h, data + done, chunk, &n, nullptr)) {
      *error = static_cast<int>(GetLastError());
      return false;
    }
    if (n == 0) {
      *error = ERROR_DISK_FULL;
      return false;
    }
    done += n;
  }
  return true;
}

bool close_file(FileHandle f, int* error) {
  if (CloseHandle(to_os_handle(f))) return true;
  *error = static_cast<int>(GetLastError());
  return false;
}

ReplaceResult replace_file(const std::string& from, const std::string& to, int* error) {
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return ReplaceResult::kReplaced;
  }
  *error = static_cast<int>(GetLastError());
  return ReplaceResult::kFailed;
}

// Windows has no exchange in one step. ReplaceFileA, the nearest, renames
// the old file away and the new one in as two moves, so the hosts file would
// be missing between them at every write: a moment every reader may meet
// weighs more than the rare edit saved exactly between the caller's check
// and its move.
ReplaceResult exchange_files(const std::string&, const std::string&, int* error) {
  *error = ERROR_NOT_SUPPORTED;
  return ReplaceResult::kUnsupported;
}

ReplaceResult move_to_free_name(const std::string& from, const std::string& to, int* error) {
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH)) return ReplaceResult::kReplaced;
  *error = static_cast<int>(GetLastError());
  bool taken = *error == ERROR_ALREADY_EXISTS || *error == ERROR_FILE_EXISTS;
  return taken ? ReplaceResult::kTargetChanged : ReplaceResult::kFailed;
}

// ---------------------------------------------------------------------------
// One background thread

namespace {

HANDLE g_wake_event = nullptr;

struct ThreadStart {
  void (*body)(void*);
  void* argument;
};

DWORD WINAPI run_thread(LPVOID start) {
  ThreadStart s = *static_cast<ThreadStart*>(start);
  delete static_cast<ThreadStart*>(start);
  s.body(s.argument);
  return 0;
}

}  // namespace

bool start_thread(void (*body)(void*), void* argument) {
  // Made here, before any other thread exists; the loop calls this once.
  if (g_wake_event == nullptr) {
    g_wake_event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (g_wake_event == nullptr) return false;
  }
  ThreadStart* start = new ThreadStart{body, argument};
  HANDLE thread = CreateThread(nullptr, 0, run_thread, start, 0, nullptr);
  if (thread == nullptr) {
    delete start;
    return false;
  }
  // Two levels below the loop, so that the boost a thread gets when its
  // event is set still leaves it below; the system's balancing still gives a
  // starved thread a turn. The crash filter is the process's, for every
  // thread.
  SetThreadPriority(thread, THREAD_PRIORITY_LOWEST);
  CloseHandle(thread);
  return true;
}

void wake_up() { SetEvent(g_wake_event); }
void wait_for_wake_up() { WaitForSingleObject(g_wake_event, INFINITE); }
void sleep_ms(int ms) { Sleep(static_cast<DWORD>(ms)); }

OpenResult open_regular_file(const std::string& path, FileHandle* f, int* error) {
  // A folder cannot be opened without FILE_FLAG_BACKUP_SEMANTICS, so asking
  // for its attributes first gives it a reason of its own.
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    *error = ERROR_DIRECTORY;
    return OpenResult::kNotRegular;
  }
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *error = static_cast<int>(GetLastError());
    bool missing = *error == ERROR_FILE_NOT_FOUND || *error == ERROR_PATH_NOT_FOUND;
    return missing ? OpenResult::kMissing : OpenResult::kFailed;
  }
  // A pipe, a console or a device reached through a name is not a file.
  if (GetFileType(h) != FILE_TYPE_DISK) {
    CloseHandle(h);
    *error = ERROR_INVALID_PARAMETER;
    return OpenResult::kNotRegular;
  }
  *f = to_file_handle(h);
  return OpenResult::kOpened;
}

long read_bytes(FileHandle f, char* buffer, std::size_t capacity, int* error) {
  DWORD n = 0;
  DWORD chunk = static_cast<DWORD>(capacity > 1u << 20 ? 1u << 20 : capacity);
  if (!ReadFile(to_os_handle(f), buffer, chunk, &n, nullptr)) {
    *error = static_cast<int>(GetLastError());
    return -1;
  }
  return static_cast<long>(n);
}

namespace {

// Who a SID is, for the configuration check: SYSTEM and the Administrators
// group, the user the process runs as, or anyone else.
Trustee trustee_of(PSID sid, PSID service_user) {
  if (sid == nullptr || !IsValidSid(sid)) return Trustee::kOther;
  if (IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid)) {
    return Trustee::kAdministrators;
  }
  if (service_user != nullptr && EqualSid(sid, service_user)) return Trustee::kServiceUser;
  return Trustee::kOther;
}

// The DACL's ACEs as the portable check reads them. Only the plain and the
// callback allow ACEs carry their SID at a fixed place; an allow ACE of
// another kind (object ACEs, not used on files) counts as granting to
// someone else, so an unusual list is refused rather than trusted.
std::vector<AccessEntry> access_entries(PACL dacl, PSID service_user) {
  std::vector<AccessEntry> entries;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(dacl, i, &ace)) continue;
    const ACE_HEADER* header = static_cast<const ACE_HEADER*>(ace);
    AccessEntry entry;
    entry.mask = static_cast<const ACCESS_ALLOWED_ACE*>(ace)->Mask;
    entry.inherit_only = (header->AceFlags & INHERIT_ONLY_ACE) != 0;
    switch (header->AceType) {
      case ACCESS_ALLOWED_ACE_TYPE:
      case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
        entry.allows = true;
        entry.who = trustee_of(&static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart, service_user);
        break;
      case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
      case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE:
        entry.allows = true;
        entry.who = Trustee::kOther;
        break;
      default:  // the denying kinds
        entry.allows = false;
        entry.who = Trustee::kOther;
        break;
    }
    entries.push_back(entry);
  }
  return entries;
}

}  // namespace

namespace {

// Reads the file's owner and DACL and hands them, as the portable checks
// take them, to `judge`; its reason, or "its owner cannot be read".
const char* judge_access(FileHandle f,
                         const char* (*judge)(Trustee, bool, const std::vector<AccessEntry>&)) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(to_os_handle(f), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                      &owner, nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
    return "its owner cannot be read";
  }
  // The user the process runs as: LocalSystem for the installed service,
  // the admin's own account for a console run.
  PSID service_user = nullptr;
  union {
    TOKEN_USER user;
    char bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  } user_buffer;
  HANDLE token = nullptr;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    DWORD length = 0;
    if (GetTokenInformation(token, TokenUser, &user_buffer, sizeof user_buffer, &length)) {
      service_user = user_buffer.user.User.Sid;
    }
    CloseHandle(token);
  }
  std::vector<AccessEntry> entries;
  if (dacl != nullptr) entries = access_entries(dacl, service_user);
  const char* refusal = judge(trustee_of(owner, service_user), dacl != nullptr, entries);
  LocalFree(descriptor);
  return refusal;
}

}  // namespace

bool written_only_by_administrators(FileHandle f, const char** why) {
  *why = judge_access(f, access_list_writers);
  return *why == nullptr;
}

bool readable_only_by_administrators(FileHandle f, const char** why) {
  *why = judge_access(f, access_list_readers);
  return *why == nullptr;
}

std::string private_file_command(const std::string& path) {
  // SIDs rather than names, which differ with the system's language:
  // SYSTEM and the Administrators, full control; nothing inherited.
  return "icacls \"" + path + "\" /inheritance:r /grant:r *S-1-5-18:F *S-1-5-32-544:F";
}
