// A whole table file from outside: the input is written to a file, opened
// read-only through the declared-table statements without a declaration
// (the stored definition describes the table), and every table in it is
// read in record order and in each key's order, both ways, with its memos;
// then the first table is opened for writing and read again.
// Damage must give an error, never a crash, an endless order or a hang
// (run with -timeout so that a hang counts as a finding).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "storage/driver/declared_table.h"

namespace vm::storage {
namespace {

// The directory of this process's file, made once and removed at exit
// (kept on the heap so that it outlives the exit handler).
const std::string& FileBase() {
  static const std::string* dir = [] {
    auto* d = new std::string(
        (std::filesystem::temp_directory_path() / ("vm-fuzz-table-" + std::to_string(getpid())))
            .string());
    std::filesystem::create_directories(*d);
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(*dir, ec);
    });
    return d;
  }();
  static const std::string base = *dir + "/FUZZ";
  return base;
}

// Reads rows until the order ends. No table in a file of `size` bytes can
// have more rows than bytes, so an order that goes on past that is endless.
void ReadOrder(DeclaredTable& t, bool forward, size_t size) {
  size_t rows = 0;
  while ((forward ? t.Next() : t.Previous()) == 0) {
    if (++rows > size) fuzz::Fail("an order read more rows than the file has bytes");
  }
  if (std::getenv("VM_FUZZ_SHOW") != nullptr) {
    std::fprintf(stderr, "%s: %zu rows %s\n", t.name().c_str(), rows, forward ? "forward" : "back");
  }
}

void ReadTable(const std::string& name, size_t size, std::vector<std::string>* tables, int access) {
  DeclaredTable t(name, TableDef{});
  if (t.Open(access) != 0) return;
  if (tables != nullptr && t.ListTables(tables) != 0) tables->clear();
  const uint32_t records = t.Records();
  for (bool forward : {true, false}) {
    if (t.Set() == 0) ReadOrder(t, forward, size);
    for (size_t k = 0; k < t.def().keys.size(); ++k) {
      if (t.SetKeyStart(static_cast<int>(k)) == 0) ReadOrder(t, forward, size);
    }
  }
  for (uint32_t r = 1; r <= 3 && r <= records + 1; ++r) (void)t.GetByPointer(r);
  t.Close();
}

}  // namespace
}  // namespace vm::storage

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& base = vm::storage::FileBase();
  const std::string path = base + ".KFS";
  std::FILE* fp = std::fopen(path.c_str(), "wb");
  if (fp == nullptr) vm::fuzz::Fail("cannot write the table file");
  if (size > 0 && std::fwrite(data, 1, size, fp) != size)
    vm::fuzz::Fail("cannot write the table file");
  std::fclose(fp);
  using namespace vm::storage;
  std::vector<std::string> tables;
  ReadTable(base, size, &tables, kAccessRead | kShareDenyNone);
  for (size_t i = 0; i < tables.size() && i < 4; ++i) {
    if (tables[i] != "UNNAMED")
      ReadTable(base + "\\!" + tables[i], size, nullptr, kAccessRead | kShareDenyNone);
  }
  // Once more for writing: a pending journal is now rolled forward or back
  // on the file, and the file cut at the end of its data when closed.
  ReadTable(base, size, nullptr, kAccessReadWrite | kShareDenyNone);
  return 0;
}
