// Shared pieces of the command tests: the program run as an operator runs it
// (arguments, standard input, its two outputs and exit status kept apart),
// a snapshot of a directory's files to show that a refused command wrote
// nothing, and the integrity check of every table file.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "app/app_test_support.h"

namespace vm::cli::testing {

struct Outcome {
  int status = -1;  // exit status; -1 when it did not exit normally
  std::string out;
  std::string err;
};

// Runs build/voicemail-mailer with `args`, `input` on standard input.
Outcome RunProgram(const std::vector<std::string>& args, const std::string& input = "");

// Every regular file of `dir` (not below it) by name, with its bytes.
std::map<std::string, std::string> Snapshot(const std::string& dir);

// "" when `kfs check` finds every table file of `dir` sound, else what it said.
std::string CheckTables(const std::string& dir);

class CliTest : public app::testing::GatewayTest {
 protected:
  // The program with --data-dir this test's directory after `args`.
  Outcome Run(std::vector<std::string> args, const std::string& input = "") {
    args.push_back("--data-dir");
    args.push_back(data_dir());
    return RunProgram(args, input);
  }
};

}  // namespace vm::cli::testing
