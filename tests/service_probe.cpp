// Prints what the service control manager reports for the service "Tarvik":
// "state N accepted 0xH" (the current state and the controls it accepts).
// With the argument "paramchange" it first sends the service that control,
// as `sc control Tarvik paramchange` does (Wine's sc has no "control").
// Exits 1, printing the failing call and its error, when it cannot ask.
#include <windows.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  bool paramchange = argc == 2 && std::strcmp(argv[1], "paramchange") == 0;
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) {
    std::printf("OpenSCManager failed (%lu)\n", GetLastError());
    return 1;
  }
  SC_HANDLE service =
      OpenServiceA(manager, "Tarvik", SERVICE_QUERY_STATUS | (paramchange ? SERVICE_PAUSE_CONTINUE : 0));
  if (service == nullptr) {
    std::printf("OpenService failed (%lu)\n", GetLastError());
    CloseServiceHandle(manager);
    return 1;
  }
  SERVICE_STATUS status;
  int code = 0;
  if (paramchange && !ControlService(service, SERVICE_CONTROL_PARAMCHANGE, &status)) {
    std::printf("ControlService failed (%lu)\n", GetLastError());
    code = 1;
  } else if (QueryServiceStatus(service, &status)) {
    std::printf("state %lu accepted 0x%lx\n", status.dwCurrentState, status.dwControlsAccepted);
  } else {
    std::printf("QueryServiceStatus failed (%lu)\n", GetLastError());
    code = 1;
  }
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return code;
}
