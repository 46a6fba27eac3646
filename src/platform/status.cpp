#include "platform/status.h"

#include <cstring>

namespace vm::platform {

Status StatusFromErrno(int err, std::string_view context) {
  Code code = Code::kIoError;
  switch (err) {
    case ENOENT:
    case ENOTDIR:
      code = Code::kNotFound;
      break;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY:
      code = Code::kAccessDenied;
      break;
    case EEXIST:
      code = Code::kExists;
      break;
    case EAGAIN:
    case EDEADLK:
      code = Code::kLockConflict;
      break;
    case EINVAL:
    case ENAMETOOLONG:
      code = Code::kInvalidArgument;
      break;
    case ENOTSUP:
      code = Code::kNotSupported;
      break;
    default:
      break;
  }
  std::string message(context);
  message += ": ";
  message += std::strerror(err);
  return Status::Error(code, std::move(message), err);
}

}  // namespace vm::platform
