// What the black-box suite cannot do to a file from Linux under Wine.
//   file-probe hold PATH   opens PATH for reading and writing as a log viewer
//                          does, without delete sharing, prints "held" and
//                          keeps it open until its standard input closes.
//   file-probe pipe NAME   creates the first instance of the named pipe NAME,
//                          as a running service does, prints "held" and
//                          keeps it until its standard input closes.
//   file-probe acl PATH    prints the owner and DACL of PATH as SDDL on one
//                          line, as GetNamedSecurityInfo reads them.
// Exits 1, printing the failing call and its error, when it cannot.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cstring>

namespace {

// Keeps `h` until standard input closes.
int hold_until_stdin_closes(HANDLE h) {
  std::printf("held\n");
  std::fflush(stdout);
  char buffer[64];
  DWORD n = 0;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &n, nullptr) && n > 0) {
  }
  CloseHandle(h);
  return 0;
}

int hold(const char* path) {
  HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    std::printf("CreateFile failed (%lu)\n", GetLastError());
    return 1;
  }
  return hold_until_stdin_closes(h);
}

int hold_pipe(const char* name) {
  HANDLE h = CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE, PIPE_TYPE_BYTE | PIPE_WAIT, 1,
                              4096, 4096, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    std::printf("CreateNamedPipe failed (%lu)\n", GetLastError());
    return 1;
  }
  return hold_until_stdin_closes(h);
}

int print_acl(const char* path) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const SECURITY_INFORMATION what = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  DWORD error = GetNamedSecurityInfoA(path, SE_FILE_OBJECT, what, nullptr, nullptr, nullptr, nullptr, &descriptor);
  if (error != ERROR_SUCCESS) {
    std::printf("GetNamedSecurityInfo failed (%lu)\n", error);
    return 1;
  }
  char* text = nullptr;
  if (!ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, SDDL_REVISION_1, what, &text, nullptr)) {
    std::printf("ConvertSecurityDescriptorToStringSecurityDescriptor failed (%lu)\n", GetLastError());
    LocalFree(descriptor);
    return 1;
  }
  std::printf("%s\n", text);
  LocalFree(text);
  LocalFree(descriptor);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "hold") == 0) return hold(argv[2]);
  if (argc == 3 && std::strcmp(argv[1], "pipe") == 0) return hold_pipe(argv[2]);
  if (argc == 3 && std::strcmp(argv[1], "acl") == 0) return print_acl(argv[2]);
  std::printf("usage: file-probe hold|pipe|acl PATH\n");
  return 2;
}
