// The operating-system boundary. Everything the portable core needs from the
// OS is declared here with the project's own types; platform_win32.cpp and
// platform_posix.cpp implement it, and CMake compiles exactly one of them.
// No OS header is included by this file, and no OS type crosses it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------
// Sockets

// A socket handle. kNoSocket (all bits set) is the platform's invalid socket.
using Socket = std::intptr_t;
constexpr Socket kNoSocket = -1;

// The platform's "message too long" receive error: WSAEMSGSIZE (10040) on
// Windows, EMSGSIZE on POSIX.
extern const int kMessageTooLong;
// What the non-blocking TCP calls below return when the call would have had
// to wait; never a valid count.
constexpr int kWouldBlock = -2;

// An IPv4 socket address exactly as the OS filled it in: 16 bytes of
// sockaddr_in plus the length the OS reported.
struct SocketAddress {
  unsigned char bytes[16];
  int length;
};

// Starts the socket layer (Winsock 2.2). True on success. On POSIX it also
// raises the soft limit of open files to the hard limit, so that a few
// thousand forward sockets can exist at once.
bool net_start();
void net_cleanup();
// How many descriptors the process may hold at once, as far as the loop is
// concerned: POSIX, the soft RLIMIT_NOFILE (net_start has raised it to the
// hard one); Windows, where sockets have no such limit, the wait set's
// capacity, since a socket the wait cannot watch is of no use.
int descriptor_limit();

// A new unbound UDP/IPv4 socket, or kNoSocket. It is non-blocking: a
// receive with nothing queued fails (would-block) instead of waiting, and so
// does a send into a full buffer.
Socket udp_open();
// Binds to address (network byte order; 0 = all interfaces) and port.
bool udp_bind(Socket s, std::uint32_t address, int port);
// Connects a UDP socket, so that only datagrams from that peer are received.
// A later "port unreachable" from the peer makes the next receive fail
// (connection refused / WSAECONNRESET) where the OS reports it.
bool udp_connect(Socket s, std::uint32_t address, int port);
// For a socket that answers many peers: a peer that has gone away must not
// make a later receive fail. Windows reports an ICMP "port unreachable" for
// an earlier send as WSAECONNRESET on the next receive of any UDP socket;
// this switches that off (SIO_UDP_CONNRESET). POSIX reports such errors
// only on connected sockets, so there it does nothing. False on failure.
bool udp_ignore_unreachable(Socket s);
// Asks the OS to report with each datagram the local address it was sent
// to (IP_PKTINFO), for udp_receive_to / udp_send_from. False when the
// platform cannot; the socket then works as before.
bool udp_report_destination(Socket s);
// Asks for a receive buffer that holds a burst of small datagrams (a whole
// network's devices or resolvers at once), so that a burst is queued, not
// dropped, while the loop is busy. The OS may grant less (Linux caps it at
// net.core.rmem_max). False when the request itself failed.
constexpr int kBurstReceiveBuffer = 2 << 20;
bool udp_enlarge_receive_buffer(Socket s);
void socket_close(Socket s);
// The socket layer's last error (WSAGetLastError / errno).
int last_socket_error();
void set_last_socket_error(int error);

// Receives one datagram of at most `capacity` bytes. Returns its length, or
// -1 when the receive failed (would-block included); a datagram longer than
// capacity is discarded and reported as a failure with last_socket_error()
// == kMessageTooLong, with its sender in `from` all the same, so that the
// caller can tell whose it was. After any other failure from->length is 0.
// `from` may be null.
int udp_receive(Socket s, char* buffer, int capacity, SocketAddress* from);
// As udp_receive, but kWouldBlock when no datagram is queued; and *local
// gets the address the datagram was sent to (network byte order), or 0 when
// the OS did not say (udp_report_destination not in force, or not
// supported).
int udp_receive_to(Socket s, char* buffer, int capacity, SocketAddress* from,
                   std::uint32_t* local);
// Sends to `to` (its first `to.length` bytes). Returns bytes sent or -1.
int udp_send(Socket s, const char* data, int length, const SocketAddress& to);
// Sends to `to` from the local address `local` (as udp_receive_to gave it),
// so that the peer sees the answer come from the address it asked. With
// local 0, or where the OS refuses that source (a broadcast destination,
// say), it sends as udp_send does.
int udp_send_from(Socket s, const char* data, int length, const SocketAddress& to,
                  std::uint32_t local);
// Sends on a connected socket.
int udp_send_connected(Socket s, const char* data, int length);

// Datagrams in batches. Linux moves a whole batch with one system call
// (recvmmsg, sendmmsg). Windows has no such call in the versions the exe
// starts on: there a batch receive takes one datagram, so that the caller
// answers each before it takes the next, as without batches, and a batch
// send makes one call per datagram. Either way each datagram meets exactly
// the rules of the single calls above.
constexpr int kMaxDatagramBatch = 32;

// One datagram of a batch receive. The caller points `data` at `capacity`
// bytes of its own; udp_receive_batch fills in the rest.
struct ReceivedDatagram {
  char* data;
  int capacity;
  int length;           // bytes received, or -1 when this receive failed
  int error;            // 0, or the failure's error (last_socket_error's kind)
  SocketAddress from;   // the sender; from.length 0 when the OS did not say
  std::uint32_t local;  // the address it was sent to, as udp_receive_to has it
};
// Takes up to `count` (at most kMaxDatagramBatch; one on Windows) datagrams
// queued on the non-blocking socket `s`, in the order they arrived, without
// waiting. Returns how many entries it filled: 0 when nothing was queued.
// *drained tells whether it found the queue empty behind them, so that the
// caller need not ask again before its next wait (set when it returns 0; a
// failure that ends the batch leaves it false). Each entry is one datagram,
// as udp_receive_to would take it:
// - a datagram longer than its entry's capacity is discarded and fills its
//   entry with length -1, error kMessageTooLong and its sender in `from`
//   (so the caller can tell whose it was); the batch goes on behind it;
// - `from` is the sender exactly as the OS filled it in, with its length,
//   and `local` the address the datagram was sent to, read from that
//   datagram's own IP_PKTINFO (0 without udp_report_destination): one batch
//   may hold datagrams from many senders sent to several addresses of the
//   machine, and each entry answers for its own;
// - a receive that fails otherwise fills one last entry with length -1, the
//   error and from.length 0, and ends the batch (what was taken before it
//   stays taken).
int udp_receive_batch(Socket s, ReceivedDatagram* batch, int count, bool* drained);

// One datagram of a batch send: `length` bytes at `data` to `to`, from the
// local address `local` (0: the OS chooses). `error` is the send's result.
struct OutgoingDatagram {
  const char* data;
  int length;
  SocketAddress to;
  std::uint32_t local;
  int error;  // set by udp_send_batch: 0 when sent, else the send's error
};
// Sends batch[0, count) on `s` in order, each exactly as udp_send_from
// would send it (the fallback to the default source included). A send that
// stops part-way (Linux's sendmmsg takes the datagrams before the first it
// refuses) goes on behind that one: a datagram the OS does not take (a full
// buffer: would-block; a destination it refuses) is lost alone, with its
// error in its entry, so a batch loses no datagram that as many single
// sends would have delivered, and the peer sees them in the batch's order.
// Returns how many were sent.
int udp_send_batch(Socket s, OutgoingDatagram* batch, int count);

// TCP. Every socket these calls give is non-blocking; none of them waits.
// A socket bound to `port` on all interfaces and listening, or kNoSocket
// (last_socket_error() tells why).
Socket tcp_listen(int port);
// Takes one waiting connection: a new socket, or kNoSocket when none is
// waiting (last_socket_error() is then the would-block error) or the accept
// failed. `from` may be null.
Socket tcp_accept(Socket listener, SocketAddress* from);
// True when `error` (a last_socket_error()) only says that the call would
// have had to wait.
bool socket_error_would_block(int error);
// Starts a connection to address:port (network byte order): a socket whose
// connect is under way, or kNoSocket when it failed at once (for example
// refused by the local host before any wait). The connect has finished once
// a wait reports the socket writable; tcp_connect_error then tells how.
Socket tcp_connect_start(std::uint32_t address, int port);
// 0 when the socket's connect succeeded, else its error (SO_ERROR).
int tcp_connect_error(Socket s);
// Sends up to `length` bytes: the count sent (possibly fewer), kWouldBlock
// when the buffer is full, -1 on failure.
int tcp_send(Socket s, const char* data, int length);
// Receives up to `capacity` bytes: the count received, 0 when the peer has
// closed its side, kWouldBlock when nothing is there yet, -1 on failure.
int tcp_receive(Socket s, char* buffer, int capacity);

// The local address a socket is bound to (getsockname); for a connected or
// connecting socket, the one the OS chose. False on failure.
bool socket_local_address(Socket s, SocketAddress* out);
// The IPv4 address (network byte order) held in a socket address.
std::uint32_t socket_address_ip(const SocketAddress& a);
// The port (host byte order) held in a socket address.
int socket_address_port(const SocketAddress& a);
// Builds an IPv4 socket address.
SocketAddress make_socket_address(std::uint32_t address, int port);
// A UDP socket bound to `port` on all interfaces, or kNoSocket with the
// bind's error as the last socket error.
inline Socket bind_udp_port(int port) {
  Socket s = udp_open();
  if (s == kNoSocket) return kNoSocket;
  if (!udp_bind(s, 0, port)) {
    // Keep the bind's error for the caller's log line across the close.
    int error = last_socket_error();
    socket_close(s);
    set_last_socket_error(error);
    return kNoSocket;
  }
  return s;
}

// Sends to an IPv4 address (network byte order) and port.
inline int udp_send_to(Socket s, const char* data, int length, std::uint32_t address, int port) {
  return udp_send(s, data, length, make_socket_address(address, port));
}

// Fills `length` bytes from the operating system's cryptographic random
// generator (getrandom; RtlGenRandom on Windows), for what a spoofer must
// not guess: the IDs of relayed queries and of updates. False when the OS
// could not give them (the bytes are then unspecified).
bool random_bytes(void* out, std::size_t length);

// inet_addr: dotted decimal (and its shorter forms) to network byte order;
// 0xFFFFFFFF for text that is not an address.
constexpr std::uint32_t kAddressNone = 0xFFFFFFFFu;
std::uint32_t parse_ipv4(const char* text);
// inet_ntoa: network byte order to dotted decimal.
std::string format_ipv4(std::uint32_t address);
// The machine's own host name as gethostname gives it, or "" when that
// fails.
std::string machine_host_name();

// An IPv4 address range: the addresses a with (a & mask) == network. Both
// values in network byte order.
struct Ipv4Prefix {
  std::uint32_t network;
  std::uint32_t mask;
};
// An address of one of the machine's interfaces, with the mask of its
// subnet; both in network byte order.
struct InterfaceAddress {
  std::uint32_t address;
  std::uint32_t mask;
};
// The IPv4 addresses of the machine's interfaces, as the OS has them now,
// each with its own mask, loopback included where the OS lists it. False,
// with *error set and `out` untouched, when the OS could not be asked.
bool interface_addresses(std::vector<InterfaceAddress>* out, int* error);

// The set of sockets handed to the loop's one wait. Each socket is added with
// what it is watched for and gets a slot; after the wait, `ready` of each
// slot says what the socket is ready for, so the owner of a slot finds its
// answer without a search. Fixed storage: composing it allocates nothing.
// The capacity holds the registration socket, the DNS sockets, every
// pending forward and every TCP connection at once (the loop checks that).
constexpr int kWaitSetCapacity = 4352;
constexpr unsigned char kWaitRead = 1;
constexpr unsigned char kWaitWrite = 2;
struct WaitSet {
  int count;
  Socket handles[kWaitSetCapacity];
  unsigned char wanted[kWaitSetCapacity];  // kWaitRead | kWaitWrite
  unsigned char ready[kWaitSetCapacity];   // filled by wait_sockets
};
inline void wait_set_clear(WaitSet* set) { set->count = 0; }
// Adds `s` to be watched for `wanted`; returns its slot, or -1 when the set
// is full (the socket is then not watched). Adding a socket twice gives it
// two slots: the caller keeps them distinct.
inline int wait_set_add(WaitSet* set, Socket s, unsigned char wanted) {
  if (set->count >= kWaitSetCapacity) return -1;
  set->handles[set->count] = s;
  set->wanted[set->count] = wanted;
  set->ready[set->count] = 0;
  return set->count++;
}
// What the last wait found for `slot` (0 for slot -1).
inline unsigned char wait_set_ready(const WaitSet& set, int slot) {
  return slot >= 0 && slot < set.count ? set.ready[slot] : 0;
}
// Waits up to timeout_us microseconds until any socket of the set is ready
// for what it is watched for. An error or hang-up on a socket counts as
// ready for everything it is watched for, so that its owner's next call
// reports the error instead of the wait returning at once forever. A connect
// that failed counts as writable (Windows reports it apart; this hides
// that). Returns the number of ready slots, 0 on time-out, -1 on failure
// (every `ready` is then 0).
int wait_sockets(WaitSet* set, long timeout_us);

// A plain read set for callers that wait on a few sockets for reading only
// (the registration tool, tests): at most kReadSetCapacity handles.
constexpr int kReadSetCapacity = 4096;
struct ReadSet {
  int count;
  Socket handles[kReadSetCapacity];
};
inline void read_set_clear(ReadSet* set) { set->count = 0; }
inline bool read_set_has(const ReadSet& set, Socket s) {
  for (int i = 0; i < set.count; ++i) {
    if (set.handles[i] == s) return true;
  }
  return false;
}
// Adding a handle already present, or to a full set, changes nothing.
inline void read_set_add(ReadSet* set, Socket s) {
  if (set->count >= kReadSetCapacity || read_set_has(*set, s)) return;
  set->handles[set->count++] = s;
}
// Waits up to timeout_us microseconds for any socket of the set to become
// readable (or to report an error). Returns the number of ready sockets (the
// set then holds only those, in their original order), 0 on time-out, -1 on
// failure (the set's content is then unspecified).
// Built on wait_sockets, so the same on every platform.
inline int wait_readable(ReadSet* set, long timeout_us) {
  static WaitSet waits;
  wait_set_clear(&waits);
  for (int i = 0; i < set->count; ++i) wait_set_add(&waits, set->handles[i], kWaitRead);
  int n = wait_sockets(&waits, timeout_us);
  if (n <= 0) return n;
  int kept = 0;
  for (int i = 0; i < waits.count; ++i) {
    if (waits.ready[i] != 0) set->handles[kept++] = set->handles[i];
  }
  set->count = kept;
  return kept;
}

// ---------------------------------------------------------------------------
// Clocks

// Milliseconds from a monotonic clock, truncated to 32 bits so that it wraps
// after about 49.7 days (GetTickCount).
std::uint32_t tick_count_ms();

struct LocalTime {
  int year, month, day, hour, minute, second, millisecond;
};
LocalTime local_time_now();
// The local time of a moment given in seconds since 1970-01-01 00:00 UTC
// (millisecond 0); all zeros when the platform cannot convert it.
LocalTime local_time_at(std::uint64_t unix_seconds);

// ---------------------------------------------------------------------------
// Files and folders

// The separator used where paths are joined: '\\' on Windows, '/' on POSIX.
extern const char kPathSeparator;

// Makes binary the default open mode of the process (_fmode on Windows).
void set_binary_file_mode();

// The service's data folder without a trailing separator: the common
// application-data folder + "\Quellard\Tarvik", or "c:\" when the lookup
// fails; /etc/tarvik on POSIX, where the package puts main.conf.
std::string data_folder();
// The default hosts file: <system directory>\drivers\etc\hosts; /etc/hosts.
std::string default_hosts_path();
// The temporary folder as the platform reports it (GetTempPathA; TMPDIR or
// /tmp on POSIX), possibly ending in a separator. Empty on failure.
std::string temp_folder();

// Size of a file in bytes, or -1 when it cannot be queried.
long long file_size(const std::string& path);
bool delete_file(const std::string& path);

// Splits a path at its last separator ('/' on POSIX; '/', '\\' or a drive's
// ':' on Windows) into the folder and the file name. A path without one
// gives the folder "." and the whole path as its name.
void split_path(const std::string& path, std::string* folder, std::string* name);
// The names in a folder ("." and ".." left out), in no particular order.
// False when the folder cannot be read.
bool list_folder(const std::string& folder, std::vector<std::string>* names);

// The hosts file is text: on Windows its line ends are CR LF on disk and LF
// in memory, as the C runtime's text mode has them; POSIX keeps the bytes.
// Unlike text mode these keep every other byte, zero bytes and Ctrl+Z
// (which text mode takes for the end of the file) included. Both take their
// argument by value, so a caller done with it can move it in: POSIX then
// hands the same buffer back and a large file is never held twice.
std::string text_from_file_bytes(std::string bytes);
std::string text_to_file_bytes(std::string text);

// A short description of an error code reported by the file functions below
// (strerror on POSIX; on Windows the C runtime's text for the common open
// failures, the system's words for the others).
std::string file_error_text(int error);

// The system's own words for an error number (strerror; FormatMessageA
// without its trailing line end and full stop), "error N" when it has none.
std::string system_error_text(int error);

// An open file: a descriptor (POSIX) or a HANDLE (Windows). Every function
// below that fails puts the platform's error code (errno / GetLastError)
// into *error.
using FileHandle = std::intptr_t;
constexpr FileHandle kNoFile = -1;

// What tells one version of a file from another without reading it: the
// file itself (device and inode; volume serial and file index), its size and
// its modification time (nanoseconds; 100 ns units on Windows). A rename
// over the file or a write into it changes it.
struct FileIdentity {
  unsigned long long volume = 0;
  unsigned long long index = 0;
  long long size = -1;
  long long modified = 0;
  bool operator==(const FileIdentity& other) const {
    return volume == other.volume && index == other.index && size == other.size && modified == other.modified;
  }
  bool operator!=(const FileIdentity& other) const { return !(*this == other); }
};

enum class ReadResult { kRead, kMissing, kFailed };
enum class OpenResult { kOpened, kMissing, kNotRegular, kFailed };
// Reads the whole file, byte for byte. kMissing when nothing exists at the
// path (or one of its folders is missing), kFailed on any other failure,
// anything but a regular file (a FIFO, a device, a folder) included: the
// open never waits for a writer. With `identity`, it gets the identity of
// the file read, taken from the open file.
ReadResult read_whole_file(const std::string& path, std::string* bytes, int* error,
                           FileIdentity* identity = nullptr);
// Whether two identities name the same file (volume and index), whatever
// its size and time: a file written in place is still the same file.
inline bool same_file(const FileIdentity& a, const FileIdentity& b) {
  return a.volume == b.volume && a.index == b.index;
}
// The same checks and results as read_whole_file, for a file read in
// pieces: kRead with *f open for read_bytes (close it with close_file) and,
// with `identity`, the identity of the file opened.
ReadResult open_for_reading(const std::string& path, FileHandle* f, int* error,
                            FileIdentity* identity = nullptr);
// The identity of the file at `path` now (through links). False when there
// is none or it cannot be queried.
bool path_identity(const std::string& path, FileIdentity* identity);
// Where a file reached through symbolic links really lies, so that a
// replacement goes there and the links stay. A chain of links whose last
// target does not exist (yet) is followed by the links' text (readlink,
// relative to the folder of each link): *resolved is then the path of that
// missing target, where the file is to be created. The path as given when
// it holds no link (Windows: always as given). False, with *error, when a
// link cannot be followed (a loop: ELOOP; a link that cannot be read).
bool resolve_links(const std::string& path, std::string* resolved, int* error);

// Creates a new empty file for writing, or kNoFile. It fails when anything,
// a link included, exists at the path, and never follows a link
// (O_CREAT|O_EXCL|O_NOFOLLOW; CREATE_NEW). POSIX: the new file gets the
// permissions, and where the process may give them, the owner and group of
// the file at `model`; 0644 when there is none, and on Linux the extended
// attributes of `model` (SELinux label, POSIX ACL and the others) where it
// has them and the process may set them. Windows: the file gets the DACL of
// `model` where it can be read and set, else the ACL of its folder.
FileHandle create_new_file(const std::string& path, const std::string& model, int* error);
// Opens an existing file for writing without truncating it, never through a
// link on POSIX. kNoFile on failure.
FileHandle open_for_update(const std::string& path, int* error);
// Writes all of `bytes` at `offset`. False when any of it could not be
// written.
bool write_at(FileHandle f, long long offset, const std::string& bytes, int* error);
// Sets aside disk space for the first `length` bytes without changing the
// file's length, so that the writes after it cannot run out of space. True
// also where the file system cannot reserve (nothing is then promised);
// false when the space is not there.
bool reserve_space(FileHandle f, long long length, int* error);
// Cuts or extends the file to `length` bytes.
bool set_length(FileHandle f, long long length, int* error);
// Opens the log for appending, creating it when missing (as fopen "ab"
// would: mode 0666 less the umask; the folder's ACL on Windows). Every
// append lands at the end of the file as it is then. Whoever may write the
// log folder must not make the service write elsewhere, so a link (a
// reparse point on Windows) is never followed, and only a regular file owned
// by the process's user is taken (POSIX: the owner is checked): anything
// else is kNotRegular with `why` saying what it is.
OpenResult open_for_append(const std::string& path, FileHandle* f, int* error, const char** why);
// The size in bytes of an open file, or -1 when it cannot be queried.
long long open_file_size(FileHandle f);
// Appends `length` bytes to a file from open_for_append. False when any of
// it could not be written.
bool append_bytes(FileHandle f, const char* data, std::size_t length, int* error);
// Forces what has been written to disk (fsync / FlushFileBuffers).
bool flush_file(FileHandle f, int* error);
// Closes the file; a close that fails reports it.
bool close_file(FileHandle f, int* error);

// Opens a file for reading only when it is a regular file: a folder, a
// FIFO or a device is never read nor waited on (POSIX opens without
// blocking and checks the type on the open descriptor, so nothing can be
// swapped in between).
OpenResult open_regular_file(const std::string& path, FileHandle* f, int* error);
// Whether an open configuration file can only have been written by an
// administrator or the service's own user. POSIX: owned by root or the
// process's user and writable by neither group nor others. Windows: owned
// by SYSTEM, the Administrators or the process's user, with a DACL that
// grants no one else a right to change it (access_list_writers below).
// False with `why` saying what is wrong.
bool written_only_by_administrators(FileHandle f, const char** why);

// A Windows access list as the check above reads it, kept apart from the OS
// so the decision can be tested anywhere. Each entry is one ACE of the file's
// DACL: who it names (SYSTEM or the Administrators, the process's own user,
// anyone else), whether it allows or denies, whether it applies to the file
// itself (an inherit-only ACE only reaches the file's children) and its
// access mask.
enum class Trustee { kAdministrators, kServiceUser, kOther };
struct AccessEntry {
  Trustee who;
  bool allows;
  bool inherit_only;
  std::uint32_t mask;
};
// The rights that let their holder change what the file says, or replace it:
// FILE_WRITE_DATA, FILE_APPEND_DATA, DELETE, WRITE_DAC, WRITE_OWNER,
// GENERIC_ALL, GENERIC_WRITE and MAXIMUM_ALLOWED (which grants whatever the
// rest of the list allows).
constexpr std::uint32_t kChangeRights =
    0x2u | 0x4u | 0x10000u | 0x40000u | 0x80000u | 0x2000000u | 0x10000000u | 0x40000000u;
// Null when only administrators (and the service's user) may change a file
// with this owner and DACL; else the reason, worded for the log line
// "<file>: refused, it is <reason>". A file without a DACL is open to
// everyone. Denying ACEs are not weighed against allowing ones: a grant to
// anyone else is refused even where a deny before it would block it, since
// the order of a list is easily changed by whoever edits it next.
inline const char* access_list_writers(Trustee owner, bool has_dacl, const std::vector<AccessEntry>& dacl) {
  if (owner == Trustee::kOther) return "owned by another user";
  if (!has_dacl) return "without an access list, so writable by everyone";
  for (const AccessEntry& entry : dacl) {
    if (entry.allows && !entry.inherit_only && entry.who == Trustee::kOther &&
        (entry.mask & kChangeRights) != 0) {
      return "writable by users who are not administrators";
    }
  }
  return nullptr;
}
// Whether an open configuration file can only be read by an administrator
// or the service's own user, as one that holds a secret must be. POSIX:
// readable by neither group nor others. Windows: with a DACL that grants no
// one else a right to read it (access_list_readers below). False with `why`
// saying what is wrong.
bool readable_only_by_administrators(FileHandle f, const char** why);
// The command an administrator runs to make the file at `path` readable and
// writable by the administrators alone: "chmod 600 PATH" on POSIX, an icacls
// line on Windows.
std::string private_file_command(const std::string& path);

// The rights that let their holder read what the file says, or give
// themselves that right: FILE_READ_DATA, GENERIC_READ, GENERIC_ALL,
// MAXIMUM_ALLOWED, WRITE_DAC and WRITE_OWNER.
constexpr std::uint32_t kReadRights = 0x1u | 0x80000000u | 0x10000000u | 0x2000000u | 0x40000u | 0x80000u;
// Null when only administrators (and the service's user) may read a file
// with this owner and DACL; else the reason, worded for the log line
// "<file>: refused, it holds ... and is <reason>". Weighed as
// access_list_writers weighs the rights to change it.
inline const char* access_list_readers(Trustee owner, bool has_dacl, const std::vector<AccessEntry>& dacl) {
  if (owner == Trustee::kOther) return "owned by another user";
  if (!has_dacl) return "without an access list, so readable by everyone";
  for (const AccessEntry& entry : dacl) {
    if (entry.allows && !entry.inherit_only && entry.who == Trustee::kOther &&
        (entry.mask & kReadRights) != 0) {
      return "readable by users who are not administrators";
    }
  }
  return nullptr;
}
// Reads up to `capacity` bytes: the count, 0 at the end of the file, -1 on
// failure.
long read_bytes(FileHandle f, char* buffer, std::size_t capacity, int* error);

// The outcome of the moves below, which all work within one folder and,
// once they succeed, force the folder to disk (POSIX; the rename is then
// durable, and a folder that cannot be synced changes nothing).
//   kReplaced       done
//   kBusy           `to` is a mount point and cannot be replaced (EBUSY,
//                   POSIX only): nothing has changed
//   kTargetChanged  what lies at `to` is not what the call needs (see
//                   each): nothing has changed
//   kUnsupported    the platform or the file system has no such step:
//                   nothing has changed, replace_file is the way left
//   kFailed         any other failure, with *error: nothing has changed
enum class ReplaceResult { kReplaced, kBusy, kTargetChanged, kUnsupported, kFailed };
// Moves `from` over `to`, replacing it in one step (rename; MoveFileExA with
// MOVEFILE_REPLACE_EXISTING|MOVEFILE_WRITE_THROUGH). Whatever lies at `to`
// at that moment is gone: callers check just before, and on Windows the
// moment between the check and the move stays open.
ReplaceResult replace_file(const std::string& from, const std::string& to, int* error);
// Swaps the files at `from` and `to` in one step (Linux: renameat2 with
// RENAME_EXCHANGE): `to` is never missing, and the file that lay there at
// that very moment is then at `from`, where the caller can look at it and,
// with a second call, put it back. So no file another program puts at `to`
// is ever lost. kTargetChanged when nothing is at `to`; kUnsupported on
// Windows and other POSIX systems, and where the file system refuses the
// flag.
ReplaceResult exchange_files(const std::string& from, const std::string& to, int* error);
// Moves `from` to `to` only while nothing is there (renameat2 with
// RENAME_NOREPLACE; MoveFileExA without MOVEFILE_REPLACE_EXISTING), so a file
// another program creates at `to` meanwhile is never replaced:
// kTargetChanged when something is at `to`; kUnsupported where the file
// system refuses the flag.
ReplaceResult move_to_free_name(const std::string& from, const std::string& to, int* error);

// ---------------------------------------------------------------------------
// One background thread

// Starts a thread running body(argument) for the rest of the process. False
// when it cannot be started. The thread runs well below the loop (Linux
// nice 10, Windows THREAD_PRIORITY_LOWEST), so the loop, once woken, runs at
// once, yet it still gets time on a machine whose cores are busy. It takes no
// signal but those of a fault (POSIX), which reach the crash handler as on
// the loop's thread, on an alternate stack of its own.
bool start_thread(void (*body)(void*), void* argument);
// A wake-up for the background thread: wait_for_wake_up returns once
// wake_up has been called since its last return (at once if it has).
// wake_up never waits for the background thread, which may be held off its
// core: it takes no lock that thread could hold. There is no shared lock:
// the thread and the loop hand data over with atomics (see hosts.cpp).
void wake_up();
void wait_for_wake_up();
// Lets `ms` milliseconds pass.
void sleep_ms(int ms);

// ---------------------------------------------------------------------------
// Service control and process

// True in service mode (started by the service manager, a stop event
// exists); false in console mode.
bool service_mode();
// Registers the console stop handler: Ctrl+C and the other console events
// (SIGINT, SIGTERM on POSIX) clear the running flag. SIGHUP asks for a
// reload instead, in both modes (take_reload_request). On Windows the
// close, logoff and shutdown events end the process as soon as the handler
// returns, so for those it also waits, at most 5 s, until
// report_shutdown_complete has been called.
void install_console_stop_handler();
// True once for every time a reload of the configuration was asked for
// since the last call, however many asks came in between: SIGHUP on POSIX
// (console and service mode; the handler is installed by
// install_console_stop_handler and run_as_service), the service control
// SERVICE_CONTROL_PARAMCHANGE (`sc control Tarvik paramchange`) on Windows.
// Never blocks; a signal that arrives during the loop's wait ends the wait
// (POSIX), a service control is seen at the loop's next turn (Windows).
bool take_reload_request();
// How the log names such a request: "SIGHUP", "PARAMCHANGE".
extern const char kReloadRequestName[];
// Called once the shutdown (with its final hosts-file write) is done: lets a
// waiting console event handler return. Nothing to do on POSIX.
void report_shutdown_complete();
// The stop test: true to go on. Polls the stop event in service mode, the
// running flag in console mode; never blocks.
bool service_keep_running();
// Service mode only: tells the service manager the service runs.
void report_service_running();
// Service mode only: the one line the service manager shows as what the
// service is doing (systemd: "STATUS=<text>", shown by `systemctl status`).
// Windows' service manager shows no such text: nothing is sent there.
// Console mode: nothing. Each call sends; the caller sends only changes.
void report_service_text(const std::string& text);
// Service mode only: a reload has begun (reloading true) or ended
// (systemd: "RELOADING=1", then "READY=1"). Nothing on Windows, whose
// service stays RUNNING through a reload.
void report_service_reloading(bool reloading);
// Ends the process at once with exit code `code` (TerminateProcess); the
// runtime's exit processing does not run.
[[noreturn]] void end_process(int code);

// Runs `service_body` as the service "Tarvik" under the service manager.
// A body that returns false could not start, and *failure (one line) says
// why: that is reported to the service manager as a failure (Windows:
// stopped with the service-specific exit code 1) and to the event log or
// syslog ("service_start() failed: <failure>"), so an admin sees why the
// service is not running without opening the log file. Returns the
// process exit code: on POSIX 1 when the body could not start, so that the
// service manager sees a failed start (not a clean exit before READY),
// else 0; on Windows 0 in every case, as the service manager has been told
// and the dispatcher's own failure is reported to the event log.
int run_as_service(bool (*service_body)(std::string* failure));
// True when standard error is a stream to the journal: JOURNAL_STREAM (set
// by systemd for a service whose output goes to the journal) names the
// device and inode of the stream standard error is, so a program started
// from such a service with its own standard error is not mistaken for it.
// Always false on Windows.
bool stderr_is_journal();
// Windows: reports `text` to the Event Log as an error event of the source
// "Tarvik", whose message-table text is the string itself, so Event Viewer
// shows the log record as it is. POSIX: nothing, as the journal (or syslog
// through the service manager) has the record from standard error already.
void report_error_event(const char* text);
// Registers the service with the service manager, printing the outcome.
void install_service();
// Installs the crash handler that writes the dump and logs the crash.
void install_crash_handler();

// ---------------------------------------------------------------------------
// Control channel: the administrators' local door into the running service
//
// POSIX: a Unix stream socket `control` in the runtime folder
// (control_location), root's (the service's user's) with mode 0600, in a
// folder made 0700 when missing; only clients of uid 0 or the service's
// own uid are taken (SO_PEERCRED). Its clients are sockets that the loop
// watches in its wait set.
// Windows: the named pipe \\.\pipe\Tarvik, whose DACL lets SYSTEM and the
// Administrators in and denies network logons, and which refuses remote
// clients. Winsock's select cannot wait on a pipe, so a thread of its own
// serves it: it takes one client at a time, reads its request line (at
// most 2 s, at most kControlRequestLimit bytes), and hands it to the loop
// through a mailbox under a lock of its own; the loop finds it at its next
// turn (control_wait_timeout_us keeps that turn within 20 ms while the
// mailbox is busy), answers into the mailbox, and the thread writes the
// answer out (each write at most 5 s), waits up to 2 s for the client to
// close its end (so that nothing unread is discarded), then lets it go.
//
// A client is a number from 0 to kMaxControlClients - 1 (on Windows
// always 0, one client at a time). The loop's thread
// makes every call below (except control_request, the command side), and
// none of them waits.

constexpr int kMaxControlClients = 4;
constexpr int kNoControlClient = -1;
// The longest request line, its line end included.
constexpr int kControlRequestLimit = 512;

// Where the channel is: the socket's path (the runtime folder is
// $RUNTIME_DIRECTORY, its first entry when it lists several, or else
// /run/tarvik), or the pipe's name.
std::string control_location();

enum class ControlOpen { kOpened, kInUse, kFailed };
// Opens the channel. kInUse when another running instance answers on it
// (it is then left alone); kFailed, with *why (the system's words, or what
// is wrong with the folder: not a folder, writable by others), when it
// cannot be opened. A socket that a run which ended left behind is
// replaced.
ControlOpen control_open(std::string* why);
// Ends every client and closes the channel (POSIX: removes the socket, if
// it is still the one this run made).
void control_close();

// Adds the listener to the wait set (POSIX), and a client with what it
// waits for (kWaitRead / kWaitWrite). Nothing on Windows.
void control_watch_listener(WaitSet* set);
void control_watch_client(WaitSet* set, int client, unsigned char wanted);
// Whether the last wait found a client waiting to be taken / `client`
// ready. Windows: whether the mailbox holds a new request / always true.
bool control_listener_ready(const WaitSet& set);
bool control_client_ready(const WaitSet& set, int client);
// Takes a waiting client into a free number: the number, or
// kNoControlClient when none waits or none is free. An accept that fails
// for want of descriptors or memory leaves the listener out of the wait
// for 100 ms (POSIX), so the loop does not spin on it. *peer says who it is,
// for the log: "uid U pid P" (POSIX), "user DOMAIN\NAME pid P" (Windows).
// A client of another uid is closed at once and given as "refused" in
// *peer, with kNoControlClient.
int control_accept(std::string* peer);
// The count received (at most `capacity`), 0 when the client has closed
// its side, kWouldBlock when nothing is there yet, -1 on failure.
int control_receive(int client, char* buffer, int capacity);
// The count taken for sending (possibly fewer than `length`), kWouldBlock
// when nothing fits now, -1 when the client has gone.
int control_send(int client, const char* data, int length);
// Lets the client go: what was taken for sending still reaches it
// (Windows: within 5 s). Its number is free for the next client at once
// (POSIX) or once the pipe thread is done with it (Windows).
void control_end(int client);
// The longest the loop may wait so that the channel is served on time:
// `timeout_us` on POSIX, where its sockets wake the wait; at most 20 ms on
// Windows while the mailbox holds a request or an answer under way.
long control_wait_timeout_us(long timeout_us);

// The command side (`tarvik status` and the others): sends `request` (one
// line, without its line end) and reads the whole answer, until the
// service closes or `answer_complete` says the answer is whole. False,
// with *why ("PATH: the system's words"), when the channel cannot be
// reached or the exchange fails or stalls for 10 s.
bool control_request(const std::string& request, bool (*answer_complete)(const std::string& answer),
                     std::string* answer, std::string* why);

// ---------------------------------------------------------------------------
// Crypto and wall clock, for signed messages

enum class HmacAlgorithm { kSha256, kSha512 };
// The HMAC of `data` under `key`, computed by the operating system's crypto
// (libcrypto on POSIX, CNG on Windows): 32 or 64 bytes into *mac. False,
// with *mac empty, when the OS could not compute it. POSIX loads libcrypto
// at the first call, so that a process that signs nothing never maps it;
// when it cannot be loaded that is logged once (level 1) and every call is
// false. For the loop's thread only.
bool hmac(HmacAlgorithm algorithm, const std::string& key, const std::string& data,
          std::string* mac);
// Seconds since 1970-01-01 00:00 UTC.
std::uint64_t unix_time_seconds();
