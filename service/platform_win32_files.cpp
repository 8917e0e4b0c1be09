// Windows implementation of platform.h: files and folders.
#include <winsock2.h>
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>

#include "platform.h"

const char kPathSeparator = '\\';
const char* const kTextRead = "rt";
const char* const kTextWrite = "wt";

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

ReplaceResult replace_file(const std::string& from, const std::string& to, int* error) {
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return ReplaceResult::kReplaced;
  *error = static_cast<int>(GetLastError());
  return *error == ERROR_NOT_SAME_DEVICE ? ReplaceResult::kOtherVolume : ReplaceResult::kFailed;
}

bool flush_to_disk(std::FILE* f) {
  if (std::fflush(f) != 0) return false;
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)));
  return h != INVALID_HANDLE_VALUE && FlushFileBuffers(h) != 0;
}
