#include "storage/tree/tree_file.h"

#include <utility>

namespace vm::storage {

Status TreeFile::Open(platform::Env* env, const std::string& path, const Options& options,
                      std::unique_ptr<TreeFile>* out) {
  std::unique_ptr<platform::File> file;
  Status s = OpenFile(env, path, options, &file);
  if (!s.ok()) return s;
  out->reset(new TreeFile(env, path, std::move(file), options));
  return Status::Ok();
}

Status TreeFile::PageMoved(int32_t from, int32_t to, const TreePage& page) {
  return tree_.PageMoved(from, to, page);
}

Status TreeFile::FindRecord(std::string_view key, std::string* data, bool* found) {
  return tree_.Get(key, data, found);
}

}  // namespace vm::storage
