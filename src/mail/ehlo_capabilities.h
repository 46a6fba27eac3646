// What a server's reply to EHLO offers: STARTTLS and the AUTH mechanisms.
// The reply is untrusted bytes from the network; the parser reads only
// complete "250-" / "250 " lines and keeps a bounded number of mechanisms.
// Pure functions; safe from any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vm::mail {

struct EhloCapabilities {
  bool starttls = false;
  // AUTH mechanisms as offered (upper case, each once, at most
  // kMaxAuthMechanisms), from "AUTH a b" and the older "AUTH=a b".
  std::vector<std::string> auth;
  bool Offers(std::string_view mechanism) const;
};

inline constexpr size_t kMaxAuthMechanisms = 32;

// Reads the lines of a 250 reply to EHLO (lines end in LF, with or without
// CR). The first line greets and names the server: it is not a capability.
// Lines with another code are not read.
EhloCapabilities ParseEhloReply(std::string_view reply);

// The login this program uses with such a server: "PLAIN" when offered,
// else "LOGIN" when offered, else empty.
std::string ChooseLogin(const EhloCapabilities& caps);

}  // namespace vm::mail
