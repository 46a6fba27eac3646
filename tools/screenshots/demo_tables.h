// The data the screenshots show: a voice-mail tree with three mailboxes and
// their recordings, and the gateway's tables (settings, mailboxes, a log with
// sent, failed and waiting rows) in a working directory. Written through the
// gateway's own table code; called once, from the screenshot tool's main thread.
#pragma once

#include <cstdint>
#include <string>

namespace vm::screenshots {

struct DemoPaths {
  std::string data_dir;  // working directory of the table files
  std::string tree;      // root of the voice-mail tree
};

// Makes the tree and the tables. The log gets two sent rows written
// directly, one failed row from a real headless pass against `closed_port`
// (nothing listens there), and two waiting rows; the settings then name
// 127.0.0.1:`smtp_port`. The networking runtime must be started. Returns ""
// on success, else what failed.
std::string MakeDemoData(const DemoPaths& paths, uint16_t closed_port, uint16_t smtp_port);

}  // namespace vm::screenshots
