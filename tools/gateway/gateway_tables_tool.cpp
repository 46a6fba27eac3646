// vm-gateway-tables: writes the gateway's settings and mailbox rows and
// prints the log, through the program's own table code. Used by the demo
// (./dev run) and the end-to-end tests.
//
//   vm-gateway-tables DIR settings KEY=VALUE...   (server port from root subject attach-body plain-body)
//   vm-gateway-tables DIR mailbox NO EMAIL CC ENABLE ATTACH
//   vm-gateway-tables DIR log                     (one line per ProcessedFiles row, record order)
#include <cstdio>
#include <cstring>
#include <string>

#include "app/frame.h"
#include "app/gateway_files.h"
#include "app/records.h"
#include "app/stop_message.h"
#include "runtime/picture.h"

using namespace vm::app;

namespace {

int Fail(const std::string& what, const vm::storage::DeclaredTable& t) {
  std::fprintf(stderr, "vm-gateway-tables: %s: %s\n", what.c_str(), StorageErrorText(t).c_str());
  return 1;
}

int Settings(GatewayFiles& files, int argc, char** argv) {
  OpenTable open(files, Table::kControl);
  if (open.code() != 0) return Fail("open Control", files.control());
  auto& con = files.control();
  const bool existing = con.Set() == 0 && con.Next() == 0;
  ControlRow row = existing ? ReadControl(con.buffer()) : DefaultSettings();
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    const size_t eq = arg.find('=');
    if (eq == std::string::npos) return std::fprintf(stderr, "bad setting %s\n", arg.c_str()), 2;
    const std::string k = arg.substr(0, eq), v = arg.substr(eq + 1);
    if (k == "server") row.smtp_server = v;
    else if (k == "port") row.port = static_cast<int16_t>(std::stoi(v));
    else if (k == "from") row.from = v;
    else if (k == "root") row.applicate_path = v;
    else if (k == "subject") row.subject = v;
    else if (k == "attach-body") row.attachment_body = v;
    else if (k == "plain-body") row.nonattachment_body = v;
    else return std::fprintf(stderr, "unknown setting %s\n", k.c_str()), 2;
  }
  if (!existing) std::fill(con.buffer().begin(), con.buffer().end(), '\0');
  WriteControl(row, &con.buffer());
  if ((existing ? con.Put() : con.Add()) != 0) return Fail("write Control", con);
  return 0;
}

int Mailbox(GatewayFiles& files, int argc, char** argv) {
  if (argc != 5) return std::fprintf(stderr, "mailbox NO EMAIL CC ENABLE ATTACH\n"), 2;
  OpenTable open(files, Table::kMailboxes);
  if (open.code() != 0) return Fail("open Mailboxes", files.mailboxes());
  auto& mai = files.mailboxes();
  MailboxRow row{static_cast<int16_t>(std::stoi(argv[0])), argv[1], argv[2], argv[3], argv[4]};
  WriteMailbox(row, &mai.buffer());
  if (mai.Add() != 0) return Fail("add Mailboxes", mai);
  return 0;
}

int Log(GatewayFiles& files) {
  OpenTable open(files, Table::kProcessedFiles);
  if (open.code() != 0) return Fail("open ProcessedFiles", files.processed());
  auto& pro = files.processed();
  pro.Set();
  while (pro.Next() == 0) {
    const ProcessedRow r = ReadProcessed(pro.buffer());
    std::printf("%d\t%s\t%s %s\t%u\t%d\t%s\n", r.mailbox, r.filename.c_str(), vm::runtime::FormatDate(r.date, 6).c_str(),
                vm::runtime::FormatTime(r.time, 4).c_str(), r.processed, r.error_code, r.error.c_str());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: vm-gateway-tables DIR settings|mailbox|log ...\n");
    return 2;
  }
  GatewayFiles files(argv[1]);
  const std::string cmd = argv[2];
  if (cmd == "settings") return Settings(files, argc - 3, argv + 3);
  if (cmd == "mailbox") return Mailbox(files, argc - 3, argv + 3);
  if (cmd == "log") return Log(files);
  std::fprintf(stderr, "unknown command %s\n", cmd.c_str());
  return 2;
}
