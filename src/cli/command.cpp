#include "cli/command.h"

#include "platform/file.h"

namespace vm::cli {

int Refuse(const Context& context, const std::string& text) {
  *context.err << "voicemail-mailer: " << text << "\n";
  return kExitRefused;
}

int UsageError(const Context& context, const std::string& command, const std::string& text) {
  *context.err << "voicemail-mailer " << command << ": " << text << " (see voicemail-mailer "
               << command << " --help)\n";
  return kExitRefused;
}

int CheckDirectory(const Context& context) {
  if (platform::Env::Default()->IsDirectory(context.shown_dir())) return kExitOk;
  return Refuse(context, "the working directory " + context.shown_dir() + " does not exist");
}

}  // namespace vm::cli
