#!/usr/bin/python3
"""A real SMTP server (aiosmtpd) with TLS, for the secured-connection tests.

Usage: smtp_tls_server.py DIR --mode plain|starttls|tls [--cert PEM --key PEM]
                          [--user NAME --password PW] [--mechanisms A,B]
                          [--low-port]

--mode starttls offers STARTTLS; --mode tls speaks TLS from the first byte;
--mode plain offers no TLS at all. With --user every message needs a login,
checked against NAME and PW, and (in starttls mode) a login is refused until
TLS runs (auth_require_tls). --mechanisms limits the AUTH mechanisms offered
(LOGIN, PLAIN, CRAM-MD5; CRAM-MD5 is offered but never accepts). With
--low-port the port is below 32768, which the settings record can hold.

Prints "PORT n" once it accepts connections. DIR/transcript.txt gets one line
per command: "tls=1 EHLO name" (for AUTH only the mechanism, never the
credentials). Every accepted message is saved as DIR/NNN.eml with DIR/NNN.txt
holding "from ADDR", "rcpt ADDR" lines and "auth NAME" after a login. The
server stops when its standard input is closed.
"""
import logging
import os
import random
import socket
import ssl
import sys
import warnings

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword

ALL_MECHANISMS = ["LOGIN", "PLAIN", "CRAM-MD5"]


class SavingHandler:
    def __init__(self, directory):
        self.directory = directory
        self.count = 0

    async def auth_CRAM__MD5(self, server, args):
        # Offered so that a server with only this mechanism can be shown;
        # a client that tries it is refused.
        await server.push("535 5.7.8 Authentication credentials invalid")
        return AuthResult(success=False, handled=True)

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
                f.write("auth %s\n" % session.auth_data.login.decode())
        os.rename(base + ".eml.part", base + ".eml")
        return "250 2.0.0 Message accepted for delivery"


def logging_smtp(transcript):
    """An SMTP class that writes every command to the transcript first."""

    class LoggingSMTP(SMTP):
        def _log(self, verb, arg):
            tls = self.transport is not None and \
                self.transport.get_extra_info("ssl_object") is not None
            if verb == "AUTH":
                arg = (arg or "").split(" ")[0]  # the mechanism, not the credentials
            with open(transcript, "a") as f:
                f.write("tls=%d %s %s\n" % (1 if tls else 0, verb, arg or ""))

        async def smtp_HELO(self, arg):
            self._log("HELO", arg)
            return await super().smtp_HELO(arg)

        async def smtp_EHLO(self, arg):
            self._log("EHLO", arg)
            return await super().smtp_EHLO(arg)

        async def smtp_STARTTLS(self, arg):
            self._log("STARTTLS", arg)
            return await super().smtp_STARTTLS(arg)

        async def smtp_AUTH(self, arg):
            self._log("AUTH", arg)
            return await super().smtp_AUTH(arg)

        async def smtp_MAIL(self, arg):
            self._log("MAIL", arg)
            return await super().smtp_MAIL(arg)

        async def smtp_RCPT(self, arg):
            self._log("RCPT", arg)
            return await super().smtp_RCPT(arg)

        async def smtp_DATA(self, arg):
            self._log("DATA", arg)
            return await super().smtp_DATA(arg)

        async def smtp_RSET(self, arg):
            self._log("RSET", arg)
            return await super().smtp_RSET(arg)

        async def smtp_QUIT(self, arg):
            self._log("QUIT", arg)
            return await super().smtp_QUIT(arg)

    return LoggingSMTP


class TlsController(Controller):
    def __init__(self, smtp_class, *args, **kwargs):
        self.smtp_class = smtp_class
        super().__init__(*args, **kwargs)

    def factory(self):
        return self.smtp_class(self.handler, **self.SMTP_kwargs)


def free_port(low=False):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        # Ports the system hands out are above 32767 on Linux; a low one is
        # drawn at random and a taken one raises, so the caller tries again.
        s.bind(("127.0.0.1", random.randint(10000, 32767) if low else 0))
        return s.getsockname()[1]
    finally:
        s.close()


def option(args, name, default=None):
    return args[args.index(name) + 1] if name in args else default


def main():
    # Login over TLS from the first byte is what the tests want; aiosmtpd
    # warns about it because its TLS check knows only STARTTLS.
    warnings.filterwarnings("ignore", message="Requiring AUTH while not requiring TLS")
    # aiosmtpd's own login code logs that its login_data field is deprecated,
    # once for every login.
    logging.getLogger("mail.log").addFilter(
        lambda record: "login_data is deprecated" not in record.getMessage())
    directory = sys.argv[1]
    args = sys.argv[2:]
    mode = option(args, "--mode", "starttls")
    user = option(args, "--user")
    password = option(args, "--password")
    offered = option(args, "--mechanisms", "LOGIN,PLAIN").split(",")
    low = "--low-port" in args

    def authenticator(server, session, envelope, mechanism, auth_data):
        ok = (isinstance(auth_data, LoginPassword)
              and auth_data.login.decode() == user
              and auth_data.password.decode() == password)
        return AuthResult(success=ok, handled=False, auth_data=auth_data if ok else None)

    context = None
    if mode != "plain":
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(option(args, "--cert"), option(args, "--key"))

    kwargs = dict(data_size_limit=64 * 1024 * 1024,
                  auth_exclude_mechanism=[m for m in ALL_MECHANISMS if m not in offered])
    if mode == "starttls":
        kwargs.update(tls_context=context, auth_require_tls=True)
    else:
        # With TLS from the first byte the whole session is encrypted, which
        # aiosmtpd's auth_require_tls (made for STARTTLS) does not see.
        kwargs.update(auth_require_tls=False)
    if user is not None:
        kwargs.update(authenticator=authenticator, auth_required=True)
    if mode == "tls":
        kwargs.update(ssl_context=context)

    transcript = os.path.join(directory, "transcript.txt")
    handler = SavingHandler(directory)
    controller = None
    for _ in range(20):
        try:
            controller = TlsController(logging_smtp(transcript), handler,
                                       hostname="127.0.0.1", port=free_port(low), **kwargs)
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
    except KeyboardInterrupt:
        pass
    controller.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
