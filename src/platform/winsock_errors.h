// The WinSock error numbers that the networking layer stores and explains,
// and the one translation from errno (and getaddrinfo answers) to them.
// Pure functions; safe from any thread.
#pragma once

namespace vm::platform {

inline constexpr int kWsaEintr = 10004;
inline constexpr int kWsaEbadf = 10009;
inline constexpr int kWsaEacces = 10013;
inline constexpr int kWsaEfault = 10014;
inline constexpr int kWsaEinval = 10022;
inline constexpr int kWsaEmfile = 10024;
inline constexpr int kWsaEwouldblock = 10035;
inline constexpr int kWsaEinprogress = 10036;
inline constexpr int kWsaEalready = 10037;
inline constexpr int kWsaEnotsock = 10038;
inline constexpr int kWsaEdestaddrreq = 10039;
inline constexpr int kWsaEmsgsize = 10040;
inline constexpr int kWsaEprototype = 10041;
inline constexpr int kWsaEnoprotoopt = 10042;
inline constexpr int kWsaEprotonosupport = 10043;
inline constexpr int kWsaEsocktnosupport = 10044;
inline constexpr int kWsaEopnotsupp = 10045;
inline constexpr int kWsaEpfnosupport = 10046;
inline constexpr int kWsaEafnosupport = 10047;
inline constexpr int kWsaEaddrinuse = 10048;
inline constexpr int kWsaEaddrnotavail = 10049;
inline constexpr int kWsaEnetdown = 10050;
inline constexpr int kWsaEnetunreach = 10051;
inline constexpr int kWsaEnetreset = 10052;
inline constexpr int kWsaEconnaborted = 10053;
inline constexpr int kWsaEconnreset = 10054;
inline constexpr int kWsaEnobufs = 10055;
inline constexpr int kWsaEisconn = 10056;
inline constexpr int kWsaEnotconn = 10057;
inline constexpr int kWsaEshutdown = 10058;
inline constexpr int kWsaEtoomanyrefs = 10059;
inline constexpr int kWsaEtimedout = 10060;
inline constexpr int kWsaEconnrefused = 10061;
inline constexpr int kWsaEloop = 10062;
inline constexpr int kWsaEnametoolong = 10063;
inline constexpr int kWsaEhostdown = 10064;
inline constexpr int kWsaEhostunreach = 10065;
inline constexpr int kWsaEproclim = 10067;
inline constexpr int kWsaSysnotready = 10091;
inline constexpr int kWsaVernotsupported = 10092;
inline constexpr int kWsaNotinitialised = 10093;
inline constexpr int kWsaEdiscon = 10101;
inline constexpr int kWsaHostNotFound = 11001;
inline constexpr int kWsaTryAgain = 11002;
inline constexpr int kWsaNoRecovery = 11003;
inline constexpr int kWsaNoData = 11004;

// WinSock number for an errno of a socket call; 0 for 0. An errno without a
// WinSock counterpart maps to the nearest general one (EINVAL's 10022 for
// argument faults, 10055 for resource shortages).
int WinsockErrorFromErrno(int err);

// WinSock number for a getaddrinfo answer (EAI_*); `err_no` is errno, read
// only for EAI_SYSTEM.
int WinsockErrorFromGai(int gai_error, int err_no);

}  // namespace vm::platform
