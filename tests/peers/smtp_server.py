#!/usr/bin/python3
"""A real SMTP server (aiosmtpd) for the mail interoperability tests.

Usage: smtp_server.py DIR [--user NAME --password PW] [--low-port]

Listens on a free loopback port (with --low-port one below 32768, which the
settings record's signed 16-bit port can hold) and prints "PORT n" once it accepts
connections. Every accepted message is saved as DIR/NNN.eml (the bytes after
DATA, dot-unstuffed) with DIR/NNN.txt holding the envelope: "from ADDR",
"rcpt ADDR" lines and "auth NAME" when the session authenticated. Recipients
whose address starts with "reject" are refused with 550; those starting with
"busy" get 451 for every attempt, "greylist" 451 for the first two attempts
at that address and then 250, and "closing" a 421 (the server closing down).
With --user, a login
(AUTH PLAIN or AUTH LOGIN) is required and checks the credentials. The server stops when its
standard input is closed.
"""
import os
import random
import socket
import sys

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword


class SavingHandler:
    def __init__(self, directory):
        self.directory = directory
        self.count = 0
        self.tries = {}

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.startswith("reject"):
            return "550 5.1.1 <%s>: Recipient address rejected" % address
        self.tries[address] = self.tries.get(address, 0) + 1
        if address.startswith("busy") or (address.startswith("greylist")
                                          and self.tries[address] <= 2):
            return "451 4.7.1 <%s>: Greylisted, try again later" % address
        if address.startswith("closing"):
            return "421 4.3.2 Service shutting down"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        base = os.path.join(self.directory, "%03d" % self.count)
        with open(base + ".eml.part", "wb") as f:
            f.write(envelope.original_content or envelope.content)
        with open(base + ".txt", "w") as f:
            f.write("from %s\n" % envelope.mail_from)
            for r in envelope.rcpt_tos:
                f.write("rcpt %s\n" % r)
            if session.authenticated:
                f.write("auth %s\n" % (session.auth_data.login.decode()
                                       if isinstance(session.auth_data, LoginPassword) else "yes"))
        os.rename(base + ".eml.part", base + ".eml")
        return "250 2.0.0 Message accepted for delivery"


def free_port(low=False):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        # Ports the system hands out are above 32767 on Linux; a low one is
        # drawn at random and a taken one raises, so the caller tries again.
        s.bind(("127.0.0.1", random.randint(10000, 32767) if low else 0))
        return s.getsockname()[1]
    finally:
        s.close()


def main():
    directory = sys.argv[1]
    user = password = None
    args = sys.argv[2:]
    low = "--low-port" in args
    for i, a in enumerate(args):
        if a == "--user":
            user = args[i + 1].encode()
        if a == "--password":
            password = args[i + 1].encode()

    def authenticator(server, session, envelope, mechanism, auth_data):
        ok = (mechanism in ("LOGIN", "PLAIN") and isinstance(auth_data, LoginPassword)
              and auth_data.login == user and auth_data.password == password)
        return AuthResult(success=ok, handled=False, auth_data=auth_data if ok else None)

    kwargs = dict(data_size_limit=64 * 1024 * 1024, auth_require_tls=False)
    if user is not None:
        kwargs.update(authenticator=authenticator, auth_required=True)
    handler = SavingHandler(directory)
    controller = None
    for _ in range(20):
        try:
            controller = Controller(handler, hostname="127.0.0.1", port=free_port(low), **kwargs)
            controller.start()
            break
        except Exception:  # the port was taken in between: try another
            controller = None
    if controller is None:
        print("FAILED", flush=True)
        return 1
    print("PORT %d" % controller.port, flush=True)
    try:
        sys.stdin.read()
    except KeyboardInterrupt:  # Ctrl-C in the demo's terminal: stop quietly
        pass
    controller.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
