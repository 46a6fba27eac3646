// Procedure threads and posted events. Every thread that uses the runtime has
// an identity and an event queue (made on first use); events are posted to a
// thread by number and taken by the window whose accept loop runs there.
// Every function here is safe from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "runtime/event.h"

namespace vm::runtime {

using ThreadId = int32_t;  // 0 is never a thread

// Identity of the calling thread (registers its event queue on first call).
ThreadId CurrentThread();

// Runs `procedure` on a new thread and returns that thread's identity once
// its queue exists, so events may be posted to it at once.
ThreadId StartThread(std::function<void()> procedure);

// Waits up to `timeout` for a thread started by StartThread to end; true when
// it has ended (it is then joined). False at once for the calling thread.
bool WaitThread(ThreadId thread, std::chrono::milliseconds timeout);
// Waits for every thread started by StartThread to end.
void JoinThreads();

// Posts event `number` to `thread`; the window that runs its accept loop
// there next takes it (so kEventCloseWindow posted this way closes whichever
// window that is; Window::Close and WindowModel::Post aim at one window).
// False when the thread is unknown or has ended.
bool Post(ThreadId thread, int32_t number);

// Posts the close-down event to every thread that has a queue: each window
// then returns kCloseDown once and closes.
void PostCloseDownToAll();

// For a thread with no window open: the next posted event, waiting up to
// `timeout`; nullopt when none came.
std::optional<Event> WaitThreadEvent(std::chrono::milliseconds timeout);

}  // namespace vm::runtime
