#!/usr/bin/python3
"""The far end of the emulated board's serial line.

Usage: serial_peer.py SOCKET

Connects to the unix socket on which the emulator serves the board's first UART and sends
every byte it receives straight back, in order, so that a test on the board can check what
it sent against what it gets. There is no other protocol: the board's tests mark their
place in the stream with bytes of their own.

Runs until SIGTERM, then prints one summary line to standard error and exits 0. The socket
may not exist yet when the peer starts, so it keeps trying to connect for a while; when the
emulator drops the connection, the peer connects again until it is told to stop.
"""

import errno
import select
import signal
import socket
import sys
import time

# How long to wait for the emulator's socket to appear at the start.
FIRST_CONNECT_SECONDS = 30.0
# Pause between connection attempts.
CONNECT_PAUSE_SECONDS = 0.05


class Stop(Exception):
    """Raised by the SIGTERM handler to leave whatever the peer is doing."""


def on_sigterm(_signum, _frame):
    raise Stop()


def connect(path, deadline):
    """A connected socket, or None when `deadline` (monotonic, or None) has passed."""
    while True:
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            sock.connect(path)
            return sock
        except OSError as err:
            sock.close()
            if err.errno not in (errno.ENOENT, errno.ECONNREFUSED, errno.EAGAIN):
                raise
        if deadline is not None and time.monotonic() >= deadline:
            return None
        time.sleep(CONNECT_PAUSE_SECONDS)


def echo(sock, counts):
    """Sends back what arrives until the other side closes. Reading never waits for
    writing: the emulator stops the board while a write of the board's UART is pending,
    and a board that is stopped cannot take in the bytes the peer sends back."""
    pending = bytearray()
    while True:
        writers = [sock] if pending else []
        readable, writable, _ = select.select([sock], writers, [])
        if readable:
            data = sock.recv(65536)
            if not data:
                return
            counts["in"] += len(data)
            pending += data
        if writable:
            sent = sock.send(pending)
            counts["out"] += sent
            del pending[:sent]


def main(argv):
    if len(argv) != 2:
        print("usage: serial_peer.py SOCKET", file=sys.stderr)
        return 2
    path = argv[1]
    counts = {"in": 0, "out": 0, "connections": 0}
    signal.signal(signal.SIGTERM, on_sigterm)
    try:
        deadline = time.monotonic() + FIRST_CONNECT_SECONDS
        while True:
            sock = connect(path, deadline)
            if sock is None:
                print(f"serial_peer: no emulator socket at {path}", file=sys.stderr)
                return 1
            counts["connections"] += 1
            deadline = None
            with sock:
                try:
                    echo(sock, counts)
                except ConnectionError:
                    pass
    except Stop:
        pass
    print(
        f"serial_peer: {counts['in']} bytes received, {counts['out']} sent back, "
        f"{counts['connections']} connection(s)",
        file=sys.stderr,
    )
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
