"""The package as pip installs it from the source tree, without the package
index; and the loader's names on Windows."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from unittest import mock

import qs
import qs._native

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "recordings"))
import damaged_recordings  # noqa: E402

SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python")


class Packaging(unittest.TestCase):

    def test_pip_installs_the_package_offline(self):
        folder = tempfile.mkdtemp(prefix="qs-pip-")
        self.addCleanup(shutil.rmtree, folder)
        # Built from a copy: the build leaves its folders beside the sources.
        source = shutil.copytree(SOURCE, os.path.join(folder, "source"),
                                 ignore=shutil.ignore_patterns("build", "*.egg-info", "__pycache__"))
        target = os.path.join(folder, "site")
        installed = subprocess.run([sys.executable, "-m", "pip", "install", "--no-build-isolation", "--no-index",
                                    "--no-cache-dir", "--target", target, source],
                                   capture_output=True, text=True, timeout=120)
        self.assertEqual(installed.returncode, 0, installed.stderr)
        self.assertTrue(os.path.isfile(os.path.join(target, "qs", "py.typed")))
        version = subprocess.run([sys.executable, "-c", "import qs; print(qs.__version__, qs.__file__)"],
                                 capture_output=True, text=True, timeout=30,
                                 env=dict(os.environ, PYTHONPATH=target), cwd=folder)
        self.assertEqual(version.stdout.split(), [qs.__version__, os.path.join(target, "qs", "__init__.py")],
                         version.stderr)
        self.assertIn("qs-%s.dist-info" % qs.__version__, os.listdir(target))

    def test_the_loader_looks_for_the_windows_library_name(self):
        folder = tempfile.mkdtemp(prefix="qs-dll-")
        self.addCleanup(shutil.rmtree, folder)
        open(os.path.join(folder, "QS.dll"), "wb").close()
        with mock.patch.dict(os.environ, {"QS_LIBRARY": ""}), mock.patch.object(qs._native, "_is_windows", lambda: True), \
                mock.patch.object(qs._native, "_package_dir", lambda: folder):
            paths = qs._native.candidate_paths()
        self.assertEqual(paths[0], os.path.join(folder, "QS.dll"))
        self.assertEqual(paths[-1], "QS.dll")

    def test_without_numpy_the_arrays_say_what_to_install(self):
        folder = tempfile.mkdtemp(prefix="qs-no-numpy-")
        self.addCleanup(shutil.rmtree, folder)
        path = os.path.join(folder, "whole.qsrec")
        with open(path, "wb") as out:
            out.write(damaged_recordings.WHOLE)
        recording = qs.Recording(path)
        with mock.patch.dict(sys.modules, {"numpy": None}):
            with self.assertRaisesRegex(ImportError, "apt-get install python3-numpy"):
                recording.load(rate=100)
        self.assertEqual(recording.frame_numbers, [1, 2, 3])


if __name__ == "__main__":
    unittest.main()
