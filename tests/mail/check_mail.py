#!/usr/bin/python3
"""Parses a mail message with Python's email package and prints its structure.

Usage: check_mail.py MESSAGE [--file NAME=PATH]...

One line per part: depth, content type, file name, transfer encoding, decoded
length and SHA-256 of the decoded payload. Then "file NAME len=N sha256=H" for
every --file, and "defect ..." for every defect the parser found.
"""
import email
import email.policy
import hashlib
import sys


def main():
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
        if part.get_content_maintype() == "text":
            print("%stext=%r" % ("  " * depth, payload[:200]))

    walk(msg, 0)
    for name, p in files:
        with open(p, "rb") as f:
            content = f.read()
        print("file %s len=%d sha256=%s" % (name, len(content), hashlib.sha256(content).hexdigest()))
    for key in ("From", "To", "Cc", "Subject"):
        if msg.get(key) is not None:
            print("header %s: %s" % (key, str(msg.get(key))))


if __name__ == "__main__":
    main()
