#include "mail/outgoing_message.h"

#include <algorithm>
#include <cstring>

namespace vm::mail {

namespace {

// Whole records of 1026 bytes, several per read: 1026 is a multiple of 3, so
// the encoding is the same as record by record, and only this much of a file
// is in memory at a time.
constexpr size_t kRecordBytes = 1026;
constexpr size_t kRecordsPerRead = 64;

}  // namespace

OutgoingMessage::OutgoingMessage(std::string text, std::vector<AttachedFile> files)
    : text_(std::move(text)), files_(std::move(files)) {
  length_ = text_.size();
  for (const AttachedFile& f : files_) length_ += Base64LineEncoder::EncodedLength(f.size);
}

OutgoingMessageReader::OutgoingMessageReader(std::shared_ptr<const OutgoingMessage> message,
                                             platform::Env* env)
    : message_(std::move(message)), env_(env) {}

OutgoingMessageReader::State OutgoingMessageReader::Read(char* out, size_t max, size_t* got) {
  *got = 0;
  if (failed_) return State::kFailed;
  const std::string& text = message_->text();
  const std::vector<AttachedFile>& files = message_->files();
  while (*got < max) {
    if (in_file_) {
      if (encoded_pos_ < encoded_.size()) {
        const size_t n = std::min(max - *got, encoded_.size() - encoded_pos_);
        std::memcpy(out + *got, encoded_.data() + encoded_pos_, n);
        encoded_pos_ += n;
        *got += n;
        continue;
      }
      if (EncodeMore()) continue;
      if (failed_) {
        *got = 0;  // what this call copied is not to be sent
        return State::kFailed;
      }
      in_file_ = false;
      ++next_file_;
      continue;
    }
    const size_t text_end = next_file_ < files.size() ? files[next_file_].at : text.size();
    if (text_pos_ < text_end) {
      const size_t n = std::min(max - *got, text_end - text_pos_);
      std::memcpy(out + *got, text.data() + text_pos_, n);
      text_pos_ += n;
      *got += n;
      continue;
    }
    if (next_file_ >= files.size()) break;
    in_file_ = true;
    file_offset_ = 0;
    encoder_ = Base64LineEncoder();
    encoded_.clear();
    encoded_pos_ = 0;
  }
  position_ += *got;
  return *got > 0 ? State::kData : State::kEnd;
}

bool OutgoingMessageReader::EncodeMore() {
  const AttachedFile& f = message_->files()[next_file_];
  if (file_offset_ >= f.size) {
    // Past the bytes the message was composed with: the file must still
    // have exactly those, under its name.
    auto size = f.file->Size();
    if (!size.ok()) return Fail(AttachmentFailure::Kind::kReadError, size.status());
    if (size.value() != f.size) return Fail(AttachmentFailure::Kind::kChangedSize);
    if (f.id.has_value()) {
      auto now = env_->Identify(f.path);
      if (!now.ok() || now.value() != *f.id) return Fail(AttachmentFailure::Kind::kReplaced);
    }
    return false;
  }
  if (records_.empty()) records_.resize(kRecordBytes * kRecordsPerRead);
  const size_t want =
      static_cast<size_t>(std::min<uint64_t>(records_.size(), f.size - file_offset_));
  size_t got = 0;
  platform::Status st = f.file->ReadAt(file_offset_, records_.data(), want, &got);
  if (!st.ok()) return Fail(AttachmentFailure::Kind::kReadError, std::move(st));
  if (got < want) return Fail(AttachmentFailure::Kind::kChangedSize);
  encoded_.resize(Base64LineEncoder::MaxOutput(got));
  encoded_.resize(encoder_.Feed(records_.data(), got, encoded_.data()));
  encoded_pos_ = 0;
  file_offset_ += got;
  return true;
}

bool OutgoingMessageReader::Fail(AttachmentFailure::Kind kind, platform::Status status) {
  failed_ = true;
  failure_.kind = kind;
  failure_.path = message_->files()[next_file_].path;
  failure_.status = std::move(status);
  return false;
}

}  // namespace vm::mail
