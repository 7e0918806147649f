"""The console's line settings for an onlooker outside the virtual machine."""

import os
import termios


def append_line(path, text):
    with open(path, "a") as f:
        f.write(text + "\n")


class LineMirror:
    """A pty outside the machine that holds the console UART's line settings
    as the machine's kernel has them (reported by its ttywatch): what
    `--console-link` shows an onlooker, who must never read or write it.

    The launcher leaves raw mode after each key and returns to it within
    moments, faster than ttywatch polls. So console output makes the mirror
    cooked until ttywatch has answered a request sent after that output:
    an onlooker waiting for raw mode never sees raw mode that is past."""

    def __init__(self, pair, requests, raw_path, translate=None):
        self.master, self.slave = pair
        # The target's own numbers, each setting as its kernel reported it,
        # are listed beside the link; `translate` makes them this host's.
        self.raw_path = raw_path
        open(raw_path, "w").close()
        self.last_raw = None
        self.translate = translate
        self.path = os.ttyname(self.slave)
        self.requests = requests  # the machine's side of ttywatch's channel
        self.count = 0            # requests sent
        self.asked = 0            # the request awaited, 0 when none
        self.again = False        # output came after that request
        self.stale = False
        self.heard = False        # ttywatch has spoken, so it is listening

    def report(self, words):
        if words[:1] != ["tty"] or len(words) != 9:
            return
        self.heard = True
        answer = int(words[1])
        if self.stale and (answer == 0 or answer != self.asked):
            return
        if answer and answer == self.asked:
            self.asked = 0
            if self.again:
                self.again = False
                self.ask()
            else:
                self.stale = False
        fields = [int(w) for w in words[2:8]] + [list(bytes.fromhex(words[8]))]
        raw = " ".join(words[2:9])
        if raw != self.last_raw:
            append_line(self.raw_path, raw)
            self.last_raw = raw
        if self.translate:
            fields = self.translate(*fields)
        fields[6] = fields[6][:termios.NCCS] + [0] * (termios.NCCS - len(fields[6]))
        termios.tcsetattr(self.slave, termios.TCSANOW, fields)

    def output(self):
        if not self.heard:
            return
        if not self.stale:
            self.stale = True
            attrs = termios.tcgetattr(self.slave)
            attrs[3] |= termios.ICANON
            termios.tcsetattr(self.slave, termios.TCSANOW, attrs)
        if self.asked:
            self.again = True
        else:
            self.ask()

    def ask(self):
        self.count += 1
        self.asked = self.count
        try:
            os.write(self.requests, b"%d\n" % self.asked)
        except OSError:
            pass

    def close(self):
        os.close(self.master)
        os.close(self.slave)
