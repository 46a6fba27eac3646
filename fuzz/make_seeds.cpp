// Writes the seed corpus of every fuzz target: small valid inputs of each
// kind, made with the program's own encoders so that they follow the formats
// as they change. Usage: fuzz_make_seeds DIR (makes DIR/<target>/...).
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/file.h"
#include "storage/driver/declared_table.h"
#include "storage/file/file_header.h"
#include "storage/file/page_codec.h"
#include "storage/file/page_pack.h"
#include "storage/table/definition.h"

namespace vm::fuzz {
namespace {

namespace fs = std::filesystem;
using namespace vm::storage;

fs::path g_out;

void Write(const std::string& target, const std::string& name, const std::string& bytes) {
  fs::create_directories(g_out / target);
  std::ofstream(g_out / target / name, std::ios::binary)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string Fixed16(uint16_t v) {
  return std::string{static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
}

TableDef NotesDef() {
  TableDef d;
  d.record_length = 16;
  d.fields = {MakeField("NOT:NAME", kTypeString, 0, 12), MakeField("NOT:N", kTypeLong, 12, 4)};
  d.fields[0].string_length = 12;
  MemoDef memo;
  memo.name = "NOT:TEXT";
  memo.size = 200;
  d.memos = {memo};
  d.keys = {MakeKey("NOT:NAMEKEY", kKeyNoCase, {{0, 0}}),
            MakeKey("NOT:NKEY", kKeyDuplicates, {{1, 1}})};
  return d;
}

// Writes that stop after `budget` of them, vanishing silently as when the
// machine dies: what a crash in mid-commit leaves on disk.
class CrashFile : public platform::FileWrapper {
 public:
  CrashFile(std::unique_ptr<platform::File> f, int* budget)
      : FileWrapper(std::move(f)), budget_(budget) {}
  platform::Status WriteAt(uint64_t o, const void* b, size_t n) override {
    if (*budget_ <= 0) return platform::Status::Ok();
    --*budget_;
    return target()->WriteAt(o, b, n);
  }
  platform::Status Truncate(uint64_t size) override {
    return *budget_ <= 0 ? platform::Status::Ok() : target()->Truncate(size);
  }

 private:
  int* budget_;
};

class CrashEnv : public platform::EnvWrapper {
 public:
  explicit CrashEnv(int budget) : EnvWrapper(platform::Env::Default()), budget(budget) {}
  platform::Result<std::unique_ptr<platform::File>> OpenFile(const std::string& p,
                                                             platform::Access a, platform::Share s,
                                                             platform::Disposition d) override {
    auto r = target()->OpenFile(p, a, s, d);
    if (!r.ok()) return r.status();
    return std::unique_ptr<platform::File>(new CrashFile(std::move(r.value()), &budget));
  }
  int budget;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

// A table file whose last commit (one more row) stopped after its journal
// and commit point were written: opening it must roll the journal forward.
std::string PendingJournal(const std::string& table) {
  const fs::path dir = fs::temp_directory_path() / "vm-fuzz-seeds";
  const std::string path = (dir / "SEED.KFS").string();
  for (int budget = 1; budget < 200; ++budget) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::ofstream(path, std::ios::binary)
        .write(table.data(), static_cast<std::streamsize>(table.size()));
    {
      CrashEnv env(budget);
      DeclaredTable t((dir / "SEED").string(), NotesDef(), &env);
      if (t.Open() != 0) break;
      std::vector<char>& row = t.buffer();
      std::memset(row.data(), ' ', row.size());
      std::memcpy(row.data(), "late", 4);
      (void)t.Add();
      t.Close();
    }
    const std::string bytes = ReadFile(path);
    FileHeader h;
    if (bytes.size() >= kHeaderSize && FileHeader::Decode(bytes.substr(0, kHeaderSize), &h) &&
        h.committed_end < h.journal_end) {
      fs::remove_all(dir);
      return bytes;
    }
  }
  fs::remove_all(dir);
  std::fprintf(stderr, "make_seeds: no commit left a pending journal\n");
  return std::string();
}

std::string TableFile(bool second_table) {
  const fs::path dir = fs::temp_directory_path() / "vm-fuzz-seeds";
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string base = (dir / "SEED").string();
  const char* names[] = {"alpha", "beta", "gamma", "delta", "epsilon", "zeta"};
  for (const std::string& table :
       second_table ? std::vector<std::string>{"", "\\!Notes"} : std::vector<std::string>{""}) {
    DeclaredTable t(base + table, NotesDef());
    if (t.Create() != 0 || t.Open() != 0)
      std::fprintf(stderr, "make_seeds: cannot create a table\n");
    for (int i = 0; i < 6; ++i) {
      std::vector<char>& row = t.buffer();
      std::memset(row.data(), ' ', row.size());
      std::memcpy(row.data(), names[i], std::strlen(names[i]));
      const int32_t n = i * 7 % 4;
      std::memcpy(row.data() + 12, &n, 4);
      t.memos()[0] = i % 2 ? std::string("memo of ") + names[i] : std::string();
      if (t.Add() != 0) std::fprintf(stderr, "make_seeds: cannot add a row\n");
    }
    t.Close();
  }
  std::string bytes = ReadFile(base + ".KFS");
  fs::remove_all(dir);
  return bytes;
}

void PageSeeds() {
  TreePage leaf;
  leaf.records = {{"", ""},
                  {"k000001", "aaaaaaaaaaaaaaaaaaaabc"},
                  {"k000002", "aaaaaaaaaaaaaaaaaaaabd"},
                  {"k01", "x"}};
  std::string image;
  (void)EncodePage(3, leaf, &image);
  Write("page_codec", "leaf", std::string(1, '\0') + std::string(1, '\x01') + image);
  TreePage internal;
  internal.level = 1;
  internal.records = {{"", ""}, {"m", ""}, {"t", ""}};
  internal.children = {1, 2, 5};
  (void)EncodePage(7, internal, &image);
  Write("page_codec", "internal", std::string(1, '\0') + std::string(1, '\x01') + image);
  const std::string runs = "header....................body\0\0\0\0\0\0tail";
  Write("page_codec", "rle_body", std::string(1, '\x01') + runs);
  std::string packed;
  RleEncode(runs, &packed);
  Write("page_codec", "rle_stream",
        std::string(1, '\x02') + Fixed16(static_cast<uint16_t>(runs.size())) + packed);
  std::string body;
  PackRecords(leaf.records, &body);
  Write("page_codec", "packed",
        std::string(1, '\x03') + Fixed16(static_cast<uint16_t>(leaf.records.size())) + body);
  Write("page_codec", "built",
        std::string("\x04\x00\x05\x00", 4) +
            "\x03key\x05"
            "aaaab\x01\x07"
            "\x04kez2\x02xy\x00");
}

void HeaderAndDefinitionSeeds(const std::string& table) {
  Write("header_def", "header", std::string("\x00\x00\x10", 3) + table.substr(0, kHeaderSize));
  FileHeader empty;
  Write("header_def", "empty_header", std::string("\x00\x00\x01", 3) + empty.Encode());
  Write("header_def", "definition", std::string(1, '\x01') + EncodeDefinition(NotesDef()));
  TableDef binary = NotesDef();
  binary.memos[0].flags = kMemoBinary;
  Write("header_def", "definition_binary_memo", std::string(1, '\x01') + EncodeDefinition(binary));
}

void SmtpSeeds() {
  const std::string greeting = "220 mail.example.com ESMTP\r\n";
  const std::string plain =
      greeting + "250 hello\r\n250 sender ok\r\n250 ok\r\n250 ok\r\n354 go ahead\r\n250 queued\r\n";
  Write("smtp_reply", "plain", std::string("\x00\x11", 2) + plain);
  Write("smtp_reply", "auth",
        std::string("\x01\x22", 2) + greeting +
            "250-mail.example.com\r\n250-AUTH LOGIN\r\n250 HELP\r\n334 VXNlcm5hbWU6\r\n"
            "334 UGFzc3dvcmQ6\r\n235 ok\r\n250 ok\r\n250 ok\r\n250 ok\r\n354 go\r\n250 queued\r\n");
  Write("smtp_reply", "two_messages_reconnect",
        std::string("\x24\x33", 2) + plain + "\xFF" + plain);
  Write("smtp_reply", "rejected_recipient",
        std::string("\x0c\x44", 2) + greeting + "250 hello\r\n250 ok\r\n550 no such user\r\n\xFF" +
            plain);
  Write("smtp_reply", "keep_open", std::string("\x16\x55", 2) + plain + "250 reset\r\n");
  Write("smtp_reply", "refused", std::string("\x10\x66", 2) + "554 go away\r\n");
  Write("smtp_reply", "auth_plain",
        std::string("\x01\x77", 2) + greeting +
            "250-mail.example.com\r\n250-AUTH=LOGIN\r\n250-auth cram-md5 plain login\r\n"
            "250 SIZE 100\r\n235 ok\r\n250 ok\r\n250 ok\r\n250 ok\r\n354 go\r\n250 queued\r\n");
  Write("smtp_reply", "starttls",
        std::string("\x80\x11", 2) + greeting +
            "250-mail.example.com\r\n250-STARTTLS\r\n250 AUTH PLAIN\r\n220 go ahead\r\nxx");
}

void MimeSeeds() {
  const std::string text =
      "Dear Bob,\r\nthere is a new message = for you.  \r\n\tend\r\n\xE9t\xE9\n.lone\rCR ";
  Write("mime_codec", "qp", std::string("\x00\x07", 2) + text);
  Write("mime_codec", "base64", std::string("\x01\x09", 2) + text + text + text);
  Write("mime_codec", "base64_decode", std::string("\x02\x00", 2) + "VXNlcm5h\r\nbWU6==!x");
  Write("mime_codec", "line_ends", std::string("\x03\x00", 2) + text);
  Write("mime_codec", "zone", std::string("\x04\x00\x78\x00", 4));
}

}  // namespace
}  // namespace vm::fuzz

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  vm::fuzz::g_out = argv[1];
  vm::fuzz::PageSeeds();
  const std::string one = vm::fuzz::TableFile(false);
  const std::string two = vm::fuzz::TableFile(true);
  vm::fuzz::Write("table_file", "one_table", one);
  vm::fuzz::Write("table_file", "two_tables", two);
  vm::fuzz::Write("table_file", "pending_journal", vm::fuzz::PendingJournal(one));
  vm::fuzz::HeaderAndDefinitionSeeds(one);
  vm::fuzz::SmtpSeeds();
  vm::fuzz::MimeSeeds();
  return 0;
}
