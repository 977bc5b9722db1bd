"""qs-view against qs-sim: the page in headless Chromium, the event stream
against the exports, the requests it refuses, and the demo's page served
from a namespace of its own."""

import json
import os
import re
import socket
import subprocess
import threading
import time
import unittest
import urllib.error
import urllib.request

import qs
from browser import Browser, count_colour, png_pixels
from sim_support import Simulator, require_sim, wait_until

VIEW = os.environ.get("QS_VIEW", "")
DEMO = os.environ.get("QS_DEMO", "")
BUILD_DIR = os.environ.get("QS_BUILD_DIR", "")
SCREENSHOTS = os.environ.get("QS_VIEW_SCREENSHOTS", "")
PORT = 8080
# The page's colours of markers, bones and force arrows.
MARKER = (255, 214, 10)
BONE = (127, 155, 189)
FORCE = (255, 80, 215)
# The simulator's force-plate samples per frame.
SAMPLES_PER_FRAME = 10


def require_view(test_case):
    if not VIEW or not os.access(VIEW, os.X_OK):
        raise unittest.SkipTest("QS_VIEW does not name the qs-view program")


def accepting(address):
    try:
        socket.create_connection((address, PORT), timeout=1).close()
        return True
    except OSError:
        return False


class View:
    """qs-view serving its page on ADDRESS:8080, for at most `duration` s."""

    def __init__(self, address, *options, duration=60):
        self.address = address
        self.url = "http://%s:%d" % (address, PORT)
        self.process = subprocess.Popen(
            [VIEW, "--http", "%s:%d" % (address, PORT), "--duration", str(duration), *options, address],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, text=True)
        wait_until(lambda: accepting(address) or self.process.poll() is not None, 10, "qs-view listening")

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
        return self.process.communicate(timeout=20)[0]

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.stop()
        return False


def events(url, seconds, count=None):
    """The messages of the event stream during `seconds` (or until `count`
    came), decoded, with the time each arrived."""
    received = []
    deadline = time.monotonic() + seconds
    with urllib.request.urlopen(url + "/events", timeout=10) as stream:
        while time.monotonic() < deadline and (count is None or len(received) < count):
            line = stream.readline()
            if not line:
                break
            if line.startswith(b"data: "):
                received.append((time.monotonic(), json.loads(line[6:])))
    return received


def answer(address, request):
    """qs-view's whole answer to the raw bytes `request`."""
    with socket.create_connection((address, PORT), timeout=10) as connection:
        connection.sendall(request)
        reply = b""
        while True:
            part = connection.recv(65536)
            if not part:
                return reply
            reply += part


def frame_number(status):
    found = re.search(r"frame (\d+)", status)
    return int(found.group(1)) if found else None


def vertical_forces(info):
    return [float(value) for value in re.findall(r"plate \d+ F[yz] (-?[\d.]+)", info)]


class PageInBrowser(unittest.TestCase):

    def test_page_draws_the_stream(self):
        require_view(self)
        require_sim(self)
        with Browser() as browser:
            for name, address, options in (("z-up", "127.0.0.41", ()), ("y-up", "127.0.0.42", ("--y-up",))):
                with self.subTest(name), Simulator(address, frames=6000), View(address, *options) as view:
                    browser.open(view.url + "/")
                    first = wait_until(lambda: frame_number(browser.text("status")), 20, "frame on the page")
                    self.assertIn("connected", browser.text("status"))
                    self.assertIn(("Y" if options else "Z") + " up", browser.text("info"))
                    wait_until(lambda: frame_number(browser.text("status")) > first, 20, "newer frame on the page")
                    # A foot on a plate, so that its force is drawn; then the
                    # picture held still for the screenshot.
                    wait_until(lambda: max(vertical_forces(browser.text("info")), default=0) > 200, 15,
                               "vertical force on a plate")
                    browser.click("pause")
                    held = frame_number(browser.text("status"))
                    screenshot = browser.screenshot()
                    if SCREENSHOTS:
                        with open(os.path.join(SCREENSHOTS, "view-%s.png" % name), "wb") as picture:
                            picture.write(screenshot)
                    pixels = png_pixels(screenshot)
                    self.assertGreater(count_colour(pixels, MARKER), 60)
                    self.assertGreater(count_colour(pixels, BONE), 200)
                    self.assertGreater(count_colour(pixels, FORCE), 30)
                    time.sleep(0.3)  # paused: no newer frame may be drawn meanwhile
                    self.assertEqual(frame_number(browser.text("status")), held)


    def test_charts_and_arrows_of_the_plates(self):
        require_view(self)
        require_sim(self)
        with Browser() as browser, Simulator("127.0.0.48", frames=6000), View("127.0.0.48") as view:
            browser.open(view.url + "/")
            wait_until(lambda: frame_number(browser.text("status")), 20, "frame on the page")
            with self.subTest("every sample"):
                # Samples the charts took against the frames the stream moved
                # on meanwhile: all of them, not one per frame shown.
                taken = lambda: browser.run("return [frame.frame, Math.min(...[...charts.values()].map(c => c.received))]")
                first = wait_until(lambda: (lambda t: t if t[1] > 0 else None)(taken()), 20, "samples in the charts")
                last = wait_until(lambda: (lambda t: t if t[0] - first[0] >= 200 else None)(taken()), 20,
                                  "200 more frames")
                ratio = (last[1] - first[1]) / (last[0] - first[0])
                self.assertAlmostEqual(ratio, SAMPLES_PER_FRAME, delta=0.5)
                self.assertIn("every sample", browser.text("charts"))
                self.assertRegex(browser.text("charts"), r"\d+ N")
            with self.subTest("arrow on the shown scale"):
                per_metre = float(re.search(r"force arrow (\d+) N per m", browser.text("info")).group(1))
                read = "return [drawnArrows, drawnFrame.plates.map(p => [p.id, p.force])]"
                lengths = set()

                def check_arrows():
                    arrows, plates = browser.run(read)
                    forces = {plate: sum(c * c for c in force) ** 0.5 for plate, force in plates if force}
                    for plate, size, drawn in arrows:
                        self.assertAlmostEqual(size, forces[plate], places=6)
                        self.assertAlmostEqual(drawn, size / per_metre * 1000, places=6)  # stream lengths in mm
                        lengths.add(round(drawn))
                    unloaded = {plate for plate, size in forces.items() if size <= 20}
                    self.assertFalse(unloaded & {plate for plate, _, _ in arrows})
                    return len(lengths) >= 3
                # Arrows of three different forces, each on the scale shown.
                wait_until(check_arrows, 20, "arrows of three loaded frames")


class ViewProgram(unittest.TestCase):

    def setUp(self):
        require_view(self)

    def test_events_carry_what_the_exports_report(self):
        require_sim(self)
        # One client per simulator: qs-view reads one, the binding the other.
        # A frame's scene depends on its number only, so equal numbers carry
        # equal data.
        with Simulator("127.0.0.43", rate=50), Simulator("127.0.0.44", rate=50), \
                View("127.0.0.43", "--y-up", "--left-handed") as view:
            streamed = {}
            reader = threading.Thread(target=lambda: streamed.update(
                (message["frame"], message) for _, message in events(view.url, 3.0)
                if message["type"] == "frame"))
            reader.start()
            reported = {}
            with qs.Client("127.0.0.44", y_up=True, left_handed=True) as client:
                client.wait_for_frame(timeout=10)
                end = time.monotonic() + 3.0
                while time.monotonic() < end:
                    number = client.wait_for_frame(timeout=5, newer_than=client.frame_number)
                    reported[number] = exported_frame(client)
            reader.join(timeout=30)
        common = [number for number in reported
                  if number in streamed and reported[number]["subjects"][0]["segments"][0]["t"] is not None
                  and streamed[number]["subjects"][0]["segments"][0]["t"] is not None]
        self.assertGreaterEqual(len(common), 20)
        for number in common:
            message = streamed[number]
            self.assertEqual(message["axes"], {"up": "y", "handed": "left"})
            self.assertEqual(message["truncated"], False)
            self.assertEqual(as_tuples(message["subjects"]), as_tuples(reported[number]["subjects"]), number)
            self.assertEqual(as_tuples(message["plates"]), as_tuples(reported[number]["plates"]), number)

    def test_segment_axes_carry_their_markers(self):
        require_sim(self)
        # LeftFrontPelvis sits at (60, 120, 40) in the pelvis's own axes: that
        # offset in the chosen axes, turned and moved by the pose, is the marker.
        for options, offset in ((("--y-up",), (60, 40, -120)), (("--y-up", "--left-handed"), (-60, 40, -120))):
            with self.subTest(options), Simulator("127.0.0.47", rate=50), View("127.0.0.47", *options) as view:
                checked = 0
                for _, message in events(view.url, 10.0, count=20):
                    for subject in message.get("subjects", [])[:1]:
                        pelvis = next(s for s in subject["segments"] if s["name"] == "Pelvis")
                        seen = next(m["p"] for m in subject["markers"] if m["name"] == "LeftFrontPelvis")
                        if pelvis["t"] and pelvis["q"] and seen:
                            for t, r, p in zip(pelvis["t"], rotate(pelvis["q"], offset), seen):
                                self.assertAlmostEqual(t + r, p, delta=1e-6)
                            checked += 1
                self.assertGreater(checked, 5)

    def test_refuses_what_it_does_not_serve(self):
        address = "127.0.0.45"
        with View(address, "--max-viewers", "2", "--allow-host", "view.example") as view:
            for request, status in ((b"GARBAGE\r\n\r\n", 400),
                                    (b"GET / HTTP/1.1\r\nHost: x\r\nX-Long: " + b"a" * 20000 + b"\r\n\r\n", 400),
                                    (b"POST / HTTP/1.1\r\nHost: localhost\r\nContent-Length: 0\r\n\r\n", 405),
                                    (b"GET /etc/passwd HTTP/1.1\r\nHost: 127.0.0.45:8080\r\n\r\n", 404),
                                    # Another site's name for this address (DNS rebinding).
                                    (b"GET /events HTTP/1.1\r\nHost: evil.example:8080\r\n"
                                     b"Origin: http://evil.example:8080\r\n\r\n", 421),
                                    (b"GET / HTTP/1.1\r\nHost: view.example:8080\r\nConnection: close\r\n\r\n", 200)):
                self.assertTrue(answer(address, request).startswith(b"HTTP/1.1 %d " % status), request[:20])
            with urllib.request.urlopen(view.url + "/events", timeout=10), \
                    urllib.request.urlopen(view.url + "/events", timeout=10):
                with self.assertRaises(urllib.error.HTTPError) as refused:
                    urllib.request.urlopen(view.url + "/events", timeout=10)
                self.assertEqual(refused.exception.code, 503)
            # Nothing broke: the page is served, whole and self-contained, and
            # a viewer gets the stream (no server here: still connecting).
            with urllib.request.urlopen(view.url + "/", timeout=10) as page:
                text = page.read().decode()
            self.assertIn("<canvas", text)
            self.assertNotRegex(text, r"(src|href)=\"?(https?:)?//")
            status = wait_until(lambda: viewer_admitted(view.url), 5, "viewer admitted again")
            self.assertEqual((status["type"], status["state"]), ("status", "connecting"))
            self.assertIsNone(view.process.poll())

    def test_demo_page_reaches_out_of_its_namespace(self):
        if not DEMO or not BUILD_DIR:
            self.skipTest("QS_DEMO and QS_BUILD_DIR do not name the demo and its build")
        require_sim(self)
        address = "127.0.0.46"
        demo = subprocess.Popen(["bash", DEMO, "--view", BUILD_DIR, "--http", "%s:%d" % (address, PORT),
                                 "--duration", "8"],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, text=True)
        try:
            wait_until(lambda: accepting(address) or demo.poll() is not None, 10, "the demo's page")
            wait_until(lambda: any(m["type"] == "frame" for _, m in events("http://%s:%d" % (address, PORT), 1.0)),
                       5, "frames from the demo")
            frames = [(at, m) for at, m in events("http://%s:%d" % (address, PORT), 2.0) if m["type"] == "frame"]
            output = demo.communicate(timeout=30)[0]
        finally:
            if demo.poll() is None:
                demo.kill()
                demo.communicate(timeout=10)
        self.assertEqual(demo.returncode, 0, output)
        self.assertIn("open http://%s:%d/ in a browser" % (address, PORT), output)
        # The simulator sends 100 frames a second; the page gets at most 60.
        numbers = [m["frame"] for _, m in frames]
        self.assertEqual(numbers, sorted(set(numbers)))
        self.assertGreaterEqual(len(frames), 30)
        self.assertLessEqual(len(frames) - 1, 60 * (frames[-1][0] - frames[0][0]) + 2)


def viewer_admitted(url):
    try:
        return events(url, 2.0, count=1)[0][1]
    except urllib.error.HTTPError:
        return None


def rotate(q, v):
    """v turned by the unit quaternion q (x, y, z, w)."""
    u, w = q[:3], q[3]
    cross = lambda a, b: (a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0])
    t = [2 * c for c in cross(u, v)]
    return [a + w * b + c for a, b, c in zip(v, t, cross(u, t))]


def exported_frame(client):
    """The current frame as the binding reads it through the exports, laid
    out as qs-view's messages."""
    def optional(read, *args):
        try:
            return read(*args)
        except qs.NotFoundError:
            return None
    subjects = [{"name": subject,
                 "segments": [{"name": segment, "t": client.segment_translation(subject, segment),
                               "q": client.segment_rotation_quaternion(subject, segment)}
                              for segment in client.segments(subject)],
                 "markers": [{"name": marker, "p": client.marker_translation(subject, marker)}
                             for marker in client.markers(subject)]}
                for subject in client.subjects()]
    plates = [{"id": plate, "force": optional(client.force, plate), "cop": optional(client.centre_of_pressure, plate)}
              for plate in client.force_plates()]
    return {"subjects": subjects, "plates": plates}


def as_tuples(value):
    """Lists as tuples all the way down, so JSON arrays compare with the
    binding's tuples."""
    if isinstance(value, (list, tuple)):
        return tuple(as_tuples(item) for item in value)
    if isinstance(value, dict):
        return {key: as_tuples(item) for key, item in value.items()}
    return value


if __name__ == "__main__":
    unittest.main()
