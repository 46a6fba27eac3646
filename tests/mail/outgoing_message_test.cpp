// The message as it goes out: text with the encodings of attached files read
// in pieces of any size, against the encoding of each file as a whole; the
// length it promises, beyond 32 bits included; and every way a file can stop
// reading as it did when the message was composed.

#include "mail/outgoing_message.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "mail/mime_codec.h"
#include "mail/net_email_send.h"
#include "mail_test_support.h"

namespace vm::mail {
namespace {

using testing::TempDir;

std::string Bytes(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  for (char& c : s) {
    seed = seed * 1103515245u + 12345u;
    c = static_cast<char>(seed >> 24);
  }
  return s;
}

std::string WholeBase64(const std::string& data) {
  Base64LineEncoder encoder;
  std::string out(Base64LineEncoder::MaxOutput(data.size()), '\0');
  out.resize(
      encoder.Feed(reinterpret_cast<const unsigned char*>(data.data()), data.size(), out.data()));
  return out;
}

AttachedFile Attach(platform::Env* env, const std::string& path, size_t at) {
  AttachedFile f;
  f.at = at;
  f.path = path;
  auto opened = env->OpenFile(path, platform::Access::kRead, platform::Share::kDenyNone,
                              platform::Disposition::kOpenExisting);
  EXPECT_TRUE(opened.ok());
  f.file = std::move(opened.value());
  f.size = f.file->Size().value();
  auto id = env->Identify(path);
  if (id.ok()) f.id = id.value();
  return f;
}

// Reads the whole message in pieces of `piece` bytes.
OutgoingMessageReader::State ReadAll(const std::shared_ptr<const OutgoingMessage>& m, size_t piece,
                                     std::string* out) {
  OutgoingMessageReader reader(m, platform::Env::Default());
  std::vector<char> buf(piece);
  bool short_piece = false;
  for (;;) {
    size_t got = 0;
    const auto state = reader.Read(buf.data(), piece, &got);
    out->append(buf.data(), got);
    if (state != OutgoingMessageReader::State::kData) {
      EXPECT_EQ(reader.position(), out->size());
      return state;
    }
    EXPECT_FALSE(short_piece) << "only the last piece is short";
    short_piece = got < piece;
  }
}

TEST(EncodedLengthTest, MatchesWhatTheEncoderWrites) {
  for (size_t n = 0; n < 600; ++n)
    EXPECT_EQ(Base64LineEncoder::EncodedLength(n), WholeBase64(std::string(n, 'x')).size()) << n;
  EXPECT_EQ(Base64LineEncoder::EncodedLength(57), 78u);
  // Five gigabytes: 4 x 5 GiB / 3 characters, a line end after every 76.
  const uint64_t five_gib = 5ull << 30;
  const uint64_t chars = (five_gib + 2) / 3 * 4;
  EXPECT_EQ(Base64LineEncoder::EncodedLength(five_gib), chars + chars / 76 * 2);
  EXPECT_GT(Base64LineEncoder::EncodedLength(five_gib), 1ull << 32);
}

TEST(OutgoingMessageTest, PiecesOfAnySizeGiveTheTextWithEachFileEncoded) {
  TempDir dir;
  platform::Env* env = platform::Env::Default();
  // Around a line of base64 (57 bytes), a group (3) and a read of the file
  // (64 records of 1026 bytes).
  const size_t sizes[] = {0, 1, 2, 3, 56, 57, 58, 1026, 65663, 65664, 65665, 200001};
  for (size_t size : sizes) {
    const std::string a = Bytes(size, static_cast<uint32_t>(size) + 1);
    const std::string b = Bytes(size / 2 + 5, static_cast<uint32_t>(size) + 2);
    const std::string pa = dir.Write("a" + std::to_string(size), a);
    const std::string pb = dir.Write("b" + std::to_string(size), b);
    const std::string text = "head\r\n\r\nmiddle\r\n\r\ntail";
    std::vector<AttachedFile> files;
    files.push_back(Attach(env, pa, 8));
    files.push_back(Attach(env, pb, 18));
    auto m = std::make_shared<const OutgoingMessage>(text, std::move(files));
    const std::string want =
        text.substr(0, 8) + WholeBase64(a) + text.substr(8, 10) + WholeBase64(b) + text.substr(18);
    EXPECT_EQ(m->length(), want.size());
    for (size_t piece : {1u, 7u, 5120u, 65536u}) {
      std::string got;
      EXPECT_EQ(ReadAll(m, piece, &got), OutgoingMessageReader::State::kEnd);
      EXPECT_TRUE(got == want) << "file of " << size << " read in pieces of " << piece;
    }
  }
}

// A file that claims `size` bytes and makes them up as they are read.
class MadeUpFile : public platform::File {
 public:
  explicit MadeUpFile(uint64_t size) : size_(size) {}
  platform::Status ReadAt(uint64_t offset, void* buf, size_t n, size_t* got) override {
    *got = static_cast<size_t>(std::min<uint64_t>(n, size_ > offset ? size_ - offset : 0));
    std::memset(buf, 'v', *got);
    return platform::Status::Ok();
  }
  platform::Status WriteAt(uint64_t, const void*, size_t) override { return Refuse(); }
  platform::Status Truncate(uint64_t) override { return Refuse(); }
  platform::Status Sync() override { return platform::Status::Ok(); }
  platform::Result<uint64_t> Size() override { return size_; }
  platform::Status TryLock(uint64_t, uint64_t) override { return platform::Status::Ok(); }
  platform::Status Lock(uint64_t, uint64_t) override { return platform::Status::Ok(); }
  platform::Status Unlock(uint64_t, uint64_t) override { return platform::Status::Ok(); }
  const std::string& path() const override { return path_; }

 private:
  static platform::Status Refuse() {
    return platform::Status::Error(platform::Code::kAccessDenied, "read only");
  }
  uint64_t size_;
  std::string path_ = "/recordings/huge.wav";
};

class HugeFileEnv : public platform::EnvWrapper {
 public:
  explicit HugeFileEnv(uint64_t size) : EnvWrapper(platform::Env::Default()), size_(size) {}
  platform::Result<std::unique_ptr<platform::File>> OpenFile(const std::string&, platform::Access,
                                                             platform::Share,
                                                             platform::Disposition) override {
    return std::unique_ptr<platform::File>(std::make_unique<MadeUpFile>(size_));
  }
  bool FileExists(const std::string&) override { return true; }
  bool IsDirectory(const std::string&) override { return false; }
  platform::Result<platform::FileId> Identify(const std::string&) override {
    return platform::FileId{1, 2};
  }

 private:
  uint64_t size_;
};

TEST(OutgoingMessageTest, RecordingsBeyondFourGigabytesKeepTheirWholeLength) {
  // Nothing of the length is cut to 32 bits: the composed length counts
  // every byte of the encoding.
  const uint64_t size = (4ull << 30) + 12345;
  HugeFileEnv env(size);
  NetEmailSend m;
  m.SUPPRESSERRORMSG = 1;
  m.Init();
  m.SetEnv(&env);
  m.TOLIST = "bob@example.com";
  m.FROM = "vm@example.com";
  m.SetRequiredMessageSize(0, 1, 0);
  m.SetMessageText("x");
  m.AddAttachmentFile("/recordings/huge.wav");
  m.SendMail(2);  // no networking runtime: the open fails and the queue is dropped
  EXPECT_GT(static_cast<uint64_t>(m.WHOLEMESSAGELEN), Base64LineEncoder::EncodedLength(size));
  EXPECT_LT(static_cast<uint64_t>(m.WHOLEMESSAGELEN),
            Base64LineEncoder::EncodedLength(size) + 2000);

  // Files come through the Env: a made-up one reads like a real one.
  std::vector<AttachedFile> files(1);
  files[0].at = 4;
  files[0].path = "/recordings/huge.wav";
  files[0].file = std::make_shared<MadeUpFile>(300);
  files[0].size = 300;
  auto small = std::make_shared<const OutgoingMessage>("head--end", std::move(files));
  std::string got;
  OutgoingMessageReader reader(small, &env);
  char buf[5120];
  size_t n = 0;
  while (reader.Read(buf, sizeof buf, &n) == OutgoingMessageReader::State::kData)
    got.append(buf, n);
  EXPECT_EQ(got, "head" + WholeBase64(std::string(300, 'v')) + "--end");
}

enum class Change { kGrow, kShrink, kRemove, kReplace };

TEST(OutgoingMessageTest, AFileThatNoLongerReadsAsComposedFailsTheReader) {
  TempDir dir;
  platform::Env* env = platform::Env::Default();
  for (Change change : {Change::kGrow, Change::kShrink, Change::kRemove, Change::kReplace}) {
    const std::string path = dir.Write("rec.wav", Bytes(100000, 3));
    std::vector<AttachedFile> files;
    files.push_back(Attach(env, path, 4));
    auto m = std::make_shared<const OutgoingMessage>("head--end", std::move(files));
    switch (change) {
      case Change::kGrow:
        std::ofstream(path, std::ios::binary | std::ios::app) << "more";
        break;
      case Change::kShrink:
        std::filesystem::resize_file(path, 5000);
        break;
      case Change::kRemove:
        std::filesystem::remove(path);
        break;
      case Change::kReplace:
        std::filesystem::rename(dir.Write("other.wav", Bytes(100000, 3)), path);
        break;
    }
    std::string got;
    EXPECT_EQ(ReadAll(m, 5120, &got), OutgoingMessageReader::State::kFailed);
    EXPECT_LT(got.size(), m->length()) << "the end of the message is never reached";
    OutgoingMessageReader reader(m, env);
    char buf[65536];
    size_t n = 0;
    while (reader.Read(buf, sizeof buf, &n) == OutgoingMessageReader::State::kData) {
    }
    EXPECT_EQ(reader.failure().path, path);
    EXPECT_EQ(reader.failure().kind, change == Change::kGrow || change == Change::kShrink
                                         ? AttachmentFailure::Kind::kChangedSize
                                         : AttachmentFailure::Kind::kReplaced);
    // Once failed, it stays failed.
    EXPECT_EQ(reader.Read(buf, sizeof buf, &n), OutgoingMessageReader::State::kFailed);
    EXPECT_EQ(n, 0u);
  }
}

}  // namespace
}  // namespace vm::mail
