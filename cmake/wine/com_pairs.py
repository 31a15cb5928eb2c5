#!/usr/bin/env python3
"""Pairs of COM ports for Windows tests under wine, joined back to back.

Each pair is two pseudo-terminals whose controlling ends this relay joins: what
a program writes into one port comes out of the other. The terminal ends are
mapped into the wine prefix as COM ports (dosdevices/comN symlinks), so a test
opens one port as the device under test and plays the device on the other.

The relay keeps both terminal ends of every pair open itself, so a port that a
program closes and opens again stays the same line. A test asks for a pair to
be renewed by creating the file "renew-<first port number>" in the control
folder: the old pair vanishes (its ports fail like an unplugged adapter) and a
fresh, empty pair takes its names; the file is removed once that is done.

Usage: com_pairs.py DOSDEVICES CONTROL FIRST COUNT
"""

import errno
import os
import select
import sys
import time
import tty

# Bytes held for a port that does not read; beyond it the writer is held back.
HELD = 4096


class Pair:
    def __init__(self, dosdevices, first):
        self.ports = []  # [(master, slave)]
        for number in (first, first + 1):
            master, slave = os.openpty()
            tty.setraw(slave)
            os.set_blocking(master, False)
            self.ports.append((master, slave))
            link = os.path.join(dosdevices, "com%d" % number)
            temporary = link + ".new"
            if os.path.lexists(temporary):
                os.unlink(temporary)
            os.symlink(os.ttyname(slave), temporary)
            os.replace(temporary, link)
        # Bytes on their way to port 0 and to port 1.
        self.pending = [bytearray(), bytearray()]

    def close(self):
        for master, slave in self.ports:
            os.close(master)
            os.close(slave)


def main():
    dosdevices, control, first, count = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    pairs = {first + 2 * i: Pair(dosdevices, first + 2 * i) for i in range(count)}
    open(os.path.join(control, "ready"), "w").close()
    last_look = 0.0
    while True:
        readers, writers, owner = [], [], {}
        for pair in pairs.values():
            for side in (0, 1):
                master = pair.ports[side][0]
                owner[master] = (pair, side)
                if len(pair.pending[1 - side]) < HELD:
                    readers.append(master)
                if pair.pending[side]:
                    writers.append(master)
        readable, writable, _ = select.select(readers, writers, [], 0.01)
        for master in writable:
            pair, side = owner[master]
            try:
                written = os.write(master, pair.pending[side])
                del pair.pending[side][:written]
            except BlockingIOError:
                pass
        for master in readable:
            pair, side = owner[master]
            try:
                data = os.read(master, HELD)
            except OSError as error:
                if error.errno in (errno.EAGAIN, errno.EIO):
                    continue  # nobody but the relay holds the port: nothing to read
                raise
            pair.pending[1 - side] += data
        now = time.monotonic()
        if now - last_look >= 0.01:
            last_look = now
            for name in os.listdir(control):
                if not name.startswith("renew-"):
                    continue
                number = int(name[len("renew-"):])
                if number in pairs:
                    pairs[number].close()
                    pairs[number] = Pair(dosdevices, number)
                os.unlink(os.path.join(control, name))


if __name__ == "__main__":
    main()
