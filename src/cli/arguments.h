// The words of one command after its name: switches ("--json"), options with
// a value ("--mailbox 101") wherever they stand, and the positional words
// left. Each Take call removes what it found. A plain value; owner thread only.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vm::cli {

class Arguments {
 public:
  explicit Arguments(std::vector<std::string> words) : words_(std::move(words)) {}

  // Whether the switch was given (every occurrence is taken).
  bool TakeSwitch(std::string_view name);
  // The value after the option (the last one when given twice); nullopt
  // when absent. An option without a value sets error().
  std::optional<std::string> TakeValue(std::string_view name);
  // The first word when it is not an option (a command's verb: "list"),
  // taken; nullopt otherwise.
  std::optional<std::string> TakeVerb();
  // The words left, in order; a word that looks like an option ("-x",
  // "--x") sets error() as an unknown option.
  std::vector<std::string> TakeRest();

  // The first problem met ("" when none).
  const std::string& error() const { return error_; }

 private:
  std::vector<std::string> words_;
  std::string error_;
};

}  // namespace vm::cli
