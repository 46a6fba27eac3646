#!/usr/bin/python3
"""Prints a received message for the gateway tests, one fact per line.

Usage: dump_mail.py MESSAGE

"header NAME: VALUE" for every top-level header (in order, line breaks shown
as \\r and \\n), "text ..." for each text part (escaped the same way),
"attachment NAME LENGTH SHA256" for each attachment, "defect ..." for parser
defects.
"""
import email
import email.policy
import hashlib
import sys


def esc(s):
    return str(s).replace("\\", "\\\\").replace("\r", "\\r").replace("\n", "\\n")


def main():
    with open(sys.argv[1], "rb") as f:
        msg = email.message_from_bytes(f.read(), policy=email.policy.compat32)
    for name, value in msg.items():
        print("header %s: %s" % (name, esc(value)))
    for part in msg.walk():
        if part.is_multipart():
            continue
        payload = part.get_payload(decode=True) or b""
        filename = part.get_filename()
        if filename is not None or part.get("Content-Disposition", "").startswith("attachment"):
            print("attachment %s %d %s" % (esc(filename), len(payload), hashlib.sha256(payload).hexdigest()))
        else:
            print("text %s" % esc(payload.decode("utf-8", "replace")))
    for d in msg.defects:
        print("defect %s" % d)


if __name__ == "__main__":
    main()
