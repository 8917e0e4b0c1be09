// The installer's custom actions, for what its tables cannot say:
//
// RememberServiceState: before an upgrade stops the running service (the
// older version's removal stops and deletes it), note whether it was
// running, so the new version is started again only then. The tables can
// say "start at install", not "start if it was running".
//
// WriteConfiguration: main.conf holds the shared password, so it gives no
// one but SYSTEM and the Administrators any access, on a kept main.conf of
// an older version too (the File table's permissions reach only a file the
// installer writes, and it never overwrites this one); and PWD=..., given
// to msiexec, becomes the `pwd` line of a main.conf that sets none.
#include <windows.h>
#include <aclapi.h>
#include <msi.h>
#include <msiquery.h>
#include <sddl.h>

#include <string>

namespace {

// SYSTEM and the Administrators full control, nothing inherited from the
// data folder (which gives the Users read).
const wchar_t kMainConfDacl[] = L"D:PAI(A;;FA;;;SY)(A;;FA;;;BA)";
// The service refuses a longer line (its line end not counted).
constexpr std::size_t kConfigLineCapacity = 1023;
// main.conf is a page of settings; anything this large is not one.
constexpr DWORD kMaxConfigSize = 1 << 20;

// A line in the install log (msiexec /l*v). Never given the password.
void log_line(MSIHANDLE install, const std::wstring& text) {
  PMSIHANDLE record = MsiCreateRecord(0);
  std::wstring line = L"WriteConfiguration: " + text;
  MsiRecordSetStringW(record, 0, line.c_str());
  MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
}

std::wstring property(MSIHANDLE install, const wchar_t* name) {
  DWORD size = 0;
  wchar_t empty[1] = L"";
  if (MsiGetPropertyW(install, name, empty, &size) != ERROR_MORE_DATA) return std::wstring();
  std::wstring value(size + 1, L'\0');
  size = static_cast<DWORD>(value.size());
  if (MsiGetPropertyW(install, name, &value[0], &size) != ERROR_SUCCESS) return std::wstring();
  value.resize(size);
  return value;
}

// Whether the DACL gives access to no one but SYSTEM, the Administrators
// and the user this action runs as (LocalSystem on Windows), as the service
// judges it: such a list is left as it is. Deny entries only take away.
bool closed_to_others(const std::wstring& path) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                            nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  union {
    TOKEN_USER user;
    char bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  } user_buffer;
  PSID user = nullptr;
  HANDLE token = nullptr;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    DWORD length = 0;
    if (GetTokenInformation(token, TokenUser, &user_buffer, sizeof user_buffer, &length)) {
      user = user_buffer.user.User.Sid;
    }
    CloseHandle(token);
  }
  bool closed = dacl != nullptr;  // no DACL at all: open to everyone
  for (DWORD i = 0; closed && i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(dacl, i, &ace)) {
      closed = false;
      break;
    }
    const ACE_HEADER* header = static_cast<const ACE_HEADER*>(ace);
    if ((header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;
    if (header->AceType == ACCESS_ALLOWED_ACE_TYPE) {
      PSID sid = &static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart;
      closed = IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
               (user != nullptr && EqualSid(sid, user));
    } else if (header->AceType != ACCESS_DENIED_ACE_TYPE) {
      closed = false;  // an allow entry of another kind: not trusted
    }
  }
  LocalFree(descriptor);
  return closed;
}

bool set_main_conf_dacl(const std::wstring& path, DWORD* error) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kMainConfDacl, SDDL_REVISION_1, &descriptor,
                                                            nullptr)) {
    *error = GetLastError();
    return false;
  }
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
  *error = SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT,
                                 DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                 nullptr, dacl, nullptr);
  LocalFree(descriptor);
  return *error == ERROR_SUCCESS;
}

bool is_config_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Whether the file sets a password as the service reads it: the last `pwd`
// line that the service does not refuse for its length has a value.
bool sets_password(const std::string& text) {
  bool set = false;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > kConfigLineCapacity) continue;
    std::size_t p = 0;
    while (p < line.size() && is_config_space(line[p])) ++p;
    if (line.compare(p, 3, "pwd") != 0 || (p + 3 < line.size() && !is_config_space(line[p + 3]))) continue;
    p += 3;
    while (p < line.size() && is_config_space(line[p])) ++p;
    set = p < line.size();
  }
  return set;
}

// Why the service would not read `password` back as given, or null.
const wchar_t* password_problem(const std::string& password) {
  for (char c : password) {
    if (c == '\r' || c == '\n') return L"PWD holds a line break";
  }
  if (is_config_space(password.front()) || is_config_space(password.back()))
    return L"PWD starts or ends with a blank, which main.conf cannot keep";
  if (password.size() + 4 > kConfigLineCapacity) return L"PWD is longer than a main.conf line can hold";
  return nullptr;
}

// Appends "pwd PASSWORD" to main.conf unless it sets a password already.
UINT write_password(MSIHANDLE install, const std::wstring& path, const std::wstring& wide_password) {
  int size = WideCharToMultiByte(CP_UTF8, 0, wide_password.c_str(), static_cast<int>(wide_password.size()),
                                 nullptr, 0, nullptr, nullptr);
  std::string password(size > 0 ? size : 0, '\0');
  if (size <= 0 || WideCharToMultiByte(CP_UTF8, 0, wide_password.c_str(), static_cast<int>(wide_password.size()),
                                       &password[0], size, nullptr, nullptr) != size) {
    log_line(install, L"PWD could not be converted to UTF-8");
    return ERROR_INSTALL_FAILURE;
  }
  if (const wchar_t* problem = password_problem(password)) {
    log_line(install, std::wstring(problem) + L"; nothing written");
    return ERROR_INSTALL_FAILURE;
  }
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    log_line(install, L"cannot open " + path + L" (" + std::to_wstring(GetLastError()) + L")");
    return ERROR_INSTALL_FAILURE;
  }
  UINT result = ERROR_INSTALL_FAILURE;
  DWORD file_size = GetFileSize(file, nullptr);
  std::string text(file_size != INVALID_FILE_SIZE && file_size <= kMaxConfigSize ? file_size : 0, '\0');
  DWORD read = 0;
  if (file_size == INVALID_FILE_SIZE || file_size > kMaxConfigSize ||
      (file_size > 0 && (!ReadFile(file, &text[0], file_size, &read, nullptr) || read != file_size))) {
    log_line(install, L"cannot read " + path);
  } else if (sets_password(text)) {
    // The admin's password stays; PWD is for a main.conf without one.
    log_line(install, path + L" sets pwd already; PWD not written");
    result = ERROR_SUCCESS;
  } else {
    std::string line = (text.empty() || text.back() == '\n' ? "" : "\r\n") + std::string("pwd ") + password + "\r\n";
    DWORD written = 0;
    if (SetFilePointer(file, 0, nullptr, FILE_END) != INVALID_SET_FILE_POINTER &&
        WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) &&
        written == line.size() && FlushFileBuffers(file)) {
      log_line(install, L"pwd written to " + path);
      result = ERROR_SUCCESS;
    } else {
      log_line(install, L"cannot write " + path + L" (" + std::to_wstring(GetLastError()) + L")");
    }
    SecureZeroMemory(&line[0], line.size());
  }
  SecureZeroMemory(&password[0], password.size());
  CloseHandle(file);
  return result;
}

}  // namespace

extern "C" __declspec(dllexport) UINT __stdcall RememberServiceState(MSIHANDLE install) {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return ERROR_SUCCESS;
  SC_HANDLE service = OpenServiceA(manager, "Tarvik", SERVICE_QUERY_STATUS);
  if (service != nullptr) {
    SERVICE_STATUS status;
    // Starting or running counts as running; a service being stopped does
    // not, as the admin asked for that.
    if (QueryServiceStatus(service, &status) &&
        (status.dwCurrentState == SERVICE_RUNNING || status.dwCurrentState == SERVICE_START_PENDING)) {
      MsiSetPropertyA(install, "TARVIKWASRUNNING", "1");
    }
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  // Never fails the install: without the note the service is only not
  // restarted, as before.
  return ERROR_SUCCESS;
}

// Deferred, as LocalSystem, after InstallFiles. CustomActionData is
// "MAINCONF|PASSWORD" (a path has no '|'; the password may), the password
// empty without PWD. Fails the install when main.conf cannot be closed to
// the Users or the password cannot be written as given: a service that
// starts without the password the admin asked for is what this prevents.
extern "C" __declspec(dllexport) UINT __stdcall WriteConfiguration(MSIHANDLE install) {
  std::wstring data = property(install, L"CustomActionData");
  std::size_t bar = data.find(L'|');
  if (bar == std::wstring::npos || bar == 0) {
    log_line(install, L"no path of main.conf given");
    return ERROR_INSTALL_FAILURE;
  }
  std::wstring path = data.substr(0, bar);
  std::wstring password = data.substr(bar + 1);
  SecureZeroMemory(&data[0], data.size() * sizeof(wchar_t));
  // Wine keeps a deferred action's data as a property of the install and
  // lists it at the end of the log; Windows refuses the call, harmlessly.
  MsiSetPropertyW(install, L"CustomActionData", L"");

  UINT result = ERROR_SUCCESS;
  DWORD error = 0;
  // A list that is closed already stays: Wine, which keeps no list of its
  // own, would turn this one into a Unix mode that others may read.
  if (!closed_to_others(path) && !set_main_conf_dacl(path, &error)) {
    log_line(install, L"cannot set the permissions of " + path + L" (" + std::to_wstring(error) + L")");
    result = ERROR_INSTALL_FAILURE;
  } else if (!password.empty()) {
    result = write_password(install, path, password);
  }
  if (!password.empty()) SecureZeroMemory(&password[0], password.size() * sizeof(wchar_t));
  return result;
}
