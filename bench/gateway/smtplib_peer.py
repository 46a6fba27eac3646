#!/usr/bin/python3
"""Sends every DIR/<mailbox>/msg/*.wav as an attachment to 127.0.0.1:PORT with
smtplib, one message per connection (as the gateway does). Prints the seconds
taken. With --starttls each connection runs starttls() (the certificate
checked against CA) and login(USER, PW) before the message.

Usage: smtplib_peer.py PORT DIR [--starttls CA --user USER --password PW]
"""
import os
import smtplib
import ssl
import sys
import time
from email.message import EmailMessage


def main():
    port, directory = int(sys.argv[1]), sys.argv[2]
    args = sys.argv[3:]
    context = None
    if "--starttls" in args:
        context = ssl.create_default_context(cafile=args[args.index("--starttls") + 1])
        user = args[args.index("--user") + 1]
        password = args[args.index("--password") + 1]
    files = []
    for box in sorted(os.listdir(directory)):
        msg_dir = os.path.join(directory, box, "msg")
        files += [(box, os.path.join(msg_dir, n)) for n in sorted(os.listdir(msg_dir))
                  if n.endswith(".wav")]
    start = time.monotonic()
    for box, path in files:
        msg = EmailMessage()
        msg["From"] = "Voice Mail <vm@example.com>"
        msg["To"] = "alice@example.com"
        msg["Subject"] = "New voice message"
        msg.set_content("Message for " + box)
        with open(path, "rb") as f:
            msg.add_attachment(f.read(), maintype="application", subtype="octet-stream",
                               filename=os.path.basename(path))
        with smtplib.SMTP("127.0.0.1", port) as s:
            if context is not None:
                s.starttls(context=context)
                s.login(user, password)
            s.send_message(msg)
    print("%.3f" % (time.monotonic() - start))


if __name__ == "__main__":
    main()
