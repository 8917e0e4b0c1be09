// Prints what the service control manager reports for the service "Tarvik":
// "state N accepted 0xH" (the current state and the controls it accepts).
// Exits 1, printing the failing call and its error, when it cannot ask.
#include <windows.h>

#include <cstdio>

int main() {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) {
    std::printf("OpenSCManager failed (%lu)\n", GetLastError());
    return 1;
  }
  SC_HANDLE service = OpenServiceA(manager, "Tarvik", SERVICE_QUERY_STATUS);
  if (service == nullptr) {
    std::printf("OpenService failed (%lu)\n", GetLastError());
    CloseServiceHandle(manager);
    return 1;
  }
  SERVICE_STATUS status;
  int code = 0;
  if (QueryServiceStatus(service, &status)) {
    std::printf("state %lu accepted 0x%lx\n", status.dwCurrentState, status.dwControlsAccepted);
  } else {
    std::printf("QueryServiceStatus failed (%lu)\n", GetLastError());
    code = 1;
  }
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return code;
}
