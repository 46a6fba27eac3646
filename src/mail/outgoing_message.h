// A message as it goes out after DATA: the text the composer wrote, with the
// base64 encoding of each attached file standing at its place. The files are
// opened when the message is composed, and read, encoded and handed out in
// pieces only while it is sent, so neither a file nor its encoding is ever
// held whole. An OutgoingMessage does not change once made; the mail object
// and its queue record share it. A reader belongs to its owner's thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "mail/mime_codec.h"
#include "platform/file.h"

namespace vm::mail {

// A file whose encoding stands at offset `at` of the message's text.
struct AttachedFile {
  size_t at = 0;
  std::string path;
  std::shared_ptr<platform::File> file;  // open since the message was composed
  uint64_t size = 0;                     // its size then
  std::optional<platform::FileId> id;    // what `path` named then, when the Env can tell
};

class OutgoingMessage {
 public:
  // REQUIRES: the files' offsets rise and lie within `text`.
  OutgoingMessage(std::string text, std::vector<AttachedFile> files);

  const std::string& text() const { return text_; }
  const std::vector<AttachedFile>& files() const { return files_; }
  // Bytes of the whole message: the text and every file's encoding.
  uint64_t length() const { return length_; }

 private:
  std::string text_;
  std::vector<AttachedFile> files_;
  uint64_t length_ = 0;
};

// Why a reader stopped before the end: the file no longer reads as it did
// when the message was composed. A message cut there must never be sent.
struct AttachmentFailure {
  enum class Kind {
    kReadError,    // the read itself failed (`status`)
    kChangedSize,  // fewer or more bytes than when composed
    kReplaced,     // its path names another file now, or none
  };
  Kind kind = Kind::kReadError;
  std::string path;
  platform::Status status;
};

class OutgoingMessageReader {
 public:
  enum class State { kData, kEnd, kFailed };

  OutgoingMessageReader(std::shared_ptr<const OutgoingMessage> message, platform::Env* env);
  OutgoingMessageReader(const OutgoingMessageReader&) = delete;
  OutgoingMessageReader& operator=(const OutgoingMessageReader&) = delete;

  // Copies the next bytes of the message to `out`, as many as there are up
  // to `max` (*got). kData when it copied any, kEnd once the message is all
  // out, kFailed (failure(), *got 0) when an attached file no longer reads
  // as it did when the message was composed. A file is checked after its
  // last byte: its size, and that its path still names it.
  State Read(char* out, size_t max, size_t* got);
  // Bytes handed out so far.
  uint64_t position() const { return position_; }
  const AttachmentFailure& failure() const { return failure_; }

 private:
  // Encodes the next records of the current file; false at its end (after
  // the checks) or on a failure (failed_ set).
  bool EncodeMore();
  bool Fail(AttachmentFailure::Kind kind, platform::Status status = platform::Status::Ok());

  std::shared_ptr<const OutgoingMessage> message_;
  platform::Env* env_;
  uint64_t position_ = 0;
  size_t text_pos_ = 0;
  size_t next_file_ = 0;  // the file whose encoding comes next, or is being read
  bool in_file_ = false;
  uint64_t file_offset_ = 0;
  Base64LineEncoder encoder_;
  std::vector<unsigned char> records_;
  std::string encoded_;
  size_t encoded_pos_ = 0;
  bool failed_ = false;
  AttachmentFailure failure_;
};

}  // namespace vm::mail
