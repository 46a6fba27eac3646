#include "page_file_fixture.h"

#include <stdlib.h>

#include <cstdio>
#include <filesystem>

#include <gtest/gtest.h>

namespace vm::storage::testing {
namespace {

class FaultyFile : public platform::FileWrapper {
 public:
  FaultyFile(std::unique_ptr<platform::File> f, int* budget, bool* crash)
      : FileWrapper(std::move(f)), budget_(budget), crash_(crash) {}
  platform::Status WriteAt(uint64_t o, const void* b, size_t n) override {
    if (*budget_ <= 0) {
      return *crash_ ? platform::Status::Ok()
                     : platform::Status::Error(platform::Code::kIoError, "injected");
    }
    --*budget_;
    return target()->WriteAt(o, b, n);
  }
  platform::Status Truncate(uint64_t s) override {
    return *budget_ <= 0 ? platform::Status::Ok() : target()->Truncate(s);
  }

 private:
  int* budget_;
  bool* crash_;
};

}  // namespace

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "vm-kfs-XXXXXX").string();
  path_ = ::mkdtemp(pattern.data());
}

TempDir::~TempDir() {
  std::filesystem::remove_all(path_);
}

TempFile::TempFile() : path_(dir_.path() + "/TEST.KFS") {}

FaultyEnv::FaultyEnv(int budget, bool crash)
    : EnvWrapper(platform::Env::Default()), budget_(budget), crash_(crash) {}

platform::Result<std::unique_ptr<platform::File>> FaultyEnv::OpenFile(const std::string& p,
                                                                      platform::Access a,
                                                                      platform::Share s,
                                                                      platform::Disposition d) {
  auto r = target()->OpenFile(p, a, s, d);
  if (!r.ok()) return r.status();
  return std::unique_ptr<platform::File>(new FaultyFile(std::move(r.value()), &budget_, &crash_));
}

std::unique_ptr<TreeFile> OpenFile(const std::string& path, platform::Env* env,
                                   platform::Share share) {
  TreeFile::Options o;
  o.create = true;
  o.share = share;
  std::unique_ptr<TreeFile> f;
  Status s = TreeFile::Open(env, path, o, &f);
  EXPECT_TRUE(s.ok()) << s.code();
  return f;
}

Status Apply(TreeFile* f, const Rows& puts, const std::vector<std::string>& deletes) {
  Status s = f->Begin(true);
  if (!s.ok()) return s;
  for (const auto& [k, v] : puts) {
    s = f->tree().Put(k, v);
    if (!s.ok()) {
      f->Rollback();
      return s;
    }
  }
  for (const auto& k : deletes) {
    bool found = false;
    s = f->tree().Delete(k, &found);
    if (!s.ok()) {
      f->Rollback();
      return s;
    }
  }
  return f->Commit();
}

// Every record of the file except the tree's empty first record.
Status ReadAll(TreeFile* f, Rows* rows, bool changing) {
  rows->clear();
  Status s = f->Begin(changing);
  if (!s.ok()) return s;
  if (f->header().root < 0) {
    f->EndRead();
    return Status::Ok();
  }
  Record r;
  bool found = false;
  std::string key;
  for (;;) {
    s = f->tree().Next(key, &r, &found);
    if (!s.ok() || !found) break;
    (*rows)[r.key] = r.data;
    key = r.key;
  }
  if (changing) {
    Status c = f->Commit();
    if (s.ok()) s = c;
  } else {
    f->EndRead();
  }
  return s;
}

Rows MakeRows(int from, int to, const std::string& tag) {
  Rows rows;
  for (int i = from; i < to; ++i) {
    char key[16];
    std::snprintf(key, sizeof key, "k%06d", i);
    rows[key] = tag + std::string(20 + (i * 37) % 700, static_cast<char>('a' + i % 26));
  }
  return rows;
}

}  // namespace vm::storage::testing
