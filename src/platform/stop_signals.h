// The service's stop request: SIGTERM and SIGINT are blocked in every thread
// (call BlockStopSignals before the first thread starts) and taken by one
// waiting thread with WaitStopSignal, so no handler runs inside other code.
// Safe from any thread.
#pragma once

namespace vm::platform {

// Blocks SIGTERM and SIGINT for the calling thread and every thread it starts.
void BlockStopSignals();
// Waits up to `timeout_ms` for SIGTERM or SIGINT; returns the signal number,
// or 0 when none came.
int WaitStopSignal(int timeout_ms);

}  // namespace vm::platform
