#include "platform/winsock_errors.h"

#include <netdb.h>

#include <cerrno>

namespace vm::platform {

int WinsockErrorFromErrno(int err) {
  switch (err) {
    case 0:
      return 0;
    case EINTR:
      return kWsaEintr;
    case EBADF:
      return kWsaEbadf;
    case EACCES:
    case EPERM:
      return kWsaEacces;
    case EFAULT:
      return kWsaEfault;
    case EINVAL:
      return kWsaEinval;
    case EMFILE:
    case ENFILE:
      return kWsaEmfile;
    case EAGAIN:
      return kWsaEwouldblock;  // EWOULDBLOCK is the same number here
    case EINPROGRESS:
      return kWsaEinprogress;
    case EALREADY:
      return kWsaEalready;
    case ENOTSOCK:
      return kWsaEnotsock;
    case EDESTADDRREQ:
      return kWsaEdestaddrreq;
    case EMSGSIZE:
      return kWsaEmsgsize;
    case EPROTOTYPE:
      return kWsaEprototype;
    case ENOPROTOOPT:
      return kWsaEnoprotoopt;
    case EPROTONOSUPPORT:
      return kWsaEprotonosupport;
    case ESOCKTNOSUPPORT:
      return kWsaEsocktnosupport;
    case EOPNOTSUPP:
      return kWsaEopnotsupp;  // ENOTSUP is the same number here
    case EPFNOSUPPORT:
      return kWsaEpfnosupport;
    case EAFNOSUPPORT:
      return kWsaEafnosupport;
    case EADDRINUSE:
      return kWsaEaddrinuse;
    case EADDRNOTAVAIL:
      return kWsaEaddrnotavail;
    case ENETDOWN:
      return kWsaEnetdown;
    case ENETUNREACH:
      return kWsaEnetunreach;
    case ENETRESET:
      return kWsaEnetreset;
    case ECONNABORTED:
      return kWsaEconnaborted;
    case ECONNRESET:
    case EPIPE:
      return kWsaEconnreset;  // writing to a connection the peer has reset
    case ENOBUFS:
    case ENOMEM:
      return kWsaEnobufs;
    case EISCONN:
      return kWsaEisconn;
    case ENOTCONN:
      return kWsaEnotconn;
    case ESHUTDOWN:
      return kWsaEshutdown;
    case ETOOMANYREFS:
      return kWsaEtoomanyrefs;
    case ETIMEDOUT:
      return kWsaEtimedout;
    case ECONNREFUSED:
      return kWsaEconnrefused;
    case ELOOP:
      return kWsaEloop;
    case ENAMETOOLONG:
      return kWsaEnametoolong;
    case EHOSTDOWN:
      return kWsaEhostdown;
    case EHOSTUNREACH:
      return kWsaEhostunreach;
    case EPROTO:
      return kWsaEconnaborted;  // a protocol fault ends the connection
    default:
      return kWsaEinval;
  }
}

int WinsockErrorFromGai(int gai_error, int err_no) {
  switch (gai_error) {
    case 0:
      return 0;
    case EAI_NONAME:
      return kWsaHostNotFound;
#ifdef EAI_NODATA
    case EAI_NODATA:
      return kWsaNoData;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
      return kWsaNoData;
#endif
    case EAI_AGAIN:
      return kWsaTryAgain;
    case EAI_FAIL:
      return kWsaNoRecovery;
    case EAI_MEMORY:
      return kWsaEnobufs;
    case EAI_FAMILY:
      return kWsaEafnosupport;
    case EAI_SOCKTYPE:
      return kWsaEsocktnosupport;
    case EAI_SERVICE:
      return kWsaEinval;
    case EAI_BADFLAGS:
      return kWsaEinval;
    case EAI_SYSTEM:
      return WinsockErrorFromErrno(err_no);
    default:
      return kWsaNoRecovery;
  }
}

}  // namespace vm::platform
