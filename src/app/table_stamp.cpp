#include "app/table_stamp.h"

#include "storage/file/file_header.h"

namespace vm::app {

std::string TableFileStamp(platform::Env& env, const std::string& path) {
  platform::Result<std::unique_ptr<platform::File>> file = env.OpenForReading(path);
  if (!file.ok()) return "";
  std::string bytes(storage::kHeaderSize, '\0');
  size_t got = 0;
  if (!(*file)->ReadAt(0, bytes.data(), bytes.size(), &got).ok() || got != bytes.size()) return "";
  storage::FileHeader header;
  if (!storage::FileHeader::Decode(bytes, &header)) return "";
  // A journal not yet home: the rows a reader sees depend on its fate.
  if (header.committed_end != header.journal_end) return "";
  // The counter is 0 until the first commit, which may then come without
  // the header's other bytes changing: no stamp for a file never committed.
  if (header.change_counter == 0) return "";
  return bytes;
}

}  // namespace vm::app
