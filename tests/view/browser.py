"""Headless Chromium driven over the WebDriver protocol (chromedriver), with
nothing but the standard library, and a PNG reader for its screenshots.

A Browser that cannot be had (Chromium or chromedriver missing, or Chromium
unable to start here) raises unittest.SkipTest with the reason.
"""

import base64
import json
import os
import shutil
import socket
import struct
import subprocess
import tempfile
import unittest
import urllib.error
import urllib.request
import zlib

from sim_support import end_process, wait_until

CHROMIUM = os.environ.get("QS_CHROMIUM", "/usr/bin/chromium")
CHROMEDRIVER = os.environ.get("QS_CHROMEDRIVER", "/usr/bin/chromedriver")
START_TIMEOUT = 30.0
CALL_TIMEOUT = 60.0

# Chromium without its sandbox (tests run as root or in a user namespace)
# and without any traffic of its own: this machine reaches no network.
CHROMIUM_ARGUMENTS = [
    "--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
    "--disable-background-networking", "--disable-component-update", "--disable-sync",
    "--disable-dev-shm-usage", "--hide-scrollbars", "--force-device-scale-factor=1",
]


def _free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Browser:
    def __init__(self, width=960, height=600):
        for program, package in ((CHROMIUM, "chromium"), (CHROMEDRIVER, "chromium-driver")):
            if not os.access(program, os.X_OK):
                raise unittest.SkipTest("%s is missing (Debian package %s; ./run.sh test installs it as root)"
                                        % (program, package))
        self.profile = tempfile.mkdtemp(prefix="qs-chromium-")
        self.log = open(os.path.join(self.profile, "chromedriver.log"), "w+")
        self.port = _free_port()
        self.driver = subprocess.Popen([CHROMEDRIVER, "--port=%d" % self.port], stdout=self.log,
                                       stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        self.session = None
        try:
            self._wait_ready()
            options = {"binary": CHROMIUM, "args": CHROMIUM_ARGUMENTS + [
                "--user-data-dir=" + os.path.join(self.profile, "data")]}
            answer = self._call("POST", "/session", {"capabilities": {"alwaysMatch": {
                "browserName": "chrome", "goog:chromeOptions": options}}})
        except Exception:
            self.close()
            raise
        if not isinstance(answer, dict) or "sessionId" not in answer:
            reason = (answer.get("message") if isinstance(answer, dict) else None) or str(answer)
            reason = reason.splitlines()[0]
            self.close()
            raise unittest.SkipTest("Chromium cannot run here: " + reason)
        self.session = answer["sessionId"]
        # The page gets exactly width x height, whatever the window adds.
        self._session_call("POST", "/goog/cdp/execute", {
            "cmd": "Emulation.setDeviceMetricsOverride",
            "params": {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": False}})

    def _wait_ready(self):
        try:
            wait_until(lambda: self._ready() or self.driver.poll() is not None, START_TIMEOUT,
                       "chromedriver ready", interval=0.1)
        except AssertionError:
            pass
        if self.driver.poll() is None and self._ready():
            return
        self.log.seek(0)
        raise unittest.SkipTest("chromedriver did not start: " + self.log.read()[-500:])

    def _ready(self):
        try:
            return bool((self._call("GET", "/status") or {}).get("ready"))
        except OSError:
            return False

    def _call(self, method, path, body=None):
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request("http://127.0.0.1:%d%s" % (self.port, path), data=data, method=method,
                                         headers={"Content-Type": "application/json"})
        try:
            with urllib.request.urlopen(request, timeout=CALL_TIMEOUT) as response:
                return json.load(response).get("value")
        except urllib.error.HTTPError as error:
            return json.load(error).get("value") or {}

    def _session_call(self, method, path, body=None):
        value = self._call(method, "/session/%s%s" % (self.session, path), body)
        if isinstance(value, dict) and "error" in value:
            raise RuntimeError("WebDriver: %s: %s" % (value["error"], value.get("message", "")))
        return value

    def open(self, url):
        self._session_call("POST", "/url", {"url": url})

    def run(self, script, *args):
        """Runs `script` (a function body) in the page; returns what it returns."""
        return self._session_call("POST", "/execute/sync", {"script": script, "args": list(args)})

    def text(self, element_id):
        return self.run("return document.getElementById(arguments[0]).textContent", element_id)

    def click(self, element_id):
        element = self._session_call("POST", "/element", {"using": "css selector", "value": "#" + element_id})
        self._session_call("POST", "/element/%s/click" % next(iter(element.values())), {})

    def screenshot(self):
        return base64.b64decode(self._session_call("GET", "/screenshot"))

    def close(self):
        if self.session:
            try:
                self._call("DELETE", "/session/" + self.session)
            except OSError:
                pass
            self.session = None
        end_process(self.driver)
        self.log.close()
        shutil.rmtree(self.profile, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()
        return False


def png_pixels(data):
    """The RGB pixels of an 8-bit, non-interlaced RGB or RGBA PNG, row by row."""
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("not a PNG")
    position, chunks, header = 8, [], None
    while position < len(data):
        size, kind = struct.unpack(">I4s", data[position:position + 8])
        body = data[position + 8:position + 8 + size]
        position += 12 + size
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            chunks.append(body)
    width, height, depth, colour, _, _, interlace = header
    if depth != 8 or colour not in (2, 6) or interlace:
        raise ValueError("unsupported PNG layout")
    channels = 3 if colour == 2 else 4
    stride = width * channels
    raw = zlib.decompress(b"".join(chunks))
    rows, previous = [], bytearray(stride)
    for y in range(height):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            left = line[i - channels] if i >= channels else 0
            up = previous[i]
            corner = previous[i - channels] if i >= channels else 0
            if kind == 1:
                line[i] = (line[i] + left) & 255
            elif kind == 2:
                line[i] = (line[i] + up) & 255
            elif kind == 3:
                line[i] = (line[i] + (left + up) // 2) & 255
            elif kind == 4:
                guess = left + up - corner
                best = min((abs(guess - left), 0, left), (abs(guess - up), 1, up), (abs(guess - corner), 2, corner))
                line[i] = (line[i] + best[2]) & 255
        rows.append([tuple(line[x * channels:x * channels + 3]) for x in range(width)])
        previous = line
    return rows


def count_colour(rows, colour, tolerance=12):
    """Pixels within `tolerance` of `colour` in every channel."""
    return sum(1 for row in rows for pixel in row
               if all(abs(a - b) <= tolerance for a, b in zip(pixel, colour)))
