#!/usr/bin/python3
"""Parses a mail message with Python's email package and prints its structure.

Usage: check_mail.py MESSAGE [--file NAME=PATH]...

One line per part: depth, content type, file name, transfer encoding, decoded
length and SHA-256 of the decoded payload; for a part with a file name also
"namehex=" and the name in UTF-8 as hex, for a text part "contenthex=" and
its decoded text in UTF-8 as hex. Then "file NAME len=N sha256=H" for every
--file, "defect ..." for every defect the parser found, the From, To, Cc and
Subject headers decoded, each also as "headerhex NAME: HEX", and the
Message-ID as "id ID".
"""
import email
import email.policy
import hashlib
import sys


def main():
    sys.stdout.reconfigure(encoding="utf-8", errors="backslashreplace")
    args = sys.argv[1:]
    path = args[0]
    files = []
    i = 1
    while i < len(args):
        if args[i] == "--file":
            files.append(args[i + 1].split("=", 1))
            i += 2
        else:
            i += 1
    with open(path, "rb") as f:
        data = f.read()
    msg = email.message_from_bytes(data, policy=email.policy.default)
    for defect in msg.defects:
        print("defect", type(defect).__name__)

    def walk(part, depth):
        for defect in part.defects:
            print("defect", type(defect).__name__)
        for key, value in part.items():
            for defect in getattr(value, "defects", ()):
                print("defect", key, type(defect).__name__)
        if part.is_multipart():
            print("%s%s" % ("  " * depth, part.get_content_type()))
            for sub in part.iter_parts() if hasattr(part, "iter_parts") else part.get_payload():
                walk(sub, depth + 1)
            return
        payload = part.get_payload(decode=True) or b""
        name = part.get_filename() or "-"
        cte = part.get("Content-Transfer-Encoding", "-")
        print("%s%s name=%s cte=%s len=%d sha256=%s" % ("  " * depth, part.get_content_type(), name, cte,
                                                        len(payload), hashlib.sha256(payload).hexdigest()))
        if part.get_filename() is not None:
            print("%snamehex=%s" % ("  " * depth, part.get_filename().encode("utf-8", "surrogateescape").hex()))
        if part.get_content_maintype() == "text":
            print("%stext=%r" % ("  " * depth, payload[:200]))
            print("%scontenthex=%s" % ("  " * depth, part.get_content().encode("utf-8", "surrogateescape").hex()))

    walk(msg, 0)
    for name, p in files:
        with open(p, "rb") as f:
            content = f.read()
        print("file %s len=%d sha256=%s" % (name, len(content), hashlib.sha256(content).hexdigest()))
    for key in ("From", "To", "Cc", "Subject"):
        if msg.get(key) is not None:
            print("header %s: %s" % (key, str(msg.get(key))))
            print("headerhex %s: %s" % (key, str(msg.get(key)).encode("utf-8", "surrogateescape").hex()))
    if msg.get("Message-ID") is not None:
        print("id %s" % msg.get("Message-ID"))


if __name__ == "__main__":
    main()
