#include "peer_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "spawn_program.h"

namespace vm::peers {

std::string SourcePath(const std::string& relative) {
  const char* root = std::getenv("VM_SOURCE_DIR");
  return std::string(root != nullptr ? root : ".") + "/" + relative;
}

std::string ReadFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string RunCommand(const std::string& cmd) {
  std::string out;
  if (FILE* p = popen((cmd + " 2>&1").c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
  }
  return out;
}

PythonServer::PythonServer(const std::string& script, const std::filesystem::path& dir,
                           const std::vector<std::string>& extra) {
  int in_pipe[2];
  int out_pipe[2];
  // Close-on-exec: the server keeps only the ends it is given.
  if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0) return;
  std::vector<std::string> args = {"/usr/bin/python3", SourcePath("tests/peers/" + script),
                                   dir.string()};
  args.insert(args.end(), extra.begin(), extra.end());
  pid_ = test_process::SpawnProgram(
      args, test_process::SpawnOptions().InputFrom(in_pipe[0]).OutputTo(out_pipe[1]));
  close(in_pipe[0]);
  close(out_pipe[1]);
  stdin_fd_ = in_pipe[1];
  std::string line;
  char c;
  while (read(out_pipe[0], &c, 1) == 1 && c != '\n') line.push_back(c);
  close(out_pipe[0]);
  if (line.rfind("PORT ", 0) == 0) port_ = static_cast<uint16_t>(std::stoi(line.substr(5)));
}

PythonServer::~PythonServer() {
  if (stdin_fd_ >= 0) close(stdin_fd_);
  if (pid_ <= 0) return;
  for (int i = 0; i < 100; ++i) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

void Mailer::ErrorTrap(std::string_view text, std::string_view function) {
  const int32_t reported = ERROR;
  NetEmailSend::ErrorTrap(text, function);
  errors.push_back(ERRORSTRING);
  error_numbers.push_back(reported);
  server_codes.push_back(SERVERERRORNUM);
}

void Mailer::MessageSent() {
  NetEmailSend::MessageSent();
  ++sent;
}

void Mailer::Trace(std::string_view message, std::string_view function) {
  traces.push_back(std::string(function) + ": " + std::string(message));
}

TestCertificates MakeCertificates(const std::filesystem::path& dir) {
  std::filesystem::create_directories(dir);
  const std::string d = "'" + dir.string() + "'";
  const std::string ec = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
  auto server = [&](const std::string& name, const std::string& san) {
    return "openssl req -new " + ec + " -keyout " + d + "/" + name + ".key -out " + d + "/" + name +
           ".csr -subj /CN=" + name + " && printf 'subjectAltName=" + san +
           "\\nbasicConstraints=CA:FALSE\\nextendedKeyUsage=serverAuth\\n' > " + d + "/" + name +
           ".ext && openssl x509 -req -in " + d + "/" + name + ".csr -CA " + d + "/ca.pem -CAkey " +
           d + "/ca.key -CAcreateserial -days 2 -out " + d + "/" + name + ".pem -extfile " + d +
           "/" + name + ".ext";
  };
  const std::string cmd =
      "openssl req -x509 " + ec + " -keyout " + d + "/ca.key -out " + d +
      "/ca.pem -days 2 -subj '/CN=Voicemail Test CA' -addext "
      "basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign && " +
      server("localhost", "DNS:localhost,IP:127.0.0.1") + " && " +
      server("other", "DNS:other.example") + " && echo CERTS-OK";
  TestCertificates c;
  c.log = RunCommand(cmd);
  if (c.log.find("CERTS-OK") == std::string::npos) return c;
  c.ca = (dir / "ca.pem").string();
  c.server_cert = (dir / "localhost.pem").string();
  c.server_key = (dir / "localhost.key").string();
  c.other_cert = (dir / "other.pem").string();
  c.other_key = (dir / "other.key").string();
  return c;
}

}  // namespace vm::peers
