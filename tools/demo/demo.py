#!/usr/bin/python3
"""One demonstration pass of voicemail-mailer against a loopback SMTP sink.

Usage: demo.py BUILD_DIR

Makes (or reuses) BUILD_DIR/demo: a voice-mail tree with three mailboxes
(101 attaches its recordings, 102 sends without attachment, 103 is
disabled), each with "transfer.ini" and short generated WAV recordings (a
reused directory gets one new recording per run);
starts aiosmtpd on a free loopback port; sets the program up as an operator
would, with its own commands (`settings set`, `mailbox refresh`, `mailbox
set`); runs `voicemail-mailer --scan-once`; prints what the server received,
`voicemail-mailer log` and `voicemail-mailer status`; when a display is
available, then opens the main window over the same data. The SMTP sink is
stopped on exit.
"""
import math
import os
import shutil
import struct
import subprocess
import sys
import time
import wave
from email import policy
from email.parser import BytesParser


def make_wav(path, seconds, freq):
    rate = 8000
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        frames = b"".join(struct.pack("<h", int(8000 * math.sin(2 * math.pi * freq * i / rate)))
                          for i in range(int(rate * seconds)))
        w.writeframes(frames)
    old = time.time() - 120  # older than the 45-second age test
    os.utime(path, (old, old))


def make_tree(root):
    recordings = {101: ["msg0001.wav", "msg0002.wav"], 102: ["msg0101.wav"], 103: ["msg0201.wav"]}
    for box, names in recordings.items():
        msg = os.path.join(root, str(box), "msg")
        os.makedirs(msg, exist_ok=True)
        open(os.path.join(root, str(box), "transfer.ini"), "w").close()
        for i, n in enumerate(names):
            if not os.path.exists(os.path.join(msg, n)):
                make_wav(os.path.join(msg, n), 0.5 + 0.25 * i, 440 + 110 * i)
    # Every run brings one new recording, so a reused directory still has
    # something to send.
    make_wav(os.path.join(root, "101", "msg", time.strftime("rec-%Y%m%d-%H%M%S.wav")), 0.4, 660)


def main():
    sys.stdout.reconfigure(line_buffering=True)
    build = os.path.abspath(sys.argv[1])
    src = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    demo = os.path.join(build, "demo")
    data, tree, received = (os.path.join(demo, d) for d in ("data", "voicemail", "received"))
    fresh = not os.path.isdir(data)
    shutil.rmtree(received, ignore_errors=True)
    for d in (data, received):
        os.makedirs(d, exist_ok=True)
    make_tree(tree)
    # The settings record keeps the port as a signed 16-bit number: the sink
    # listens below 32768.
    server = subprocess.Popen(["/usr/bin/python3", os.path.join(src, "tests/peers/smtp_server.py"), received,
                               "--low-port"],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        line = server.stdout.readline().strip()
        if not line.startswith("PORT "):
            print("demo: the SMTP sink did not start:", line)
            return 2
        port = line.split()[1]
        program = os.path.join(build, "voicemail-mailer")

        def command(*words):
            print("== voicemail-mailer", " ".join(words[:3]), "...")
            return subprocess.run([program, "--data-dir", data] + list(words), check=True)

        command("settings", "set", "server=127.0.0.1", "port=" + port,
                "from=VoiceMail <voicemail@demo.invalid>", "root=" + tree,
                "subject=New voice message",
                "attach-body=Message for <EXT> recorded <DATE> at <TIME>;\\nthe recording is attached.",
                "plain-body=Message for <EXT> recorded <DATE> at <TIME>.\\nCall your mailbox.")
        if fresh:
            # The mailboxes come from the voice-mail tree; the operator then
            # gives each its owner.
            command("mailbox", "refresh")
            command("mailbox", "set", "101", "--address", "alice@demo.invalid", "--attach", "yes")
            command("mailbox", "set", "102", "--address", "bob@demo.invalid", "--cc", "boss@demo.invalid")
            command("mailbox", "set", "103", "--address", "carol@demo.invalid", "--enabled", "no")
        print("== voicemail-mailer --scan-once --data-dir", data)
        rc = subprocess.run([program, "--scan-once", "--data-dir", data]).returncode
        print("== exit status", rc)
        time.sleep(0.5)
        print("== received by the SMTP sink on port", port)
        for name in sorted(os.listdir(received)):
            if not name.endswith(".eml"):
                continue
            with open(os.path.join(received, name), "rb") as f:
                msg = BytesParser(policy=policy.default).parse(f)
            print("%s  to=%s cc=%s subject=%r" % (name, msg["To"], msg["Cc"] or "-", msg["Subject"]))
            for part in msg.iter_attachments():
                print("    attachment %s, %d bytes" % (part.get_filename(), len(part.get_payload(decode=True))))
        print("== voicemail-mailer log (queued, mailbox, file, address, code, outcome)")
        subprocess.run([program, "--data-dir", data, "log"])
        print("== voicemail-mailer status")
        subprocess.run([program, "--data-dir", data, "status"])
        if os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY"):
            # With a display, the frame opens over the same data while the sink
            # still runs, so "Send Mail" and the windows work; closing it ends the demo.
            print("== voicemail-mailer --data-dir", data, "(close the window to end the demo)")
            gui = subprocess.Popen([program, "--data-dir", data])
            try:
                gui.wait()
            except KeyboardInterrupt:
                # Ctrl-C reached the program too; it ends after the message in flight.
                gui.wait(timeout=60)
        return rc
    finally:
        server.stdin.close()
        server.wait(timeout=10)


if __name__ == "__main__":
    sys.exit(main())
