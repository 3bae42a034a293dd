"""The simulated instrument for the tests: kt-sim running its engine, and kt-daqd on its
device, started and stopped by the test. Runs inside sim/ns-run, where kt-sim shares the
test's private mount and network namespaces."""

import json
import os
import signal
import subprocess
import threading
import time
import zlib

BUILD = os.path.join(os.path.dirname(__file__), "..", "..", "build", "dev")
DEFAULTS = {
    "KT_SIM": "bin/kt-sim",
    "KT_DAQD": "bin/kt-daqd",
    "KT_SUB": "bin/kt-sub",
    "KT_RELAY": "bin/kt-relay",
    "KT_SHIM": "lib/libktsim_shim.so",
    "KT_FILTERS_LIB": "lib/libktfilters.so",
    "KT_FRAME_LAYOUT": "bin/kt_frame_layout",
}
PUB_PORT, ACK_PORT = 22720, 22770
TCP_LISTEN = "0A"


def program(name):
    """A program of the build: from the environment (CTest) or the dev build."""
    path = os.environ.get(name) or os.path.join(BUILD, DEFAULTS[name])
    if not os.path.exists(path):
        raise FileNotFoundError(f"{path} not built (or set {name})")
    return os.path.abspath(path)


def preload(path, library):
    """LD_PRELOAD for the program or library ``path`` with ``library`` (may be empty): a
    sanitizer run-time that it links must come first among preloaded libraries."""
    linked = subprocess.run(["ldd", path], capture_output=True, text=True).stdout
    for line in linked.splitlines():
        if ("/libasan.so" in line or "/libtsan.so" in line) and "=>" in line:
            runtime = line.split("=>")[1].split()[0]
            return runtime + ":" + library if library else runtime
    return library


def wait_until(condition, timeout):
    """Polls ``condition`` until it holds; False after ``timeout`` seconds."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


def listening(port):
    """Whether a TCP socket listens on ``port`` in this network namespace."""
    with open("/proc/net/tcp") as f:
        next(f)
        for line in f:
            fields = line.split()
            if fields[3] == TCP_LISTEN and int(fields[1].split(":")[1], 16) == port:
                return True
    return False


def sim_frame_ok(frame):
    """Whether the trailer is the simulated engine's CRC-32 of header and payload."""
    data = bytes(frame)
    return zlib.crc32(data[:-4]) == int.from_bytes(data[-4:], "little")


def sim_seq(frame):
    """The simulated engine's count of every frame it wrote (header bytes 4..11)."""
    return int.from_bytes(frame.header["reserved"][:8].tobytes(), "little")


class Output:
    """Lines of a pipe, read by a thread of its own."""

    def __init__(self, pipe):
        self.lines = []
        self._lock = threading.Lock()
        self._thread = threading.Thread(target=self._read, args=(pipe,), daemon=True)
        self._thread.start()

    def _read(self, pipe):
        for line in pipe:
            with self._lock:
                self.lines.append(line.rstrip("\n"))

    def wait_closed(self, timeout=10):
        """Waits until the pipe has been read to its end."""
        self._thread.join(timeout)

    def snapshot(self):
        with self._lock:
            return list(self.lines)

    def text(self):
        return "\n".join(self.snapshot())


class Instrument:
    """kt-sim with the given options; its command waits until the test ends it."""

    def __init__(self, *sim_args):
        self.daqd = None
        self.daqd_out = self.daqd_err = None
        self._sim = subprocess.Popen(
            [program("KT_SIM"), *sim_args, "--", "sh", "-c", "read _"],
            stdin=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.sim_err = Output(self._sim.stderr)
        device = None

        def found():
            nonlocal device
            for line in self.sim_err.snapshot():
                if line.startswith("kt-sim: stream device "):
                    device = line.split()[3].rstrip(",")
                    return True
            return self._sim.poll() is not None

        if not wait_until(found, 10) or device is None:
            self.close()
            raise RuntimeError("kt-sim did not start: " + self.sim_err.text())
        self.device = device

    def start_daqd(self, *args):
        """Starts kt-daqd and waits until it serves (its last endpoint listens)."""
        env = dict(os.environ, LD_PRELOAD=preload(program("KT_DAQD"), program("KT_SHIM")))
        self.daqd = subprocess.Popen(
            [program("KT_DAQD"), "--ring", "1048576", *args, self.device],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
        self.daqd_out = Output(self.daqd.stdout)
        self.daqd_err = Output(self.daqd.stderr)
        port = PUB_PORT if "filter" in args else ACK_PORT
        if not wait_until(lambda: listening(port) or self.daqd.poll() is not None, 10) \
                or self.daqd.poll() is not None:
            raise RuntimeError("kt-daqd did not come up: " + self.daqd_err.text())
        return self.daqd

    def daqd_stats(self):
        """kt-daqd's counters now (it runs with --stats N --json). Its standard output is
        flushed with them, so every line it printed before is read by then."""
        before = len(self.daqd_out.snapshot())
        self.daqd.send_signal(signal.SIGUSR1)
        line = None

        def answered():
            nonlocal line
            for text in self.daqd_out.snapshot()[before:]:
                if text.startswith('{"stats":"request"'):
                    line = text
                    return True
            return False

        assert wait_until(answered, 10), self.daqd_out.text()
        return json.loads(line)

    def stop_daqd(self, sig=signal.SIGTERM):
        if self.daqd is not None and self.daqd.poll() is None:
            self.daqd.send_signal(sig)
            self.daqd.wait(10)
        if self.daqd is not None:
            self.daqd_out.wait_closed()
            self.daqd_err.wait_closed()
            wait_until(lambda: not listening(PUB_PORT), 10)

    def close(self):
        self.stop_daqd()
        if self._sim.poll() is None:
            self._sim.stdin.close()  # ends its command; kt-sim then stops its engine
            try:
                self._sim.wait(10)
            except subprocess.TimeoutExpired:
                self._sim.kill()
                self._sim.wait()
