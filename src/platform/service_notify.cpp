#include "platform/service_notify.h"

#if VM_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace vm::platform {

bool NotifyServiceManager(ServiceState state) {
#if VM_HAVE_SYSTEMD
  const char* message = "WATCHDOG=1";
  if (state == ServiceState::kReady) message = "READY=1";
  if (state == ServiceState::kStopping) message = "STOPPING=1";
  // The variables stay set: every later message goes to the same socket.
  return sd_notify(0, message) > 0;
#else
  (void)state;
  return false;
#endif
}

}  // namespace vm::platform
