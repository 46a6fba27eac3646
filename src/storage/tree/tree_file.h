// A table file with its record tree: the PageFile keeps the pages, the
// RecordTree over them is what the tables read and change. Renumbers the
// tree when the file moves a page and reads the transaction record for the
// file's recovery. Owner thread only, like the PageFile it is.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/file.h"
#include "storage/file/page_file.h"
#include "storage/tree/tree.h"

namespace vm::storage {

class TreeFile final : public PageFile {
 public:
  // Opens `path`; errors 2, 5 and 36 as the storage layer reports them.
  static Status Open(platform::Env* env, const std::string& path, const Options& options,
                     std::unique_ptr<TreeFile>* out);

  RecordTree& tree() { return tree_; }

 private:
  using PageFile::PageFile;

  Status PageMoved(int32_t from, int32_t to, const TreePage& page) override;
  Status FindRecord(std::string_view key, std::string* data, bool* found) override;

  RecordTree tree_{this};
};

}  // namespace vm::storage
