// The SMTP dialogue fed from a byte stream instead of a socket. The mail
// object's connection operations are replaced by ones that only record what
// the object does (opens, the bytes it sends, closes, aborts, errors and
// sent messages); the server's bytes reach it through Process as the socket
// layer would hand them over. The same stream is fed three ways: each
// connection's bytes in one block, in blocks cut where the input says, and
// one byte at a time. However the stream is cut, the dialogue must be the
// same.
//
// Each connection's bytes are also read as a reply to EHLO by the capability
// parser, whose answer must stay within its limits.
//
// Input: an options byte, a byte that seeds the cutting, then the server's
// bytes; 0xFF separates the bytes of one connection from the next one's.
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "mail/ehlo_capabilities.h"
#include "mail/net_email_send.h"
#include "platform/clock.h"

namespace vm::mail {
namespace {

constexpr size_t kStreamCap = 16000;  // below the longest reply the object buffers

// Connection operations that touch no socket, recording what the object does.
class ScriptedMailer final : public NetEmailSend {
 public:
  ~ScriptedMailer() override { Kill(); }

  void Open(std::string_view server, uint16_t port) override {
    // What the object's own Open resets before it connects.
    _MESSAGESSENTONCURRENTCONNECTION = 0;
    _SERVERREPLYBUFFERLEN = 0;
    _SERVERREPLYBUFFER.clear();
    ERROR = 0;
    OPENFLAG = 1;
    // A loopback server: a login may go to it without TLS.
    const unsigned char loopback[4] = {127, 0, 0, 1};
    std::memcpy(_CONNECTION.RESERVED1, loopback, sizeof loopback);
    ++opens;
    log.push_back("open " + std::string(server) + ":" + std::to_string(port));
  }
  void Close() override {
    log.push_back("close");
    OPENFLAG = 0;  // the socket layer has nothing to close
    NetEmailSend::Close();
  }
  void Abort() override {
    log.push_back("abort");
    OPENFLAG = 0;
    NetEmailSend::Abort();
  }
  void Send() override {
    // Sends the socket layer would refuse are refused by the object's own
    // checks before it reaches the socket layer.
    if (OPENFLAG == 0 || PACKET.BINDATALEN <= 0 || PACKET.BINDATALEN > net::kMaxBinData) {
      NetEmailSend::Send();
      return;
    }
    ERROR = 0;
    log.push_back("send " + std::string(PACKET.BINDATA, static_cast<size_t>(PACKET.BINDATALEN)));
  }
  void ErrorTrap(std::string_view text, std::string_view function) override {
    NetEmailSend::ErrorTrap(text, function);
    log.push_back("trap " + std::string(text) + " | " + std::string(function) + " | " +
                  std::to_string(ERROR) + " | " + std::to_string(SERVERERRORNUM) + " " +
                  SERVERERRORDESC);
  }
  void MessageSent() override {
    NetEmailSend::MessageSent();
    log.push_back("sent");
  }
  void Trace(std::string_view, std::string_view) override {}

  // One block from the server, as TakeEvent hands a received packet over.
  void Receive(std::string_view block) {
    ERROR = 0;
    std::memcpy(PACKET.BINDATA, block.data(), block.size());
    PACKET.BINDATALEN = static_cast<int32_t>(block.size());
    Process();
  }

  std::vector<std::string> log;
  int opens = 0;
};

struct Options {
  bool auth = false;
  bool keep_open = false;
  bool two_messages = false;
  bool carbon_copy = false;
  bool peer_closes = false;  // the server closes each connection after its bytes
  int reconnect_after = 0;
  // STARTTLS required. No TLS can start here (there is no runtime), so the
  // dialogue ends at the handshake: what it sends up to then is checked.
  bool starttls = false;
};

enum class Cutting { kWhole, kChosen, kBytes };

std::vector<std::string> Dialogue(const Options& o, const std::vector<std::string_view>& streams,
                                  Cutting cutting, uint8_t seed) {
  platform::ManualClock clock;
  ScriptedMailer m;
  m.SUPPRESSERRORMSG = 1;
  m.Init();
  m.SetClock(&clock);
  // The Message-ID's random part would differ between the runs compared.
  m.SetMessageIdTag("");
  m.SetReplyTimeoutMs(0);
  m.SERVER = "mail.example.com";
  m.PORT = 25;
  m.FROM = "Voice Mail <vm@example.com>";
  m.TOLIST = "bob@example.com, Ann <ann@example.com>";
  if (o.carbon_copy) m.CCLIST = "carol@example.com";
  m.SUBJECT = "New voice message";
  if (o.auth) {
    m.AUTHUSER = "vm";
    m.AUTHPASSWORD = "secret";
  }
  if (o.starttls) m.SetSecurity(Security::kStartTls);
  m.OPTIONSKEEPCONNECTIONOPEN = o.keep_open ? 1 : 0;
  m.RECONNECTAFTERXMSGS = o.reconnect_after;
  const std::string body = "You have a new message.\r\n.\r\nEnd.\r\n";
  m.SetRequiredMessageSize(0, static_cast<int32_t>(body.size()), 0);
  m.SetMessageText(body);
  NetEmailSend::SetMessageCounter(0);
  m.SendMail(2);
  if (o.two_messages) m.SendMail(2);

  std::mt19937 rng(seed);
  for (size_t served = 0; served < streams.size() && static_cast<size_t>(m.opens) == served + 1;
       ++served) {
    std::string_view rest = streams[served];
    while (!rest.empty() && m.OPENFLAG == 1 && static_cast<size_t>(m.opens) == served + 1) {
      size_t n = rest.size();
      if (cutting == Cutting::kBytes) n = 1;
      if (cutting == Cutting::kChosen) n = 1 + rng() % std::min<size_t>(rest.size(), 64);
      m.Receive(rest.substr(0, n));
      rest.remove_prefix(n);
    }
    if (o.peer_closes && m.OPENFLAG == 1 && static_cast<size_t>(m.opens) == served + 1) {
      m.log.push_back("peer closes");
      m.TakeEvent(m.ClosedEvent());
    }
  }
  m.log.push_back("end state " + std::to_string(m._STATE) + " open " + std::to_string(m.OPENFLAG) +
                  " queued " + std::to_string(m.DATAQUEUE != nullptr ? m.DATAQUEUE->size() : 0));
  return m.log;
}

void Compare(const std::vector<std::string>& whole, const std::vector<std::string>& cut,
             const char* how) {
  if (whole == cut) return;
  std::fprintf(stderr, "dialogue with the stream %s differs:\n", how);
  for (size_t i = 0; i < std::max(whole.size(), cut.size()); ++i) {
    std::fprintf(stderr, "%c %-60.60s | %-60.60s\n",
                 i < whole.size() && i < cut.size() && whole[i] == cut[i] ? ' ' : '*',
                 i < whole.size() ? whole[i].c_str() : "", i < cut.size() ? cut[i].c_str() : "");
  }
  fuzz::Fail("the dialogue depends on where the stream is cut");
}

// The capability parser on one connection's bytes: mechanisms are SASL
// names (at most 20 of A-Z, 0-9, "-", "_"), each once, at most
// kMaxAuthMechanisms, and the login chosen is one of them.
void CheckCapabilities(std::string_view reply) {
  const EhloCapabilities caps = ParseEhloReply(reply);
  if (caps.auth.size() > kMaxAuthMechanisms) fuzz::Fail("too many AUTH mechanisms kept");
  for (size_t i = 0; i < caps.auth.size(); ++i) {
    const std::string& m = caps.auth[i];
    if (m.empty() || m.size() > 20) fuzz::Fail("an AUTH mechanism of a wrong length");
    for (char c : m) {
      if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_'))
        fuzz::Fail("an AUTH mechanism with a character SASL names do not have");
    }
    for (size_t j = 0; j < i; ++j) {
      if (caps.auth[j] == m) fuzz::Fail("an AUTH mechanism kept twice");
    }
  }
  const std::string login = ChooseLogin(caps);
  if (!login.empty() && !caps.Offers(login)) fuzz::Fail("a login chosen that is not offered");
  if (caps.Offers("PLAIN") && login != "PLAIN") fuzz::Fail("PLAIN offered but not chosen");
}

}  // namespace
}  // namespace vm::mail

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vm::fuzz::FuzzInput in(data, size);
  const uint8_t bits = in.Byte();
  vm::mail::Options o;
  o.auth = bits & 0x01;
  o.keep_open = bits & 0x02;
  o.two_messages = bits & 0x04;
  o.carbon_copy = bits & 0x08;
  o.peer_closes = bits & 0x10;
  o.reconnect_after = (bits >> 5) & 0x03;
  o.starttls = bits & 0x80;
  const uint8_t seed = in.Byte();
  const std::string_view all = in.Rest();
  std::vector<std::string_view> streams;
  size_t start = 0;
  for (;;) {
    const size_t sep = all.find('\xFF', start);
    std::string_view s =
        all.substr(start, sep == std::string_view::npos ? std::string_view::npos : sep - start);
    streams.push_back(s.substr(0, vm::mail::kStreamCap));
    if (sep == std::string_view::npos) break;
    start = sep + 1;
  }
  for (std::string_view s : streams) vm::mail::CheckCapabilities(s);
  using vm::mail::Cutting;
  const auto whole = vm::mail::Dialogue(o, streams, Cutting::kWhole, seed);
  if (std::getenv("VM_FUZZ_SHOW") != nullptr) {
    for (const std::string& line : whole) std::fprintf(stderr, "%s\n", line.c_str());
  }
  vm::mail::Compare(whole, vm::mail::Dialogue(o, streams, Cutting::kChosen, seed),
                    "cut in chosen places");
  vm::mail::Compare(whole, vm::mail::Dialogue(o, streams, Cutting::kBytes, seed),
                    "cut into single bytes");
  return 0;
}
