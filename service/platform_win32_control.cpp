// Windows implementation of platform.h: the control channel, the named pipe
// \\.\pipe\Tarvik, served by a thread of its own.
//
// Winsock's select cannot wait on a pipe, so the loop never touches it. The
// pipe thread takes one client at a time: it reads the request line (at
// most 2 s), puts it into the mailbox, and then writes out whatever the
// loop puts there, until the loop lets the client go. The loop looks into
// the mailbox at each turn (control_wait_timeout_us keeps the turns short
// while it is busy). All pipe I/O is overlapped with a bound on its wait,
// so a client that sends nothing, or reads nothing, holds the thread for
// seconds, never for good; and the stop event ends every wait.
#include <winsock2.h>
#include <windows.h>
// sddl.h needs the types of windows.h first.
#include <sddl.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform.h"

namespace {

const char kPipeName[] = "\\\\.\\pipe\\Tarvik";
// Protected, so nothing is inherited: network logons denied, SYSTEM and
// the Administrators in, nobody else.
const char kPipeSecurity[] = "D:P(D;;GA;;;NU)(A;;GA;;;SY)(A;;GA;;;BA)";
// Vista and later refuse remote clients with this mode flag; older systems
// do not know it (the DACL keeps network logons out there).
const DWORD kRejectRemoteClients = 0x00000008;  // PIPE_REJECT_REMOTE_CLIENTS

const DWORD kRequestWaitMs = 2000;
const DWORD kWriteWaitMs = 5000;
// After the last byte, how long the client has to read it and close its
// end before the pipe is disconnected (which discards what it has not read).
const DWORD kCloseWaitMs = 2000;
const DWORD kClientWaitMs = 10000;
// The most of an answer the mailbox holds unwritten.
const std::size_t kMailboxLimit = 256 * 1024;
const long kBusyWaitUs = 20000;

enum class MailState {
  kIdle,       // no client, or the thread still reads its request
  kRequest,    // a whole request waits for the loop
  kAnswering,  // the loop has taken it (client 0) and answers
};

struct Mailbox {
  MailState state = MailState::kIdle;
  std::string request;
  bool request_handed = false;
  std::string peer;
  std::string out;     // handed by the loop, not yet written
  bool ended = false;  // the loop has let the client go
  bool gone = false;   // the client has gone: nothing more reaches it
};

CRITICAL_SECTION g_lock;
Mailbox g_mail;
HANDLE g_pipe = INVALID_HANDLE_VALUE;
HANDLE g_stop = nullptr;       // manual reset: the channel closes
HANDLE g_answer = nullptr;     // auto reset: the loop handed bytes or ended
HANDLE g_io = nullptr;         // manual reset: the overlapped I/O's event
HANDLE g_thread = nullptr;

enum class Io { kDone, kFailed, kTimedOut, kStopped };

// Waits for the overlapped operation started on the pipe; on time-out or
// stop it is cancelled and its end awaited, so `overlapped` and the buffer
// are free again when this returns.
Io finish_io(BOOL started, OVERLAPPED* overlapped, DWORD wait_ms, DWORD* count) {
  *count = 0;
  if (!started && GetLastError() != ERROR_IO_PENDING) return Io::kFailed;
  HANDLE waits[2] = {g_io, g_stop};
  DWORD woke = WaitForMultipleObjects(2, waits, FALSE, wait_ms);
  if (woke != WAIT_OBJECT_0) {
    CancelIo(g_pipe);
    GetOverlappedResult(g_pipe, overlapped, count, TRUE);
    return woke == WAIT_OBJECT_0 + 1 ? Io::kStopped : Io::kTimedOut;
  }
  return GetOverlappedResult(g_pipe, overlapped, count, FALSE) ? Io::kDone : Io::kFailed;
}

Io read_pipe(char* buffer, DWORD capacity, DWORD wait_ms, DWORD* count) {
  OVERLAPPED overlapped;
  std::memset(&overlapped, 0, sizeof overlapped);
  overlapped.hEvent = g_io;
  ResetEvent(g_io);
  BOOL started = ReadFile(g_pipe, buffer, capacity, nullptr, &overlapped);
  return finish_io(started, &overlapped, wait_ms, count);
}

Io write_pipe(const char* data, DWORD length, DWORD wait_ms) {
  while (length > 0) {
    OVERLAPPED overlapped;
    std::memset(&overlapped, 0, sizeof overlapped);
    overlapped.hEvent = g_io;
    ResetEvent(g_io);
    DWORD count = 0;
    Io result = finish_io(WriteFile(g_pipe, data, length, nullptr, &overlapped), &overlapped, wait_ms, &count);
    if (result != Io::kDone) return result;
    if (count == 0) return Io::kFailed;
    data += count;
    length -= count;
  }
  return Io::kDone;
}

// Who the client is: its process and, while the thread speaks as the
// client, its user.
std::string client_identity() {
  char text[320];
  std::string user = "unknown";
  if (ImpersonateNamedPipeClient(g_pipe)) {
    char name[257];
    DWORD size = sizeof name;
    if (GetUserNameA(name, &size)) user = name;
    RevertToSelf();
  }
  // Vista and later; looked up so that the exe still loads where it is missing.
  typedef BOOL(WINAPI * ClientProcessId)(HANDLE, PULONG);
  ClientProcessId client_process_id = reinterpret_cast<ClientProcessId>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetNamedPipeClientProcessId")));
  ULONG pid = 0;
  if (client_process_id != nullptr && client_process_id(g_pipe, &pid)) {
    std::snprintf(text, sizeof text, "user %s pid %lu", user.c_str(), static_cast<unsigned long>(pid));
  } else {
    std::snprintf(text, sizeof text, "user %s", user.c_str());
  }
  return text;
}

// Reads the request line; false when the client sent none in time.
bool read_request(std::string* line) {
  char buffer[kControlRequestLimit];
  DWORD length = 0;
  DWORD started = GetTickCount();
  while (length < sizeof buffer) {
    DWORD waited = GetTickCount() - started;
    if (waited >= kRequestWaitMs) return false;
    DWORD count = 0;
    if (read_pipe(buffer + length, sizeof buffer - length, kRequestWaitMs - waited, &count) != Io::kDone) return false;
    if (count == 0) continue;
    bool whole = std::memchr(buffer + length, '\n', count) != nullptr;
    length += count;
    if (whole) break;
  }
  // A request as long as the buffer without its line end is handed on as
  // it is: the loop answers that it is too long.
  line->assign(buffer, length);
  return true;
}

// Writes out what the loop hands over until it lets the client go.
void write_answer() {
  for (;;) {
    std::string out;
    EnterCriticalSection(&g_lock);
    out.swap(g_mail.out);
    bool ended = g_mail.ended;
    LeaveCriticalSection(&g_lock);
    if (!out.empty()) {
      if (write_pipe(out.data(), static_cast<DWORD>(out.size()), kWriteWaitMs) != Io::kDone) break;
      continue;
    }
    if (ended) {
      // The client closes its end once it has read the whole answer; wait
      // for that (a read that fails), so that nothing unread is discarded.
      char byte;
      DWORD count = 0;
      read_pipe(&byte, 1, kCloseWaitMs, &count);
      return;
    }
    HANDLE waits[2] = {g_answer, g_stop};
    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) break;
  }
  EnterCriticalSection(&g_lock);
  g_mail.gone = true;
  LeaveCriticalSection(&g_lock);
  // The loop still lets the client go in its own time.
  HANDLE waits[2] = {g_answer, g_stop};
  for (;;) {
    EnterCriticalSection(&g_lock);
    bool ended = g_mail.ended;
    LeaveCriticalSection(&g_lock);
    if (ended || WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) return;
  }
}

void serve_client() {
  std::string line;
  if (!read_request(&line)) return;
  std::string peer = client_identity();
  EnterCriticalSection(&g_lock);
  g_mail.request = line;
  g_mail.request_handed = false;
  g_mail.peer = peer;
  g_mail.out.clear();
  g_mail.ended = false;
  g_mail.gone = false;
  g_mail.state = MailState::kRequest;
  LeaveCriticalSection(&g_lock);
  write_answer();
}

DWORD WINAPI pipe_thread(LPVOID) {
  while (WaitForSingleObject(g_stop, 0) != WAIT_OBJECT_0) {
    OVERLAPPED overlapped;
    std::memset(&overlapped, 0, sizeof overlapped);
    overlapped.hEvent = g_io;
    ResetEvent(g_io);
    BOOL connected = ConnectNamedPipe(g_pipe, &overlapped);
    DWORD error = connected ? ERROR_SUCCESS : GetLastError();
    if (error == ERROR_IO_PENDING) {
      DWORD count = 0;
      Io result = finish_io(FALSE, &overlapped, INFINITE, &count);
      if (result == Io::kStopped) break;
      error = result == Io::kDone ? ERROR_SUCCESS : ERROR_BROKEN_PIPE;
    } else if (error == ERROR_PIPE_CONNECTED) {
      error = ERROR_SUCCESS;  // the client came between the create and the connect
    }
    if (error == ERROR_SUCCESS) serve_client();
    DisconnectNamedPipe(g_pipe);
    EnterCriticalSection(&g_lock);
    g_mail = Mailbox();
    LeaveCriticalSection(&g_lock);
    // A pipe that keeps failing must not spin the thread.
    if (error != ERROR_SUCCESS) WaitForSingleObject(g_stop, 100);
  }
  return 0;
}

HANDLE create_pipe(DWORD mode, SECURITY_ATTRIBUTES* security) {
  return CreateNamedPipeA(kPipeName, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                          mode, 1, 64 * 1024, 4 * 1024, 0, security);
}

std::string error_text(DWORD error) {
  std::string text = std::string(kPipeName) + ": " + system_error_text(static_cast<int>(error));
  if (error == ERROR_FILE_NOT_FOUND) text += " (is the service running?)";
  if (error == ERROR_ACCESS_DENIED) text += " (administrators only)";
  return text;
}

}  // namespace

std::string control_location() { return kPipeName; }

ControlOpen control_open(std::string* why) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(kPipeSecurity, SDDL_REVISION_1, &descriptor, nullptr)) {
    *why = system_error_text(static_cast<int>(GetLastError()));
    return ControlOpen::kFailed;
  }
  SECURITY_ATTRIBUTES security = {sizeof security, descriptor, FALSE};
  const DWORD mode = PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT;
  HANDLE pipe = create_pipe(mode | kRejectRemoteClients, &security);
  if (pipe == INVALID_HANDLE_VALUE && GetLastError() == ERROR_INVALID_PARAMETER) pipe = create_pipe(mode, &security);
  DWORD error = GetLastError();
  LocalFree(descriptor);
  if (pipe == INVALID_HANDLE_VALUE) {
    // The first instance is another running service's.
    if (error == ERROR_ACCESS_DENIED || error == ERROR_PIPE_BUSY) return ControlOpen::kInUse;
    *why = system_error_text(static_cast<int>(error));
    return ControlOpen::kFailed;
  }
  InitializeCriticalSection(&g_lock);
  g_mail = Mailbox();
  g_stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  g_answer = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  g_io = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  g_pipe = pipe;
  g_thread = g_stop && g_answer && g_io ? CreateThread(nullptr, 0, pipe_thread, nullptr, 0, nullptr) : nullptr;
  if (g_thread == nullptr) {
    *why = system_error_text(static_cast<int>(GetLastError()));
    control_close();
    return ControlOpen::kFailed;
  }
  return ControlOpen::kOpened;
}

void control_close() {
  if (g_pipe == INVALID_HANDLE_VALUE) return;
  if (g_thread != nullptr) {
    SetEvent(g_stop);
    WaitForSingleObject(g_thread, kWriteWaitMs);
    CloseHandle(g_thread);
    g_thread = nullptr;
  }
  CloseHandle(g_pipe);
  g_pipe = INVALID_HANDLE_VALUE;
  for (HANDLE* event : {&g_stop, &g_answer, &g_io}) {
    if (*event != nullptr) CloseHandle(*event);
    *event = nullptr;
  }
  DeleteCriticalSection(&g_lock);
}

void control_watch_listener(WaitSet*) {}
void control_watch_client(WaitSet*, int, unsigned char) {}

bool control_listener_ready(const WaitSet&) {
  if (g_pipe == INVALID_HANDLE_VALUE) return false;
  EnterCriticalSection(&g_lock);
  bool waiting = g_mail.state == MailState::kRequest;
  LeaveCriticalSection(&g_lock);
  return waiting;
}

bool control_client_ready(const WaitSet&, int client) { return client == 0; }

int control_accept(std::string* peer) {
  peer->clear();
  if (g_pipe == INVALID_HANDLE_VALUE) return kNoControlClient;
  EnterCriticalSection(&g_lock);
  int client = kNoControlClient;
  if (g_mail.state == MailState::kRequest) {
    g_mail.state = MailState::kAnswering;
    *peer = g_mail.peer;
    client = 0;
  }
  LeaveCriticalSection(&g_lock);
  return client;
}

int control_receive(int client, char* buffer, int capacity) {
  if (client != 0) return -1;
  EnterCriticalSection(&g_lock);
  int n = kWouldBlock;
  if (!g_mail.request_handed) {
    n = static_cast<int>(g_mail.request.size()) < capacity ? static_cast<int>(g_mail.request.size()) : capacity;
    std::memcpy(buffer, g_mail.request.data(), static_cast<std::size_t>(n));
    g_mail.request_handed = true;
  } else if (g_mail.gone) {
    n = 0;
  }
  LeaveCriticalSection(&g_lock);
  return n;
}

int control_send(int client, const char* data, int length) {
  if (client != 0) return -1;
  EnterCriticalSection(&g_lock);
  int n = kWouldBlock;
  if (g_mail.gone) {
    n = -1;
  } else if (g_mail.out.size() < kMailboxLimit) {
    std::size_t room = kMailboxLimit - g_mail.out.size();
    n = static_cast<std::size_t>(length) < room ? length : static_cast<int>(room);
    g_mail.out.append(data, static_cast<std::size_t>(n));
  }
  LeaveCriticalSection(&g_lock);
  if (n > 0) SetEvent(g_answer);
  return n;
}

void control_end(int client) {
  if (client != 0 || g_pipe == INVALID_HANDLE_VALUE) return;
  EnterCriticalSection(&g_lock);
  g_mail.ended = true;
  LeaveCriticalSection(&g_lock);
  SetEvent(g_answer);
}

long control_wait_timeout_us(long timeout_us) {
  if (g_pipe == INVALID_HANDLE_VALUE) return timeout_us;
  EnterCriticalSection(&g_lock);
  bool busy = g_mail.state != MailState::kIdle;
  LeaveCriticalSection(&g_lock);
  return busy && timeout_us > kBusyWaitUs ? kBusyWaitUs : timeout_us;
}

bool control_request(const std::string& request, bool (*answer_complete)(const std::string& answer),
                     std::string* answer, std::string* why) {
  HANDLE pipe = INVALID_HANDLE_VALUE;
  DWORD started = GetTickCount();
  for (;;) {
    pipe = CreateFileA(kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                       nullptr);
    if (pipe != INVALID_HANDLE_VALUE) break;
    DWORD error = GetLastError();
    DWORD waited = GetTickCount() - started;
    // Another client is being served: wait for the pipe, 10 s at most.
    if (error != ERROR_PIPE_BUSY || waited >= kClientWaitMs) {
      *why = error == ERROR_PIPE_BUSY ? std::string(kPipeName) + ": busy for 10 s" : error_text(error);
      return false;
    }
    WaitNamedPipeA(kPipeName, kClientWaitMs - waited);
  }
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  // Each transfer waits 10 s at most.
  auto transfer = [&](bool write, char* data, DWORD length, DWORD* count) {
    OVERLAPPED overlapped;
    std::memset(&overlapped, 0, sizeof overlapped);
    overlapped.hEvent = event;
    ResetEvent(event);
    BOOL done = write ? WriteFile(pipe, data, length, nullptr, &overlapped)
                      : ReadFile(pipe, data, length, nullptr, &overlapped);
    if (!done && GetLastError() != ERROR_IO_PENDING) return GetLastError();
    if (WaitForSingleObject(event, kClientWaitMs) != WAIT_OBJECT_0) {
      CancelIo(pipe);
      GetOverlappedResult(pipe, &overlapped, count, TRUE);
      return static_cast<DWORD>(WAIT_TIMEOUT);
    }
    return GetOverlappedResult(pipe, &overlapped, count, FALSE) ? static_cast<DWORD>(ERROR_SUCCESS) : GetLastError();
  };
  std::string line = request + "\n";
  DWORD count = 0;
  DWORD error = event == nullptr ? GetLastError() : transfer(true, &line[0], static_cast<DWORD>(line.size()), &count);
  bool ok = error == ERROR_SUCCESS && count == line.size();
  answer->clear();
  char buffer[65536];
  while (ok) {
    error = transfer(false, buffer, sizeof buffer, &count);
    if (error == ERROR_BROKEN_PIPE) break;  // the service has closed: the answer is whole
    if (error != ERROR_SUCCESS) {
      ok = false;
      break;
    }
    answer->append(buffer, count);
    if (answer_complete(*answer)) break;
  }
  if (!ok) *why = error == WAIT_TIMEOUT ? std::string(kPipeName) + ": no answer for 10 s" : error_text(error);
  if (event != nullptr) CloseHandle(event);
  CloseHandle(pipe);
  return ok;
}
