// Shared pieces of the tests against real programs: a Python SMTP server run
// as a child process on a free loopback port, the mail object that records
// what it reports, certificates made with the openssl command for the TLS
// tests, and small file helpers.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "mail/net_email_send.h"

namespace vm::peers {

std::string SourcePath(const std::string& relative);
std::string ReadFile(const std::filesystem::path& p);
// Runs a shell command; its standard output and error together.
std::string RunCommand(const std::string& cmd);

// A Python server script (tests/peers/NAME) started as
// "/usr/bin/python3 SCRIPT DIR ARGS...": it prints "PORT n" once it accepts
// connections and stops when its standard input is closed.
class PythonServer {
 public:
  PythonServer(const std::string& script, const std::filesystem::path& dir,
               const std::vector<std::string>& args);
  ~PythonServer();
  PythonServer(const PythonServer&) = delete;
  PythonServer& operator=(const PythonServer&) = delete;
  uint16_t port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int stdin_fd_ = -1;
  uint16_t port_ = 0;
};

// The owner's replacements of ErrorTrap, MessageSent and Trace, recording.
class Mailer : public mail::NetEmailSend {
 public:
  ~Mailer() override { Kill(); }
  void ErrorTrap(std::string_view text, std::string_view function) override;
  void MessageSent() override;
  void Trace(std::string_view message, std::string_view function) override;
  std::vector<std::string> errors;     // ERRORSTRING of each ErrorTrap
  std::vector<int32_t> error_numbers;  // ERROR as the failure was reported
  std::vector<int32_t> server_codes;   // SERVERERRORNUM while it ran
  std::vector<std::string> traces;
  int sent = 0;
};

// Certificates made for one test run in `dir`: a CA, a server certificate
// it signed for localhost and 127.0.0.1, and one it signed for another name
// only. Empty paths when the openssl command failed (see `log`).
struct TestCertificates {
  std::string ca;           // ca.pem
  std::string server_cert;  // localhost and 127.0.0.1
  std::string server_key;
  std::string other_cert;  // other.example only
  std::string other_key;
  std::string log;
};
TestCertificates MakeCertificates(const std::filesystem::path& dir);

}  // namespace vm::peers
