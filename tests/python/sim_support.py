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


class Simulator:
    """qs-sim on ADDRESS:801 for at most ``frames`` frames at ``rate`` Hz, or
    replaying the recording ``replay`` (with ``extra`` options such as
    --speed and --loop)."""

    def __init__(self, address, frames=3000, rate=100, extra=(), replay=None):
        self.address = address
        self.log = tempfile.NamedTemporaryFile(prefix="qs-sim-", suffix=".log", delete=False)
        source = (["--replay", replay] if replay else
                  ["--rate", str(rate), "--frames", str(frames)])
        self.process = subprocess.Popen(
            [SIM, "--address", address, "--port", "801"] + source + list(extra),
            stdout=self.log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
            preexec_fn=_end_with_parent if sys.platform.startswith("linux") else None)
        self._wait_listening(timeout=10.0)

    def _wait_listening(self, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with open(self.log.name, "r", errors="replace") as log:
                if "listening on" in log.read():
                    return
            if self.process.poll() is not None:
                break
            time.sleep(0.02)
        self.stop()
        raise RuntimeError("qs-sim did not start on %s:801: %s" % (self.address, self.output()))

    def output(self):
        with open(self.log.name, "r", errors="replace") as log:
            return log.read()

    def wait(self, timeout):
        """Waits for the simulator to end by itself; returns its status."""
        return self.process.wait(timeout=timeout)

    def stop(self):
        end_process(self.process)
        self.log.close()
        if os.path.exists(self.log.name):
            os.unlink(self.log.name)

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.stop()
        return False
