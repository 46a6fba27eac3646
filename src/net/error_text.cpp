#include "net/error_text.h"

#include <string_view>

#include "net/net_runtime.h"
#include "platform/ascii_text.h"

namespace vm::net {

namespace {

struct Row {
  int32_t number;
  const char* text;
};

// "(" symbol ") " title "." and an explanation; a few rows have a short form.
constexpr Row kWinsockTexts[] = {
    {6,
     "(WSA_INVALID_HANDLE) One or more parameters are invalid. An application used an event object "
     "handle that is not valid."},
    {8,
     "(WSA_NOT_ENOUGH_MEMORY) Insufficient memory available. An application used a function that "
     "maps to a system function that could not get the memory it needed."},
    {995,
     "(WSA_OPERATION_ABORTED) Overlapped operation aborted. An overlapped operation was cancelled "
     "because the socket was closed or the operation was cancelled."},
    {996,
     "(WSA_IO_INCOMPLETE) Overlapped I/O event object not in signalled state. The application "
     "asked for the result of an overlapped operation that has not completed yet."},
    {997,
     "(WSA_IO_PENDING) Overlapped operations will complete later. The application started an "
     "overlapped operation that cannot be completed at once; it will be completed later."},
    {10004,
     "(WSAEINTR) Interrupted function call. A blocking operation was interrupted by a call that "
     "cancelled it."},
    {10009, "WSAEBADF (BadF)"},
    {10013,
     "(WSAEACCES) Permission denied. An attempt was made to access a socket in a way forbidden by "
     "its access permissions, such as sending to a broadcast address without permission."},
    {10014,
     "(WSAEFAULT) Bad address. The system detected an invalid pointer address while trying to use "
     "a pointer argument of a call, or a buffer length that is too small."},
    {10022,
     "(WSAEINVAL) Invalid argument. An invalid argument was supplied, or the socket is in a state "
     "in which the call is not allowed."},
    {10024, "(WSAEMFILE) Too many open files. Too many open sockets."},
    {10035,
     "(WSAEWOULDBLOCK) Resource temporarily unavailable. A non-blocking socket operation could not "
     "be completed immediately; it may be retried later."},
    {10036,
     "(WSAEINPROGRESS) Operation now in progress. A blocking operation is currently running, and "
     "only one may run at a time."},
    {10037,
     "(WSAEALREADY) Operation already in progress. An operation was attempted on a non-blocking "
     "socket that already had an operation in progress."},
    {10038,
     "(WSAENOTSOCK) Socket operation on non-socket. An operation was attempted on something that "
     "is not a socket."},
    {10039,
     "(WSAEDESTADDRREQ) Destination address required. A required address was left out of an "
     "operation on a socket."},
    {10040,
     "(WSAEMSGSIZE) Message too long. A message sent on a datagram socket was larger than the "
     "internal message buffer or another network limit."},
    {10041,
     "(WSAEPROTOTYPE) Protocol wrong type for socket. A protocol was given that does not support "
     "the semantics of the socket type requested."},
    {10042,
     "(WSAENOPROTOOPT) Bad protocol option. An unknown, invalid or unsupported option or level was "
     "given in a socket option call."},
    {10043,
     "(WSAEPROTONOSUPPORT) Protocol not supported. The requested protocol has not been configured "
     "into the system, or no implementation of it exists."},
    {10044,
     "(WSAESOCKTNOSUPPORT) Socket type not supported. The support for the specified socket type "
     "does not exist in this address family."},
    {10045,
     "(WSAEOPNOTSUPP) Operation not supported. The attempted operation is not supported for the "
     "type of object referenced."},
    {10046,
     "(WSAEPFNOSUPPORT) Protocol family not supported. The protocol family has not been configured "
     "into the system or no implementation of it exists."},
    {10047,
     "(WSAEAFNOSUPPORT) Address family not supported by protocol family. An address incompatible "
     "with the requested protocol was used."},
    {10048,
     "(WSAEADDRINUSE) Address already in use. Only one usage of each socket address (protocol/IP "
     "address/port) is normally permitted. This error occurs if an application attempts to bind a "
     "socket to an IP address/port that has already been used for an existing socket, or a socket "
     "that was not closed properly, or one that is still in the process of closing."},
    {10049, "(WSAEADDRNOTAVAIL) The specified address is not available from the local computer."},
    {10050, "(WSAENETDOWN) Network is down. A socket operation encountered a dead network."},
    {10051,
     "(WSAENETUNREACH) Network is unreachable. A socket operation was attempted to an unreachable "
     "network."},
    {10052,
     "(WSAENETRESET) Network dropped connection on reset. The connection was broken because "
     "keep-alive activity detected a failure while the operation was in progress."},
    {10053,
     "(WSAECONNABORTED) Software caused connection abort. An established connection was aborted by "
     "the software in your host machine, possibly due to a data transmission timeout or protocol "
     "error."},
    {10054,
     "(WSAECONNRESET) Connection reset by peer. An existing connection was forcibly closed by the "
     "remote host."},
    {10055,
     "(WSAENOBUFS) No buffer space available. An operation on a socket could not be performed "
     "because the system lacked sufficient buffer space or because a queue was full."},
    {10056,
     "(WSAEISCONN) Socket is already connected. A connect request was made on an already connected "
     "socket."},
    {10057,
     "(WSAENOTCONN) Socket is not connected. A request to send or receive data was disallowed "
     "because the socket is not connected."},
    {10058,
     "(WSAESHUTDOWN) Cannot send after socket shutdown. A request to send or receive data was "
     "disallowed because the socket had already been shut down in that direction."},
    {10059, "(WSAETOOMANYREFS) WSAETOOMANYREFS (too many refs)"},
    {10060,
     "(WSAETIMEDOUT) Connection timed out. A connection attempt failed because the connected party "
     "did not properly respond after a period of time, or established connection failed because "
     "connected host has failed to respond."},
    {10061,
     "(WSAECONNREFUSED) Connection refused. No connection could be made because the target machine "
     "actively refused it."},
    {10062, "WSAELOOP (loop)"},
    {10063, "WSAENAMETOOLONG (name too long)"},
    {10064,
     "(WSAEHOSTDOWN) Host is down. A socket operation failed because the destination host was "
     "down."},
    {10065,
     "(WSAEHOSTUNREACH) No route to host. A socket operation was attempted to an unreachable "
     "host."},
    {10066, "WSAENOTEMPTY (not empty)"},
    {10067,
     "(WSAEPROCLIM) Too many processes. The socket implementation limits the number of "
     "applications that may use it at the same time."},
    {10068, "(WSAEUSERS) WSAEUSERS (users)"},
    {10069, "WSAEDQUOT (DQuot)"},
    {10070, "(WSAESTALE) WSAESTALE (stale)"},
    {10071, "WSAEREMOTE (remote)"},
    {10091,
     "(WSASYSNOTREADY) Network subsystem is unavailable. The underlying network subsystem is not "
     "ready for network communication."},
    {10092,
     "(WSAVERNOTSUPPORTED) WINSOCK.DLL version out of range. The socket implementation does not "
     "support the version of the interface requested."},
    {10093,
     "(WSANOTINITIALISED) Successful WSAStartup not yet performed. The application has not started "
     "the socket library, or it was already cleaned up."},
    {10101,
     "(WSAEDISCON) Graceful shutdown in progress. The remote party has started a graceful shutdown "
     "sequence."},
    {10104,
     "(WSAEINVALIDPROCTABLE) Invalid procedure table from service provider. A service provider "
     "returned a bogus procedure table."},
    {10105,
     "(WSAEINVALIDPROVIDER) Invalid service provider version number. A service provider returned a "
     "version number other than the one supported."},
    {10106,
     "(WSAEPROVIDERFAILEDINIT) Unable to initialize a service provider. Either a service provider "
     "could not be loaded or its start-up function failed."},
    {10107,
     "(WSASYSCALLFAILURE) System call failure. A system call that should never fail has failed."},
    {10109, "(WSATYPE_NOT_FOUND) Class type not found. The specified class was not found."},
    {11001,
     "(WSAHOST_NOT_FOUND) Host not found. No such host is known. The name is not an official "
     "hostname or alias, or it cannot be found in the database(s) being queried."},
    {11002,
     "(WSATRY_AGAIN) Non-authoritative host not found. This is usually a temporary error during "
     "host name resolution; the local server did not receive a response from an authoritative "
     "server."},
    {11003,
     "(WSANO_RECOVERY) This is a non-recoverable error. A non-recoverable error occurred during a "
     "database lookup."},
    {11004,
     "(WSANO_DATA) Valid name, no data record of requested type. The requested name is valid and "
     "was found in the database, but it does not have the correct associated data being resolved "
     "for."},
};
static_assert(sizeof(kWinsockTexts) / sizeof(kWinsockTexts[0]) == 61);

// Library texts: number, NetErrorStr text, InterpretError text (nullptr = the same).
struct LibRow {
  int32_t number;
  const char* text;
  const char* object_text;
};

constexpr LibRow kLibraryTexts[] = {
    {-1, "Linkora DLL not actively initiated", nullptr},
    {-2, "Linkora DLL already active. Certain options can't be set once the DLL is loaded.",
     nullptr},
    {-3, "Too many Linkora instances on one machine", nullptr},
    {-4, "Invalid structure size", nullptr},
    {-5, "Main start sequence faile", nullptr},
    {-6, "Wait timeout", nullptr},
    {-7, "Accepted data too short", nullptr},
    {-8, "Data is out of topic", nullptr},
    {-9, "Unknown packet type received", nullptr},
    {-10, "Not all data sent", nullptr},
    {-11, "Not all data received", nullptr},
    {-12, "You are trying to send data to someone who is not in the receivers (servers) list.",
     nullptr},
    {-13, "No request", nullptr},
    {-14, "Request not found", nullptr},
    {-15, "No servers", nullptr},
    {-16, "Server not found", nullptr},
    {-17, "Service not supported", nullptr},
    {-18, "Bad response address", nullptr},
    {-19, "New thread failed", nullptr},
    {-20, "Address not found", nullptr},
    {-21, "Incorrect DLL version", nullptr},
    {-22, "Bad parameters passed to function", nullptr},
    {-23, "Too many listening sockets. The maximum has been reached", nullptr},
    {-24, "Socket dead. Could not find socket in listening queue", nullptr},
    {-25, "An incompatible packet version was received", nullptr},
    {-26, "This machine has no IP address", nullptr},
    {-27, "The service is marked as inactive, because a previous error occurred", nullptr},
    {-28, "The simple connection was not closed properly", nullptr},
    {-29, "Too many sending sockets. The maximum has been reached", nullptr},
    {-30,
     "An error occurred while trying to access a memory queue (read or write error). The queue "
     "could be full or there is not enough memory",
     nullptr},
    {-31, "An error occurred while trying to load the Linkora DLL. The DLL could not be loaded.",
     nullptr},
    {-32, "Unable to allocate the requested memory", nullptr},
    {-33,
     "Host or Socket not specified. Please set the <object>.packet.ToIp and "
     "<object>.packet.OnSocket before NetSimple sending data.",
     "Host or Socket not specified. Please set the <object>.packet.ToIp and "
     "<object>.packet.OnSocket before sending data."},
    {-34, "Could not find connected client in Simple Connect Client or Server", nullptr},
    {-35, "An error occurred while trying to access a file", nullptr},
    {-36, "The connection is not open", nullptr},
    {-37, "The Linkora object requires more properties to contain valid values", nullptr},
    {-38, "This functionality is no longer supported", nullptr},
    {-39, "Could not open a connection to the specified host machine", nullptr},
    {-40, "Could not send NetSimple Data", nullptr},
    {-41, "A General FTP error occurred", "a General FTP error occurred"},
    {-42, "Invalid String Size", nullptr},
    {-43, "No Dial-Up Networking Entry. You need a Dial-Up Entry before you can dial.",
     "No Phone Book Entry. You need a Phone Book Entry before you can dial."},
    {-44, "The DUN (Dial-Up) Object is not in the DLL queue.",
     "The Ras Object is not in the DLL queue."},
    {-45, "The DUN (Dial-Up) Object is busy opening another RAS connection.",
     "The Ras Object is busy opening another RAS connection."},
    {-46, "Could Not Load the Dial-Up Networking Windows Procedures. DUN will be disabled.",
     nullptr},
    {-47, "Could not load the WinSock DLL. Linkora needs this to be able to work.", nullptr},
    {-48, "Call Back Window Already Closed", nullptr},
    {-49, "Could not create new thread to start Linkora DLL Callback Window", nullptr},
    {-50, "Could not load some run-time procedures", nullptr},
    {-51, "Received a corrupt packet", nullptr},
    {-52, "No Posting Allowed", "No Posting allowing"},
    {-53, "Timeout error", nullptr},
    {-54, "Ping unsuccessful", nullptr},
};

// Rows added for secured connections and login. A connection's own error
// text may add detail after the colon (NetSimple::InterpretError).
constexpr LibRow kSecureTexts[] = {
    {-60, "The server does not offer STARTTLS", nullptr},
    {-61, "The TLS handshake failed", nullptr},
    {-62, "The server's certificate is not trusted", nullptr},
    {-63, "The server's certificate does not name the server", nullptr},
    {-64, "The server offers no login this program can use", nullptr},
    {-65, "Login not sent: the connection is not encrypted and the server is not local", nullptr},
};

constexpr size_t kNetErrorStrWidth = 255;
constexpr size_t kInterpretWidth = 512;

const LibRow* FindLibrary(int32_t error) {
  if (error <= -1 && error >= -54) return &kLibraryTexts[-error - 1];
  for (const LibRow& row : kSecureTexts) {
    if (row.number == error) return &row;
  }
  return nullptr;
}

}  // namespace

std::string NetErrorStr(int32_t error) {
  if (const LibRow* row = FindLibrary(error))
    return std::string(row->text).substr(0, kNetErrorStrWidth);
  std::string text;
  for (const Row& row : kWinsockTexts) {
    if (row.number == error) {
      text = row.text;
      break;
    }
  }
  if (text.empty())
    text = "General Winsock Error (unknown by NetErrorStr) [" + std::to_string(error) + "]";
  if (text.size() > kNetErrorStrWidth) text.resize(kNetErrorStrWidth);
  if (NetRuntime* rt = NetRuntime::Current(); rt != nullptr && rt->any_trace()) {
    rt->TraceLine(
        "Error (" + std::to_string(error) + ") = " + std::string(platform::TrimRight(text)),
        "NetErrorStr", kTraceError);
  }
  return text;
}

std::string InterpretErrorText(int32_t error) {
  std::string text;
  if (error == 0) {
    text = "General Object level error";
  } else if (const LibRow* row = FindLibrary(error)) {
    text = row->object_text != nullptr ? row->object_text : row->text;
  } else {
    text = std::string(platform::TrimRight(NetErrorStr(error))) + " [listed by NetErrorStr]";
  }
  if (text.size() > kInterpretWidth) text.resize(kInterpretWidth);
  return text;
}

}  // namespace vm::net
