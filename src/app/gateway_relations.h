// The program's file managers and relation managers of its three tables, one
// per table, made at start-up (after the error manager) and destroyed at
// shutdown before it, both in the order Control, ProcessedFiles, Mailboxes
// (each relation manager closes what windows left open, then its file). Windows open tables through
// relation(t); GatewayFiles counts each procedure's opens here as well. Safe from any thread.
#pragma once

#include <array>
#include <memory>
#include <string>

#include "app/gateway_files.h"
#include "framework/file_errors.h"
#include "framework/file_manager.h"
#include "framework/relation_manager.h"

namespace vm::app {

class GatewayRelations {
 public:
  // `dir`: the working directory of the table files; `errors` must outlive
  // this object.
  GatewayRelations(const std::string& dir, framework::FileErrors* errors,
                   platform::Env* env = platform::Env::Default());
  ~GatewayRelations();
  GatewayRelations(const GatewayRelations&) = delete;
  GatewayRelations& operator=(const GatewayRelations&) = delete;

  framework::RelationManager& relation(Table t) { return *relations_[static_cast<size_t>(t)]; }
  framework::FileManager& file(Table t) { return *files_[static_cast<size_t>(t)]; }

 private:
  std::array<std::unique_ptr<framework::FileManager>, 3> files_;
  std::array<std::unique_ptr<framework::RelationManager>, 3> relations_;
};

}  // namespace vm::app
