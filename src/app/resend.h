// Resend: puts a row of the log back in the queue, for the log window's
// "Resend" button and the `resend` command alike. The row is sent by the
// next pass with the mailbox's address, copy address and attachment choice
// of the moment of the Resend, and its retries count anew from then. Runs on
// the calling thread over the caller's GatewayFiles (its own handles).
#pragma once

#include <cstdint>
#include <string>

#include "app/gateway_files.h"

namespace vm::platform {
class Clock;
}

namespace vm::app {

enum class ResendResult {
  kQueued,          // the row waits for the next pass
  kAlreadyWaiting,  // nothing to do: the row waits already
  kNeedsForce,      // the row was sent; resending it needs the caller's confirmation
  kNoSuchRow,
  kNoMailbox,     // its mailbox is no longer in the table: no address to send to
  kStorageError,  // *error says what
};

// Puts the row at `record` back in the queue. A row the server took is
// resent only with `force`. Writes the retry state first (the row's new
// window), then the row (PROCESSED 0, outcome "0"), so a kill between leaves
// the row as it was.
ResendResult ResendRow(GatewayFiles& files, uint32_t record, bool force,
                       const platform::Clock& clock, std::string* error);

// What a result means, for a command's line or a window's message.
std::string ResendResultText(ResendResult result);

}  // namespace vm::app
