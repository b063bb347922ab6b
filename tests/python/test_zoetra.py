"""The Python module against the command line: the same pictures, given as
paths, arrays or PIL images, make the command's exact bytes; info() and
frames() say what `zoetra info --json` and `zoetra frames` say.

Run by ctest with PYTHONPATH at the built package and ZOETRA_CLI at the
command; by hand: PYTHONPATH=build/python ZOETRA_CLI=build/cli/zoetra
python3 -m unittest discover -s tests/python
"""

import io
import json
import os
import pathlib
import pickle
import subprocess
import tempfile
import threading
import unittest

import numpy as np
from PIL import Image

import zoetra

CLI = os.environ.get("ZOETRA_CLI", "zoetra")


def pattern(h, w, seed, channels=3):
    """A picture that differs from frame to frame and has many colours."""
    y, x = np.mgrid[0:h, 0:w]
    planes = [(x * (3 + c) + y * (5 + 2 * c) + seed * 41 + ((x ^ y) * seed) % 17) & 0xFF for c in range(3)]
    if channels == 4:
        planes.append((x * 37 + y * 11 + seed) & 0xFF)  # uneven alpha, dropped as the files' is
    return np.stack(planes, axis=2).astype(np.uint8)


class Case(unittest.TestCase):
    def setUp(self):
        self._dir = tempfile.TemporaryDirectory()
        self.dir = pathlib.Path(self._dir.name)
        self.count = 0

    def tearDown(self):
        self._dir.cleanup()

    def path(self, name):
        return str(self.dir / name)

    def png(self, array):
        """The array as a PNG file (RGBA arrays keep their alpha in the file)."""
        self.count += 1
        p = self.path(f"p{self.count}.png")
        Image.fromarray(array).save(p)
        return p

    def cli(self, *args, stdin=None):
        r = subprocess.run([CLI, *args], input=stdin, capture_output=True, check=False)
        self.assertEqual(r.returncode, 0, r.stderr.decode(errors="replace"))
        return r.stdout

    def cli_create(self, files, *flags):
        out = self.path(f"cli{self.count}.gif")
        self.count += 1
        self.cli("create", "-q", "-o", out, *flags, *files)
        return pathlib.Path(out).read_bytes()


class CreateTest(Case):
    def test_paths_arrays_and_images_make_the_commands_bytes(self):
        rgb = [pattern(23, 37, s) for s in (1, 2, 3)]
        rgba = [pattern(23, 37, s, 4) for s in (4, 5)]
        files = [self.png(a) for a in rgb + rgba]
        # Keywords and the flags they stand for.
        runs = [
            ({}, []),
            ({"optimize": True}, ["--optimize"]),
            ({"palette": "all"}, ["--palette", "all"]),
            ({"palette": "frame", "optimize": True}, ["--palette", "frame", "--optimize"]),
            ({"gray": True, "delay_ms": 120}, ["--gray", "--delay", "120"]),
            ({"swap_rg": True, "threads": 1}, ["--swap-rg", "-j", "1"]),
            ({"fps": 80, "loop": 3}, ["--fps", "80", "--loop", "3"]),
            ({"loop": None, "fit": (30, 20), "background": "#102030", "palette": "all"},
             ["--no-loop", "--fit", "30x20", "--background", "#102030", "--palette", "all"]),
            ({"background": (255, 128, 0), "auto_orient": True}, ["--background", "#ff8000", "--auto-orient"]),
        ]
        for keywords, flags in runs:
            with self.subTest(flags=flags):
                want = self.cli_create(files, *flags)
                self.assertEqual(zoetra.create(files, **keywords), want)
                self.assertEqual(zoetra.create([pathlib.Path(f) for f in files], **keywords), want)
                self.assertEqual(zoetra.create(rgb + rgba, **keywords), want)
                images = [Image.open(f) for f in files]
                self.assertEqual(zoetra.create(images, **keywords), want)
                mixed = [files[0], rgb[1], Image.open(files[2]), rgba[0], files[4]]
                self.assertEqual(zoetra.create(mixed, **keywords), want)

    def test_rows_apart_and_other_modes_convert_as_their_files(self):
        base = pattern(16, 24, 7)
        padded = np.zeros((16, 30, 3), np.uint8)
        padded[:, :24] = base
        view = padded[:, :24]  # rows 90 bytes apart, pixels packed
        self.assertFalse(view.flags["C_CONTIGUOUS"])
        self.assertEqual(zoetra.create([view]), zoetra.create([base]))
        grey = base[:, :, 1].copy()
        self.assertEqual(zoetra.create([grey]), self.cli_create([self.png(grey)]))
        for mode in ("P", "L", "LA", "RGBA", "1", "I", "CMYK"):
            with self.subTest(mode=mode):
                image = Image.fromarray(base).convert(mode)
                self.assertEqual(zoetra.create([image]), zoetra.create([self.png(np.asarray(image.convert(
                    "RGBA" if "A" in image.getbands() else "RGB")))]))

    def test_output_file_and_result_text(self):
        files = [self.png(pattern(10, 12, s)) for s in (1, 2)]
        out = self.path("out.gif")
        text = zoetra.create(files, out)
        self.assertEqual(text, f"OK, Animated GIF: {out} created with 2 frames")
        self.assertEqual(pathlib.Path(out).read_bytes(), zoetra.create(files))
        self.assertEqual(zoetra.create(files, pathlib.Path(out)), text)

    def test_failures_raise_zoetra_error(self):
        good = pattern(8, 8, 1)
        with self.assertRaises(zoetra.Error) as caught:
            zoetra.create([good, self.path("missing.png")])
        e = caught.exception
        self.assertIsInstance(e, Exception)
        self.assertEqual((e.number, e.description, e.picture), (53, "File not found", 2))
        self.assertTrue(e.source)
        self.assertTrue(str(e).startswith("picture 2: File not found"), str(e))
        again = pickle.loads(pickle.dumps(e))
        self.assertEqual((again.number, again.description, again.source, again.picture),
                         (e.number, e.description, e.source, e.picture))
        # Later pictures are read ahead on other threads; the failure still names its own.
        with self.assertRaises(zoetra.Error) as caught:
            zoetra.create([good] * 5 + [self.path("missing.png")] + [good] * 3, palette="all")
        self.assertEqual(caught.exception.picture, 6)
        not_picture = self.path("text.png")
        pathlib.Path(not_picture).write_text("hello world")
        with self.assertRaises(zoetra.Error) as caught:
            zoetra.create([not_picture])
        self.assertEqual((caught.exception.number, caught.exception.picture), (481, 1))
        # An output the system refuses, with its reason.
        with self.assertRaises(zoetra.Error) as caught:
            zoetra.create([good], self.path("no/such/folder/out.gif"))
        self.assertIn("Unexpected error saving GIF file", caught.exception.description)
        self.assertIn("No such file or directory", caught.exception.description)
        self.assertIsNone(caught.exception.picture)

    def test_slideshow_keywords(self):
        a = pattern(10, 12, 1)
        self.assertEqual(zoetra.create([a], fps=4), zoetra.create([a], delay_ms=250))
        self.assertEqual(zoetra.create([a], background=0x102030), zoetra.create([a], background="102030"))
        once = zoetra.create([a, a], loop=None)
        self.assertNotIn(b"NETSCAPE2.0", once)
        self.assertEqual(zoetra.info(once)["loop"], None)
        self.assertEqual(zoetra.info(zoetra.create([a], loop=7))["loop"], 7)
        self.assertEqual(zoetra.info(zoetra.create([a], fit=(40, 10)))["width"], 40)
        # A photo stored sideways: upright from its path and as a PIL image.
        sideways = self.path("sideways.jpg")
        exif = Image.Exif()
        exif[0x0112] = 6
        Image.fromarray(pattern(10, 16, 3)).save(sideways, exif=exif)
        for picture in (sideways, Image.open(sideways)):
            shown = zoetra.info(zoetra.create([picture], auto_orient=True))
            self.assertEqual((shown["width"], shown["height"]), (10, 16))
        shown = zoetra.info(zoetra.create([Image.open(sideways)]))
        self.assertEqual((shown["width"], shown["height"]), (16, 10))
        for wrong in ({"fps": 0}, {"fps": 10, "delay_ms": 100}, {"loop": -1}, {"loop": 65536},
                      {"fit": (0, 10)}, {"background": "red"}, {"background": (1, 2)}):
            with self.subTest(wrong=wrong):
                with self.assertRaises(ValueError):
                    zoetra.create([a], **wrong)

    def test_wrong_arguments_are_refused_before_any_work(self):
        missing = self.path("missing.png")  # would raise zoetra.Error 53 if reached
        wrong = [
            (TypeError, [missing, np.zeros((4, 4), np.float64)], "dtype float64"),
            (TypeError, [missing, np.zeros((4, 4, 3), np.uint16)], "dtype uint16"),
            (ValueError, [missing, np.zeros((4, 4, 2), np.uint8)], "shape 4 x 4 x 2"),
            (ValueError, [missing, np.zeros((4,), np.uint8)], "shape 4"),
            (ValueError, [missing, np.zeros((0, 4, 3), np.uint8)], "empty"),
            (ValueError, [missing, pattern(4, 6, 1)[:, ::-1]], "not contiguous"),
            (ValueError, [missing, pattern(4, 6, 1)[:, :, ::-1]], "not contiguous"),
            (TypeError, [missing, 3.5], "picture 2: a float"),
            (TypeError, [missing, b"bytes"], "picture 2: a bytes"),
        ]
        for error, pictures, says in wrong:
            with self.subTest(says=says):
                with self.assertRaisesRegex(error, says):
                    zoetra.create(pictures)
        with self.assertRaisesRegex(TypeError, "sequence"):
            zoetra.create(missing)
        with self.assertRaisesRegex(TypeError, "sequence"):
            zoetra.create(pattern(4, 4, 1))
        with self.assertRaisesRegex(ValueError, "palette"):
            zoetra.create([missing], palette="best")
        with self.assertRaisesRegex(ValueError, "delay_ms"):
            zoetra.create([missing], delay_ms=40000)
        with self.assertRaises(TypeError):
            zoetra.create([missing], 350)  # keywords only past output

    def test_threads_convert_at_once(self):
        sets = [[pattern(40, 50, s + k) for k in range(4)] for s in range(4)]
        want = [zoetra.create(pictures, threads=1) for pictures in sets]
        got = [None] * 8
        failures = []

        def convert(i):
            try:
                got[i] = zoetra.create(sets[i % 4], palette="first")
            except Exception as e:  # reported below, with the thread
                failures.append(e)

        threads = [threading.Thread(target=convert, args=(i,)) for i in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(failures, [])
        for i in range(8):
            self.assertEqual(got[i], want[i % 4], f"thread {i}")


class InfoFramesTest(Case):
    def make_gif(self, *flags):
        files = [self.png(pattern(20, 30, s)) for s in (1, 2, 3)]
        files.append(files[1])  # a repeated picture, merged with --optimize
        return self.cli_create(files, *flags)

    def test_info_is_the_commands_json(self):
        for flags in ([], ["--optimize", "--palette", "frame"]):
            with self.subTest(flags=flags):
                data = self.make_gif(*flags)
                path = self.path("i.gif")
                pathlib.Path(path).write_bytes(data)
                self.assertEqual(zoetra.info(path), json.loads(self.cli("info", "--json", path)))
                self.assertEqual(zoetra.info(pathlib.Path(path)), json.loads(self.cli("info", "--json", path)))
                self.assertEqual(zoetra.info(data), json.loads(self.cli("info", "--json", "-", stdin=data)))
                self.assertEqual(zoetra.info(bytearray(data)), zoetra.info(data))

    def test_frames_are_the_commands_frames(self):
        data = self.make_gif("--optimize")
        path = self.path("f.gif")
        pathlib.Path(path).write_bytes(data)
        shown = zoetra.frames(path)
        self.assertEqual(len(shown), zoetra.info(data)["frame_count"])
        folder = self.path("frames")
        self.cli("frames", "-o", folder, path)
        for i, frame in enumerate(shown, 1):
            self.assertEqual(frame.dtype, np.uint8)
            self.assertEqual(frame.shape, (20, 30, 3))
            written = np.asarray(Image.open(os.path.join(folder, f"frame-{i:04d}.bmp")).convert("RGB"))
            np.testing.assert_array_equal(frame, written, err_msg=f"frame {i}")
        self.assertEqual(len(zoetra.frames(data)), len(shown))

    def test_what_is_not_a_gif(self):
        with self.assertRaises(zoetra.Error) as caught:
            zoetra.info(b"GIF8")
        self.assertEqual(caught.exception.number, 481)
        with self.assertRaises(zoetra.Error):
            zoetra.frames(io.BytesIO(b"x").getvalue())
        with self.assertRaises(FileNotFoundError):
            zoetra.info(self.path("missing.gif"))
        with self.assertRaises(TypeError):
            zoetra.frames(12)


if __name__ == "__main__":
    unittest.main()
