// The installer's one custom action: before an upgrade stops the running
// service (the older version's removal stops and deletes it), note whether it
// was running, so the new version is started again only then. The installer
// tables can say "start at install", not "start if it was running".
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

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
