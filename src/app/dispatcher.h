// ActualSend: mails the ProcessedFiles row in the row buffer, with the
// settings (templates already filled in) in the Control row buffer. It opens
// a small progress window, hands the message to a NetEmailSend object and
// runs the window's loop until the object reports success or failure; the
// outcome pair is left for the caller. Runs on the calling (scanner's)
// thread and blocks it until the send has ended.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "app/gateway_files.h"
#include "platform/file.h"

namespace vm::framework {
class ErrorManager;
}

namespace vm::app {

struct MailSettings;

// The outcome of one send (SendResultCode / SendResultText): code and text
// of the mail object's error, or 0 and "Nil" after success.
struct SendOutcome {
  int16_t code = 0;
  std::string text;  // at most 999 bytes
  // A stop request came before the server could have the whole message (its
  // end of data was not handed over): the message was abandoned unsent, so
  // its row stays waiting; code and text are not an outcome to store.
  bool stopped = false;
};

// Text and code the pair holds before a send, so a window that closes
// without any report never passes on the previous message's outcome.
inline constexpr const char* kNoOutcomeText =
    "The send ended without a report from the mail object";

struct DispatchOptions {
  // Longest wait for each server reply (the mail object's limit).
  int32_t reply_timeout_ms = 60000;
  // Longest time for the whole message, from SendMail to the server's
  // acceptance; running out of it fails the send with -53 (Timeout error).
  int32_t send_timeout_ms = 600000;
  // Period of the progress window's timer, in hundredths of a second.
  int progress_timer = 50;
  // Raised from another thread to stop (SIGTERM): a message before its end
  // of data is abandoned at once; one past it waits at most stop_grace_ms
  // more for the server's reply, then fails with -53 (null: never).
  const std::atomic<bool>* stop = nullptr;
  int32_t stop_grace_ms = 10000;
  // Where attachments are read from (null: the real file system).
  platform::Env* env = nullptr;
  // The program's error manager, told the procedure's name (null: none).
  framework::ErrorManager* errors = nullptr;
  // Security, certificate checks, EHLO/HELO name and login of the mail
  // object (null: the plain dialogue). Must outlive the send.
  const MailSettings* mail = nullptr;
  // The caller's work that need not wait for this send (the previous
  // message's log write): run once, on the calling thread, before ActualSend
  // returns; as a rule just after the connection is asked for, so that it
  // overlaps the server's accepting and greeting. Nothing past the
  // connection goes out before it returns: the dialogue moves only on this
  // thread. Empty: nothing to run.
  std::function<void()> while_connecting;
};

// REQUIRES: the row buffers of files.control() and files.processed() hold
// the settings and the row to send.
// The recording is attached only as the regular file PRO:FULLPATH names, not
// through a link, opened read only and never locked, and only when it is
// still the file `listed` (when given; otherwise the one the path names at
// the start of the send): anything else fails the send with -35.
void ActualSend(GatewayFiles& files, SendOutcome* outcome, const DispatchOptions& options = {},
                const platform::FileId* listed = nullptr);

}  // namespace vm::app
