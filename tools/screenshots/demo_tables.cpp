#include "demo_tables.h"

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <vector>

#include "app/gateway_files.h"
#include "app/records.h"
#include "app/retry_policy.h"
#include "app/scanner.h"
#include "app/settings_file.h"
#include "app/stop_message.h"
#include "runtime/date_time.h"
#include "runtime/directory.h"

namespace vm::screenshots {
namespace {

namespace fs = std::filesystem;
using app::GatewayFiles;
using app::OpenTable;
using app::Table;

void PutLe(std::string* out, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

// A short mono 8 kHz 16-bit WAV tone, as the voice-mail system records them.
std::string Tone(double seconds, double freq) {
  const uint32_t samples = static_cast<uint32_t>(8000 * seconds);
  std::string w = "RIFF";
  PutLe(&w, 36 + samples * 2, 4);
  w += "WAVEfmt ";
  PutLe(&w, 16, 4);
  PutLe(&w, 1, 2);  // PCM
  PutLe(&w, 1, 2);  // mono
  PutLe(&w, 8000, 4);
  PutLe(&w, 16000, 4);
  PutLe(&w, 2, 2);
  PutLe(&w, 16, 2);
  w += "data";
  PutLe(&w, samples * 2, 4);
  for (uint32_t i = 0; i < samples; ++i) {
    const double s = 8000 * std::sin(2 * 3.14159265358979 * freq * i / 8000);
    PutLe(&w, static_cast<uint32_t>(static_cast<int16_t>(s)) & 0xffff, 2);
  }
  return w;
}

// A recording last written `age_minutes` ago (older than the pass's age test).
std::string Record(const DemoPaths& p, int box, const std::string& name, int age_minutes) {
  const fs::path dir = fs::path(p.tree) / std::to_string(box) / "msg";
  fs::create_directories(dir);
  const fs::path file = dir / name;
  const std::string bytes = Tone(0.5 + 0.01 * age_minutes, 440 + 2.0 * age_minutes);
  std::ofstream(file, std::ios::binary)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  fs::last_write_time(file, fs::file_time_type::clock::now() - std::chrono::minutes(age_minutes));
  return file.string();
}

std::string Failed(const std::string& what, const storage::DeclaredTable& t) {
  return what + ": " + app::StorageErrorText(t);
}

std::string WriteSettings(const DemoPaths& p, uint16_t port) {
  GatewayFiles files(p.data_dir);
  OpenTable open(files, Table::kControl);
  if (open.code() != 0) return Failed("open Control", files.control());
  auto& con = files.control();
  const bool existing = con.Set() == 0 && con.Next() == 0;
  app::ControlRow row = app::DefaultSettings();
  row.smtp_server = "127.0.0.1";
  row.port = static_cast<int16_t>(port);
  row.from = "VoiceMail <voicemail@demo.invalid>";
  row.applicate_path = p.tree;
  row.subject = "New voice message";
  row.attachment_body = "Message for <EXT> recorded <DATE> at <TIME>; the recording is attached.";
  row.nonattachment_body = "Message for <EXT> recorded <DATE> at <TIME>. Call your mailbox.";
  if (!existing) std::fill(con.buffer().begin(), con.buffer().end(), '\0');
  app::WriteControl(row, &con.buffer());
  if ((existing ? con.Put() : con.Add()) != 0) return Failed("write Control", con);
  return "";
}

std::string AddMailboxes(const DemoPaths& p) {
  GatewayFiles files(p.data_dir);
  OpenTable open(files, Table::kMailboxes);
  if (open.code() != 0) return Failed("open Mailboxes", files.mailboxes());
  const std::vector<app::MailboxRow> rows = {
      {101, "alice@demo.invalid", "", "YES", "YES"},
      {102, "bob@demo.invalid", "boss@demo.invalid", "YES", "NO"},
      {103, "carol@demo.invalid", "", "NO", "YES"}};
  for (const app::MailboxRow& r : rows) {
    app::WriteMailbox(r, &files.mailboxes().buffer());
    if (files.mailboxes().Add() != 0) return Failed("add Mailboxes", files.mailboxes());
    const fs::path box = fs::path(p.tree) / std::to_string(r.mailbox_no);
    fs::create_directories(box / "msg");
    std::ofstream(box / "transfer.ini").put('\n');
  }
  return "";
}

// A log row as the pass writes it: queued `queued_minutes_ago`, for the
// recording at `path` in mailbox `box`.
app::ProcessedRow LogRow(const std::string& path, int box, const std::string& email,
                         const std::string& cc, const std::string& attach, int queued_minutes_ago) {
  app::ProcessedRow r;
  r.filename = fs::path(path).filename().string();
  const int64_t now = runtime::MomentOf(runtime::Today(), runtime::ClockTime());
  const int64_t queued = now - int64_t{queued_minutes_ago} * 60 * 100;
  r.date = static_cast<int32_t>(queued / runtime::kHundredthsPerDay);
  r.time = static_cast<int32_t>(queued % runtime::kHundredthsPerDay);
  // The recording's own last write, as a pass lists it: with any other time
  // the row would name another recording, and the pass would mail it again.
  for (const runtime::FileEntry& e : runtime::ListDirectory(path, runtime::ListKind::kFilesOnly)) {
    r.date_of_recording = e.date;
    r.time_of_recording = e.time;
  }
  r.mailbox = static_cast<int16_t>(box);
  r.email_address = email;
  r.cc_email_address = cc;
  r.full_path = path;
  r.send_attachment = attach;
  return r;
}

std::string AddRows(const DemoPaths& p, const std::vector<app::ProcessedRow>& rows) {
  GatewayFiles files(p.data_dir);
  OpenTable open(files, Table::kProcessedFiles);
  if (open.code() != 0) return Failed("open ProcessedFiles", files.processed());
  for (const app::ProcessedRow& r : rows) {
    app::WriteProcessed(r, &files.processed().buffer());
    if (files.processed().Add() != 0) return Failed("add ProcessedFiles", files.processed());
  }
  return "";
}

}  // namespace

std::string MakeDemoData(const DemoPaths& p, uint16_t closed_port, uint16_t smtp_port) {
  fs::create_directories(p.data_dir);
  fs::create_directories(p.tree);
  std::string error = WriteSettings(p, closed_port);
  if (error.empty()) error = AddMailboxes(p);
  if (!error.empty()) return error;

  // Sent earlier today: the server took them ("Nil").
  app::ProcessedRow sent1 =
      LogRow(Record(p, 101, "msg0001.wav", 300), 101, "alice@demo.invalid", "", "YES", 290);
  app::ProcessedRow sent2 = LogRow(Record(p, 102, "msg0101.wav", 200), 102, "bob@demo.invalid",
                                   "boss@demo.invalid", "NO", 190);
  for (app::ProcessedRow* r : {&sent1, &sent2}) {
    r->processed = 1;
    r->error = "Nil";
  }
  Record(p, 103, "msg0201.wav", 150);  // mailbox 103 is not mailed
  error = AddRows(p, {sent1, sent2});
  if (!error.empty()) return error;

  // A real pass against a port nobody listens on: the new recording of 101
  // is queued and its send fails with the mail object's own error. Retries
  // are off for this pass only, so the row shows a failure as it reads once
  // its retries have ended.
  Record(p, 101, "msg0002.wav", 60);
  {
    const fs::path conf = fs::path(p.data_dir) / app::kSettingsFileName;
    std::ofstream(conf) << app::kKeyRetryFor << "=0\n";
    GatewayFiles files(p.data_dir);
    app::ScanOptions options;
    options.dispatch.reply_timeout_ms = 5000;
    options.dispatch.send_timeout_ms = 10000;
    const app::ScanReport report = app::send_mail(files, options);
    fs::remove(conf);
    if (report.failed != 1) return "the pass against a closed port did not record one failed send";
  }

  // Queued and not yet sent: the pass on screen sends these.
  app::ProcessedRow wait1 =
      LogRow(Record(p, 101, "msg0003.wav", 5), 101, "alice@demo.invalid", "", "YES", 0);
  app::ProcessedRow wait2 = LogRow(Record(p, 102, "msg0102.wav", 4), 102, "bob@demo.invalid",
                                   "boss@demo.invalid", "NO", 0);
  wait1.error = wait2.error = "0";
  error = AddRows(p, {wait1, wait2});
  if (error.empty()) error = WriteSettings(p, smtp_port);
  return error;
}

}  // namespace vm::screenshots
