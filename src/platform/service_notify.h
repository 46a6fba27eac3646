// Tells the service manager how the service is doing, through systemd's
// notify protocol (sd_notify): ready, still alive (the watchdog), stopping.
// Does nothing when the program was not started as a notify service (no
// NOTIFY_SOCKET) or was built without libsystemd. Safe from any thread.
#pragma once

namespace vm::platform {

enum class ServiceState {
  kReady,     // started: the tables are open and the work may begin
  kWatchdog,  // still making progress (the unit's WatchdogSec= counts from here)
  kStopping,  // asked to stop; finishing what is in flight
};

// True when the message went to the manager; false when there is none to
// tell, or it could not be sent (nothing the program could do about that).
bool NotifyServiceManager(ServiceState state);

}  // namespace vm::platform
