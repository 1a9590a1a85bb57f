#!/usr/bin/python3
"""A mail catcher for trying the gateway out: an SMTP server on 127.0.0.1
that accepts every message and stores each one, exactly as received after
DATA, as a file of its own in a folder.

Run it with Debian's /usr/bin/python3 (python3-aiosmtpd):

    /usr/bin/python3 tests/smtp_receiver.py --port 2525 --folder /tmp/mail

It prints "listening on 127.0.0.1:PORT" once it accepts connections and
"mail saved: PATH" for each message, and stops on Ctrl-C or SIGTERM.
"""
import argparse
import os
import signal
import sys
import threading

from aiosmtpd.controller import Controller


class StoringHandler:
    def __init__(self, folder):
        self.folder = folder
        self.count = 0
        self.lock = threading.Lock()

    async def handle_DATA(self, server, session, envelope):
        with self.lock:
            self.count += 1
            number = self.count
        path = os.path.join(self.folder, "%04d.eml" % number)
        # Written under another name first, so that whoever watches the
        # folder never reads half a message.
        partial = path + ".part"
        with open(partial, "wb") as f:
            f.write(envelope.original_content)
        os.rename(partial, path)
        print("mail saved: %s (from <%s> to %s)" % (
            path, envelope.mail_from,
            ", ".join("<%s>" % r for r in envelope.rcpt_tos)), flush=True)
        return "250 OK"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--folder", required=True)
    args = parser.parse_args()

    os.makedirs(args.folder, exist_ok=True)
    # Messages are stored as received; the gateway sends 8-bit text.
    controller = Controller(StoringHandler(args.folder), hostname="127.0.0.1",
                            port=args.port, decode_data=False)
    controller.start()
    print("listening on 127.0.0.1:%d, saving mail in %s" % (
        args.port, args.folder), flush=True)

    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    # Started in the background by a script, SIGINT comes in ignored and
    # stays so: the script stops us with SIGTERM after its own Ctrl-C.
    if signal.getsignal(signal.SIGINT) is not signal.SIG_IGN:
        signal.signal(signal.SIGINT, lambda *_: stop.set())
    while not stop.wait(3600):
        pass
    controller.stop()
    print("receiver stopped", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
