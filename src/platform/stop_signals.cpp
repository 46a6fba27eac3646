#include "platform/stop_signals.h"

#include <signal.h>
#include <time.h>

namespace vm::platform {
namespace {

sigset_t StopSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}

}  // namespace

void BlockStopSignals() {
  const sigset_t set = StopSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int WaitStopSignal(int timeout_ms) {
  const sigset_t set = StopSet();
  timespec ts{timeout_ms / 1000, static_cast<long>(timeout_ms % 1000) * 1000000L};
  const int sig = sigtimedwait(&set, nullptr, &ts);
  return sig > 0 ? sig : 0;
}

}  // namespace vm::platform
