"""Starting and stopping qs-sim for the tests of this folder.

The library always connects to port 801, so these tests run inside a private
network namespace (see tests/netns-run.sh) where every 127.0.0.x address is
free; each test picks an address of its own. Every simulator is started with
a bounded number of frames and is stopped by the test that started it.
"""

import ctypes
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

SIM = os.environ.get("QS_SIM", "")
STREAM = os.environ.get("QS_STREAM", "")
RECORD = os.environ.get("QS_RECORD", "")
EXPORT = os.environ.get("QS_EXPORT", "")


def require_sim(test_case):
    if not SIM or not os.access(SIM, os.X_OK):
        raise unittest.SkipTest("QS_SIM does not name the qs-sim program")


def _end_with_parent():
    # In the child, before exec: SIGTERM when the test process dies, so that a
    # crash inside the library does not leave the simulator listening.
    ctypes.CDLL(None).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def wait_until(condition, timeout, what, interval=0.02):
    """Calls ``condition`` until it returns a true value and returns that
    value; raises AssertionError naming ``what`` when ``timeout`` seconds have
    passed first. Tests wait this way for what they mean, not for a time."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise AssertionError("no %s within %g s" % (what, timeout))
        time.sleep(interval)


def end_process(process, timeout=10):
    """Asks `process` to end (SIGTERM) if it still runs and waits for it;
    kills it when it has not ended after `timeout` seconds."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(timeout=timeout)


class Program:
    """A program run by a test, its standard output and error going to files
    so that the test can wait for what it prints while it runs (stderr into
    the same file with ``merged``). Ends with the test process; leaving the
    ``with`` block (or ``close``) ends it and removes the files."""

    def __init__(self, command, merged=False):
        self._files = [tempfile.NamedTemporaryFile(prefix="qs-test-", suffix=".log", delete=False)
                       for _ in range(1 if merged else 2)]
        self.process = subprocess.Popen(
            command, stdout=self._files[0], stderr=subprocess.STDOUT if merged else self._files[1],
            stdin=subprocess.DEVNULL,
            preexec_fn=_end_with_parent if sys.platform.startswith("linux") else None)

    @property
    def returncode(self):
        return self.process.returncode

    def out(self):
        return self._read(self._files[0])

    def err(self):
        return self._read(self._files[-1])

    @staticmethod
    def _read(file):
        # Opened anew: the program's own descriptor keeps its write position.
        with open(file.name, "r", errors="replace") as text:
            return text.read()

    def send_signal(self, number):
        self.process.send_signal(number)

    def wait(self, timeout):
        return self.process.wait(timeout=timeout)

    def close(self):
        end_process(self.process)
        for file in self._files:
            file.close()
            if os.path.exists(file.name):
                os.unlink(file.name)

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()
        return False


class Simulator:
    """qs-sim on ADDRESS:801 for at most ``frames`` frames at ``rate`` Hz, or
    replaying the recording ``replay`` (with ``extra`` options such as
    --speed and --loop)."""

    def __init__(self, address, frames=3000, rate=100, extra=(), replay=None):
        self.address = address
        source = (["--replay", replay] if replay else
                  ["--rate", str(rate), "--frames", str(frames)])
        self._program = Program([SIM, "--address", address, "--port", "801"] + source + list(extra),
                                merged=True)
        self.process = self._program.process
        self._wait_listening(timeout=10.0)

    def _wait_listening(self, timeout):
        try:
            wait_until(lambda: "listening on" in self.output() or self.process.poll() is not None,
                       timeout, "qs-sim listening")
        except AssertionError:
            pass
        output = self.output()
        if "listening on" in output:
            return
        self.stop()  # removes the log: its text is taken first
        raise RuntimeError("qs-sim did not start on %s:801: %s" % (self.address, output))

    def output(self):
        return self._program.out()

    def wait(self, timeout):
        """Waits for the simulator to end by itself; returns its status."""
        return self.process.wait(timeout=timeout)

    def stop(self):
        self._program.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.stop()
        return False
