// Windows implementation of platform.h: clocks, service control, crash dump.
#include <winsock2.h>
#include <windows.h>
// dbghelp.h needs the types of windows.h first.
#include <aclapi.h>
#include <dbghelp.h>
#include <sddl.h>

#include <cstdio>
#include <cstring>

#include "config.h"
#include "platform.h"

// ---------------------------------------------------------------------------
// Clocks

std::uint32_t tick_count_ms() { return GetTickCount(); }

LocalTime local_time_now() {
  SYSTEMTIME t;
  GetLocalTime(&t);
  return LocalTime{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
}

// ---------------------------------------------------------------------------
// Service control and process

namespace {

const char kServiceName[] = "Tarvik";

// Cleared by the console control handler and by the stop test.
volatile LONG g_running = 1;
// The stop event; exists only in service mode.
HANDLE g_stop_event = nullptr;

SERVICE_STATUS_HANDLE g_status_handle = nullptr;
SERVICE_STATUS g_status;
DWORD g_check_point = 1;
// The control handler (dispatcher thread) and the service thread both
// report. The lock keeps each record whole, and once SERVICE_STOPPED has gone
// out nothing else may follow it: the service control manager would
// otherwise see a late STOP_PENDING and wait for a stop that already ended.
CRITICAL_SECTION g_status_lock;
bool g_status_stopped = false;

// Set once the shutdown, with its final hosts-file write, is done.
HANDLE g_shutdown_complete = nullptr;
// How long the close, logoff and shutdown events wait for it; the system
// allows a console handler about 5 s before it ends the process anyway.
const DWORD kConsoleShutdownWaitMs = 5000;

// Runs on a thread the system creates for the event.
BOOL WINAPI on_console_event(DWORD event) {
  g_running = 0;
  // For these the process ends as soon as the handler returns: wait until the
  // loop has stopped and written what it holds.
  bool ends_process = event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT;
  if (ends_process && g_shutdown_complete != nullptr) {
    WaitForSingleObject(g_shutdown_complete, kConsoleShutdownWaitMs);
  }
  return TRUE;
}

void report_service_status(DWORD state, DWORD exit_code, DWORD wait_hint) {
  EnterCriticalSection(&g_status_lock);
  if (!g_status_stopped) {
    g_status.dwCurrentState = state;
    g_status.dwWin32ExitCode = exit_code;
    g_status.dwWaitHint = wait_hint;
    g_status.dwControlsAccepted =
        state == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    if (state == SERVICE_RUNNING || state == SERVICE_STOPPED) {
      g_status.dwCheckPoint = 0;
    } else {
      g_status.dwCheckPoint = g_check_point++;
    }
    if (state == SERVICE_STOPPED) g_status_stopped = true;
    SetServiceStatus(g_status_handle, &g_status);
  }
  LeaveCriticalSection(&g_status_lock);
}

// Error event of the source "Tarvik": "<subject> failed with <error>".
void report_event(const char* subject, int error) {
  HANDLE source = RegisterEventSourceA(nullptr, kServiceName);
  if (source == nullptr) return;
  char text[600];
  // The record's text is what Event Viewer shows and what tools that read
  // the event log match on: it stays "<subject> failed with <number>".
  std::snprintf(text, sizeof text, "%s failed with %d", subject, error);
  const char* strings[2] = {kServiceName, text};
  const DWORD kEventId = 0xC0020001;  // severity error, facility 2, code 1
  ReportEventA(source, EVENTLOG_ERROR_TYPE, 0, kEventId, nullptr, 2, 0, strings, nullptr);
  DeregisterEventSource(source);
}

// The source is registered once and kept: an error record must not cost a
// registry lookup each time. Null until the first record, and while
// registering fails.
HANDLE g_event_source = nullptr;

}  // namespace

bool stderr_is_journal() { return false; }

void report_error_event(const char* text) {
  if (g_event_source == nullptr) g_event_source = RegisterEventSourceA(nullptr, kServiceName);
  if (g_event_source == nullptr) return;
  const char* strings[1] = {text};
  const DWORD kEventId = 0xC0020002;  // severity error, facility 2, code 2: the text as it is
  ReportEventA(g_event_source, EVENTLOG_ERROR_TYPE, 0, kEventId, nullptr, 1, 0, strings, nullptr);
}

void install_console_stop_handler() {
  g_shutdown_complete = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

void report_shutdown_complete() {
  if (g_shutdown_complete != nullptr) SetEvent(g_shutdown_complete);
}

bool service_keep_running() {
  if (g_stop_event != nullptr && WaitForSingleObject(g_stop_event, 0) == WAIT_OBJECT_0) {
    g_running = 0;
    return false;
  }
  return g_running != 0;
}

bool service_mode() { return g_stop_event != nullptr; }

void report_service_running() { report_service_status(SERVICE_RUNNING, NO_ERROR, 0); }

void end_process(int code) {
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
  ExitProcess(static_cast<UINT>(code));  // not reached
}

// ---------------------------------------------------------------------------
// Service manager, installer and crash handler

namespace {

bool (*g_service_body)() = nullptr;

// Runs on the dispatcher's thread (the process's main thread). At system
// shutdown the service gets SERVICE_CONTROL_SHUTDOWN instead of a stop; it is
// handled the same way, so the final hosts-file write is made (one write, far
// inside the time the system gives a service to stop).
void WINAPI on_service_control(DWORD control) {
  if (control != SERVICE_CONTROL_STOP && control != SERVICE_CONTROL_SHUTDOWN) return;  // no report
  report_service_status(SERVICE_STOP_PENDING, NO_ERROR, 0);
  SetEvent(g_stop_event);
  report_service_status(g_status.dwCurrentState, NO_ERROR, 0);
}

// Runs on a thread the dispatcher starts for the service.
void WINAPI service_main(DWORD, LPSTR*) {
  g_status_handle = RegisterServiceCtrlHandlerA(kServiceName, on_service_control);
  if (g_status_handle == nullptr) {
    report_event("RegisterServiceCtrlHandler", static_cast<int>(GetLastError()));
    return;
  }
  g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  g_status.dwServiceSpecificExitCode = 0;
  report_service_status(SERVICE_START_PENDING, NO_ERROR, 3000);

  g_stop_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (g_stop_event != nullptr && !g_service_body()) {
    // A start that failed is no clean stop: the service manager shows the
    // failure, and the event names where the reason is.
    report_event("service_start()", 1);
    g_status.dwServiceSpecificExitCode = 1;
    report_service_status(SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR, 0);
    return;
  }
  report_service_status(SERVICE_STOPPED, NO_ERROR, 0);
}

}  // namespace

int run_as_service(bool (*service_body)()) {
  g_service_body = service_body;
  InitializeCriticalSection(&g_status_lock);
  char name[sizeof kServiceName];
  std::memcpy(name, kServiceName, sizeof kServiceName);
  SERVICE_TABLE_ENTRYA table[] = {{name, service_main}, {nullptr, nullptr}};
  // Returns once the service has stopped, or at once when the process was
  // not started by the service control manager (1063).
  if (!StartServiceCtrlDispatcherA(table)) {
    report_event("StartServiceCtrlDispatcher", static_cast<int>(GetLastError()));
  }
  return 0;
}

namespace {

// SYSTEM and the Administrators have full control of the data folder and
// all in it, ordinary users may read (all but main.conf, below); the DACL
// is protected, so nothing is inherited from ProgramData, where every user
// may create files (and would then be the first to write main.conf or
// log).
const char kDataFolderSecurity[] = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

// main.conf holds the password and the update key: SYSTEM and the
// Administrators alone, the Users' read of the folder not inherited.
const char kMainConfSecurity[] = "D:P(A;;FA;;;SY)(A;;FA;;;BA)";

// Gives <folder>\main.conf that DACL when it is there, so that a file
// written before the service checked who may read it does not stop an
// upgraded service. None is made: without one the service does not start,
// rather than run without a password. False, with the error as the last
// error, when that cannot be done.
bool make_main_conf_private(const std::string& folder) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(kMainConfSecurity, SDDL_REVISION_1, &descriptor,
                                                            nullptr)) {
    return false;
  }
  std::string path = folder + "\\main.conf";
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
  DWORD error = SetNamedSecurityInfoA(const_cast<char*>(path.c_str()), SE_FILE_OBJECT,
                                      DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                      nullptr, dacl, nullptr);
  LocalFree(descriptor);
  if (error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND) return true;
  SetLastError(error);
  return false;
}

// Makes the data folder with that DACL, or gives it that DACL when it is
// there already (someone may have made it first). False, with the error
// as the last error, when that cannot be done.
bool prepare_data_folder(const std::string& folder) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(kDataFolderSecurity, SDDL_REVISION_1, &descriptor,
                                                            nullptr)) {
    return false;
  }
  std::string parent, name;
  split_path(folder, &parent, &name);
  // Without the common data folder the service reads c:\main.conf; the
  // drive's root keeps its own ACL.
  if (name.empty()) {
    LocalFree(descriptor);
    return true;
  }
  CreateDirectoryA(parent.c_str(), nullptr);  // ProgramData's ACL is fine one level up
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
  bool ready = CreateDirectoryA(folder.c_str(), &attributes) != 0;
  if (!ready && GetLastError() == ERROR_ALREADY_EXISTS) {
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    DWORD error = SetNamedSecurityInfoA(const_cast<char*>(folder.c_str()), SE_FILE_OBJECT,
                                        DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                        nullptr, nullptr, dacl, nullptr);
    ready = error == ERROR_SUCCESS;
    if (!ready) SetLastError(error);
  }
  if (ready) ready = make_main_conf_private(folder);
  DWORD error = GetLastError();
  LocalFree(descriptor);
  SetLastError(error);
  return ready;
}

}  // namespace

void install_service() {
  char path[MAX_PATH];
  DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  // A path that filled the buffer was cut short: registering it would point
  // the service at a file that does not exist.
  if (length == 0 || length >= MAX_PATH) {
    std::printf("Cannot install service (%d)\n", static_cast<int>(GetLastError()));
    return;
  }
  // Unquoted, a path with spaces would be split by the service control
  // manager, which then tries each prefix as a program.
  std::string command_line = std::strchr(path, ' ') != nullptr ? "\"" + std::string(path) + "\"" : path;

  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (manager == nullptr) {
    std::printf("OpenSCManager failed (%d)\n", static_cast<int>(GetLastError()));
    return;
  }
  std::string folder = data_folder();
  if (!prepare_data_folder(folder)) {
    std::printf("Cannot prepare %s (%d)\n", folder.c_str(), static_cast<int>(GetLastError()));
    CloseServiceHandle(manager);
    return;
  }
  SC_HANDLE service = CreateServiceA(manager, kServiceName, kServiceName, SERVICE_ALL_ACCESS,
                                     SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                     SERVICE_ERROR_NORMAL, command_line.c_str(), nullptr, nullptr,
                                     nullptr, nullptr, nullptr);
  if (service == nullptr) {
    std::printf("CreateService failed (%d)\n", static_cast<int>(GetLastError()));
    CloseServiceHandle(manager);
    return;
  }
  std::printf("Service installed successfully\n");
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
}

namespace {

// The dump holds the whole configuration, the password included: only
// SYSTEM and the administrators may read it. Made when the handler is
// installed, since a crashing process should allocate as little as it can.
PSECURITY_DESCRIPTOR g_dump_security = nullptr;

LONG WINAPI on_unhandled_exception(EXCEPTION_POINTERS* exception) {
  MINIDUMP_EXCEPTION_INFORMATION info;
  info.ThreadId = GetCurrentThreadId();
  info.ExceptionPointers = exception;
  info.ClientPointers = TRUE;
  // A file left from before keeps its own ACL when overwritten, and one
  // somebody else put there must not receive the dump: delete it and create
  // a new one, which fails if the old one could not be deleted.
  SECURITY_ATTRIBUTES security = {sizeof security, g_dump_security, FALSE};
  DeleteFileA("c:\\kro.dmp");
  HANDLE file = CreateFileA("c:\\kro.dmp", GENERIC_WRITE, 0, g_dump_security != nullptr ? &security : nullptr,
                            CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    MiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file, MiniDumpWithDataSegs, &info,
                      nullptr, nullptr);
    CloseHandle(file);
  }
  // Logged whether or not the dump could be written.
  log(1, "Exception with code %04x captured to c:\\kro.dmp",
      static_cast<unsigned>(exception->ExceptionRecord->ExceptionCode));
  return EXCEPTION_EXECUTE_HANDLER;  // ends the process without the crash dialog
}

}  // namespace

void install_crash_handler() {
  // Protected (P): nothing inherited from C:\\, which ordinary users may read.
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P(A;;FA;;;SY)(A;;FA;;;BA)", SDDL_REVISION_1,
                                                            &g_dump_security, nullptr)) {
    g_dump_security = nullptr;
  }
  SetUnhandledExceptionFilter(on_unhandled_exception);
}
