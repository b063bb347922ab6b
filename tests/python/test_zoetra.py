"""The Python module against the command line: the same pictures, given as
paths, arrays or PIL images, make the command's exact bytes; info() and
frames() say what `zoetra info --json` and `zoetra frames` say.

Run by ctest with PYTHONPATH at the built package and ZOETRA_CLI at the
command; by hand: PYTHONPATH=build/python ZOETRA_CLI=build/cli/zoetra
python3 -m unittest discover -s tests/python
"""

import collections.abc
import base64
import io
import json
import os
import pathlib
import pickle
import resource
import select
import signal
import subprocess
import sys
import tempfile
import threading
import time
import tracemalloc
import unittest
from unittest import mock

import numpy as np
from PIL import Image

import zoetra

CLI = os.environ.get("ZOETRA_CLI", "zoetra")
CLIPS = pathlib.Path(__file__).resolve().parents[1] / "data" / "clips"


def traced_peak(work):
    """The peak of memory Python and numpy allocate while `work()` runs."""
    tracemalloc.start()
    try:
        work()
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


def run_python(code, *args, limit_memory=None):
    """A child interpreter running `code` with the built package, its output
    lines read as they come."""
    def limit():
        if limit_memory is not None:
            resource.setrlimit(resource.RLIMIT_AS, (limit_memory, limit_memory))
    return subprocess.Popen([sys.executable, "-c", code, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, preexec_fn=limit)


def read_line(process, timeout):
    ready, _, _ = select.select([process.stdout], [], [], timeout)
    return process.stdout.readline().strip() if ready else None


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
        missing = self.path("missing.png")
        self.assertEqual((e.number, e.description, e.picture), (53, f"File not found: {missing}", 2))
        self.assertTrue(e.source)
        self.assertEqual(e.path, missing)
        self.assertEqual(str(e), f"picture 2 ({missing}): File not found: {missing} (error 53, {e.source})")
        again = pickle.loads(pickle.dumps(e))
        self.assertEqual((again.number, again.description, again.source, again.picture, again.path),
                         (e.number, e.description, e.source, e.picture, e.path))
        # Later pictures are read ahead on other threads; the failure still names its own.
        with self.assertRaises(zoetra.Error) as caught:
            zoetra.create([good] * 5 + [self.path("missing.png")] + [good] * 3, palette="all")
        self.assertEqual(caught.exception.picture, 6)
        not_picture = self.path("text.png")
        pathlib.Path(not_picture).write_text("hello world")
        with self.assertRaises(zoetra.Error) as caught:
            zoetra.create([not_picture])
        self.assertEqual((caught.exception.number, caught.exception.picture, caught.exception.path),
                         (481, 1, not_picture))
        # An output the system refuses, with its reason, under the component's number as documented.
        output = self.path("no/such/folder/out.gif")
        with self.assertRaises(zoetra.Error) as caught:
            zoetra.create([good], output)
        self.assertEqual(caught.exception.description,
                         f"Path/File access error: {output} (cannot save the GIF: No such file or directory)")
        self.assertIsNone(caught.exception.picture)
        self.assertEqual((caught.exception.number, caught.exception.path), (75, output))
        self.assertTrue(str(caught.exception).startswith(output + ": "), str(caught.exception))

    def test_error_text_shows_any_path_safely(self):
        cases = [
            ((53, "File not found", "ZoetraCom", 2, "shots/b.png"),
             "picture 2 (shots/b.png): File not found (error 53, ZoetraCom)"),
            ((481, "Invalid picture", "ZoetraCom", None, "a.gif"), "a.gif: Invalid picture (error 481, ZoetraCom)"),
            ((53, "File not found", "ZoetraCom", 1, "two\nlines\x00.png"),
             "picture 1 (two\\nlines\\x00.png): File not found (error 53, ZoetraCom)"),
            ((53, "File not found", "ZoetraCom", 3, "caf\udce9.png"),
             "picture 3 (caf\\udce9.png): File not found (error 53, ZoetraCom)"),
            ((7, "Out of memory", "ZoetraCom", None, None), "Out of memory (error 7, ZoetraCom)"),
        ]
        for arguments, text in cases:
            with self.subTest(text=text):
                self.assertEqual(str(zoetra.Error(*arguments)), text)
                str(zoetra.Error(*arguments)).encode("utf-8")  # printable anywhere

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
        fitted = zoetra.create([a], fit=(30, 20))
        for fit in ("30x20", "30X20", [30, 20], "00030x0020"):
            with self.subTest(fit=fit):
                self.assertEqual(zoetra.create([a], fit=fit), fitted)
        for wrong in ({"fps": 0}, {"fps": 10, "delay_ms": 100}, {"loop": -1}, {"loop": 65536},
                      {"fit": (0, 10)}, {"background": "red"}, {"background": (1, 2)},
                      {"fit": "0x10"}, {"fit": "30x"}, {"fit": "x20"}, {"fit": "30*20"}, {"fit": "30x20x1"},
                      {"fit": " 30x20"}, {"fit": "30 x 20"}, {"fit": ""}, {"fit": "-30x20"}, {"fit": "+30x20"},
                      {"fit": "\uff13\uff10x20"}, {"fit": "100000x20"}, {"fit": (30, 20, 1)}):
            with self.subTest(wrong=wrong):
                with self.assertRaises(ValueError):
                    zoetra.create([a], **wrong)

    def test_quality_keyword(self):
        frames = [pattern(40, 30, k) for k in range(3)]
        best = zoetra.create(frames, optimize=True)
        self.assertEqual(zoetra.create(frames, optimize=True, quality=100), best)
        smaller = zoetra.create(frames, optimize=True, quality=30)
        self.assertEqual(smaller, self.cli_create([self.png(f) for f in frames], "--optimize", "--quality", "30"))
        self.assertLess(len(smaller), len(best))
        with zoetra.Writer(self.path("w.gif"), optimize=True, quality=30) as w:
            for f in frames:
                w.add(f)
        with open(self.path("w.gif"), "rb") as f:
            self.assertEqual(f.read(), smaller)
        for wrong in ({"quality": 0}, {"quality": 101}, {"quality": 50.5}, {"quality": "50"}):
            with self.subTest(wrong=wrong):
                with self.assertRaises((ValueError, TypeError)):
                    zoetra.create(frames, **wrong)

    def test_clip_keywords(self):
        clip = str(CLIPS / "h264_25.mp4")
        made = zoetra.create([clip], fps=10, start=0.5, duration=1, width=32)
        self.assertEqual(made, self.cli_create([clip], "--fps", "10", "--start", "0.5", "--duration", "1",
                                               "--width", "32"))
        shown = zoetra.info(made)
        self.assertEqual((shown["width"], shown["height"], len(shown["frames"])), (32, 24, 10))
        self.assertEqual({f["delay_cs"] for f in shown["frames"]}, {10})
        # Times as text, and end instead of duration, give the same part.
        self.assertEqual(zoetra.create([clip], fps=10, start="0:00.5", end="1.5", width=32), made)
        # A clip cut short warns, naming it; one that is no clip fails naming it.
        cut = str(CLIPS / "truncated.mp4")
        with self.assertWarnsRegex(UserWarning, "truncated.mp4: the clip ends at"):
            zoetra.create([a_picture := self.png(pattern(48, 64, 1)), cut])
        with self.assertRaises(zoetra.Error) as caught:
            zoetra.create([a_picture, clip, str(CLIPS / "random.mp4")])
        self.assertEqual(caught.exception.path, str(CLIPS / "random.mp4"))
        for wrong in ({"start": "1:75"}, {"start": -1}, {"duration": 1, "end": 2}, {"start": [1]},
                      {"width": -3}):
            with self.subTest(wrong=wrong):
                with self.assertRaises((ValueError, TypeError)):
                    zoetra.create([clip], **wrong)

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
            (TypeError, [missing, bytearray(b"bytes")], "picture 2: a bytearray"),
            (ValueError, [missing, np.zeros((4, 4, 4, 3), np.uint8)], "picture 2: an array of shape 4 x 4 x 4 x 3"),
        ]
        for error, pictures, says in wrong:
            with self.subTest(says=says):
                with self.assertRaisesRegex(error, says):
                    zoetra.create(pictures)
        with self.assertRaisesRegex(TypeError, "sequence"):
            zoetra.create(missing)
        for one in (pattern(4, 4, 1), np.zeros((2, 4, 4, 4, 3), np.uint8)):
            with self.assertRaisesRegex(TypeError, "sequence"):
                zoetra.create(one)
        with self.assertRaisesRegex(ValueError, "palette"):
            zoetra.create([missing], palette="best")
        # Ranges are the library's, in its words (the command's and C's too).
        for keywords, says in [({"delay_ms": 40000}, "the frame delay 40000 ms is not 0 to 32767 ms"),
                               ({"delay_ms": 2 ** 40}, "the frame delay 1099511627776 ms"),
                               ({"delay_ms": 2 ** 70}, "delay_ms 1180591620717411303424 is out of range"),
                               ({"fps": float("nan")}, "the frame rate nan"),
                               ({"fps": 0.0305}, "the frame rate 0.0305"),
                               ({"threads": -1}, "the thread count -1"),
                               ({"loop": 2.9}, "loop must be a whole number, not 2.9"),
                               ({"loop": -1}, "or None \\(play once\\)"),
                               ({"loop": 70000}, "the loop count 70000"),
                               ({"fit": "0x5"}, "the fitting size 0 x 5"),
                               ({"fit": (32767, 32767)}, "max_picture_pixels")]:
            with self.subTest(**{k: repr(v) for k, v in keywords.items()}):
                with self.assertRaisesRegex(ValueError, says):
                    zoetra.create([missing], **keywords)
        with self.assertRaisesRegex(ValueError, "^no pictures were given$"):
            zoetra.create([])
        with self.assertWarnsRegex(UserWarning, "kept as 20 ms .*50 frames per second"):
            zoetra.create([pattern(4, 4, 1)], fps=60)
        with self.assertRaises(TypeError):
            zoetra.create([missing], 350)  # keywords only past output

    def test_threads_convert_at_once(self):
        sets = [[pattern(40, 50, s + k) for k in range(4)] for s in range(4)]
        want = [zoetra.create(pictures, threads=1) for pictures in sets]
        got = [None] * 8
        failures = []

        def convert(i):
            try:
                got[i] = zoetra.create(sets[i % 4])
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
        shown = list(zoetra.frames(path))
        self.assertEqual(len(shown), zoetra.info(data)["frame_count"])
        folder = self.path("frames")
        self.cli("frames", "-o", folder, path)
        for i, frame in enumerate(shown, 1):
            self.assertEqual(frame.dtype, np.uint8)
            self.assertEqual(frame.shape, (20, 30, 3))
            written = np.asarray(Image.open(os.path.join(folder, f"frame-{i:04d}.bmp")).convert("RGB"))
            np.testing.assert_array_equal(frame, written, err_msg=f"frame {i}")
        self.assertEqual(len(list(zoetra.frames(data))), len(shown))

    def test_frames_come_one_at_a_time(self):
        data = zoetra.create([pattern(100, 120, s) for s in range(24)], palette="frame")
        frames = zoetra.frames(data)
        self.assertIsInstance(frames, collections.abc.Iterator)
        self.assertIs(iter(frames), frames)
        first = next(frames)
        np.testing.assert_array_equal(first, next(zoetra.frames(data)))
        self.assertEqual(sum(1 for _ in frames), 23)
        with self.assertRaises(StopIteration):
            next(frames)
        # Memory for one frame at a time, not for all 24 (36 KB each).
        reader = zoetra.frames(data)
        peak = traced_peak(lambda: collections.deque(reader, maxlen=0))
        self.assertLess(peak, 4 * first.nbytes)
        # The document outlives everything but the iterator.
        reader = zoetra.frames(bytearray(data))
        del data
        self.assertEqual(len(list(reader)), 24)

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
        # A file that is not a GIF is named.
        text = self.path("text.gif")
        pathlib.Path(text).write_text("hello world")
        for look in (zoetra.info, zoetra.frames):
            with self.subTest(look=look.__name__):
                with self.assertRaises(zoetra.Error) as caught:
                    look(text)
                self.assertEqual((caught.exception.number, caught.exception.path), (481, text))
                self.assertTrue(str(caught.exception).startswith(text + ": Invalid picture"))

    def test_reads_stop_at_the_file_limit(self):
        limit = zoetra._zoetra.max_file_bytes()
        self.assertGreater(limit, 0)
        # A sparse file over the limit: refused from its size, before any read.
        big = self.path("big.gif")
        with open(big, "wb") as f:
            f.write(b"GIF89a")
            f.truncate(limit + 1)
        for look in (zoetra.info, zoetra.frames):
            with self.subTest(look=look.__name__):
                peak = traced_peak(lambda: self.assertRaisesRegex(ValueError, f"big.gif: .*limit of {limit} bytes",
                                                                  look, big))
                self.assertLess(peak, 1 << 20)
        # A pipe has no size: it is read up to the limit, not to its end.
        fifo = self.path("endless.gif")
        os.mkfifo(fifo)

        def feed():
            try:
                with open(fifo, "wb") as f:
                    f.write(b"GIF89a" + bytes(200000))
            except BrokenPipeError:
                pass  # the reader stopped at the limit

        writer = threading.Thread(target=feed)
        writer.start()
        with mock.patch.object(zoetra._zoetra, "max_file_bytes", return_value=70000):
            with self.assertRaisesRegex(ValueError, "endless.gif: longer than the limit of 70000 bytes"):
                zoetra.info(fifo)
        writer.join()
        # A device without end: /dev/zero is not a GIF from its first bytes.
        child = run_python("import zoetra\n"
                           "try:\n"
                           "    zoetra.info('/dev/zero')\n"
                           "except zoetra.Error as e:\n"
                           "    print(e.number, e.path)\n", limit_memory=4 << 30)
        out, err = child.communicate(timeout=120)
        self.assertEqual(out.strip(), "481 /dev/zero", err)


class PathTest(Case):
    """Every path open() takes, as the file it names."""

    def test_names_that_are_not_utf8(self):
        picture = pattern(12, 16, 5)
        plain = self.png(picture)
        name = os.fsencode(self.path("caf")) + b"\xe9.png"
        try:
            with open(name, "wb") as f:
                f.write(pathlib.Path(plain).read_bytes())
        except (OSError, UnicodeError):
            self.skipTest("the file system refuses names that are not UTF-8")
        want = zoetra.create([plain])
        text = os.fsdecode(name)  # what os.listdir gives: 'caf\udce9.png'
        for given in (name, text, pathlib.Path(text)):
            with self.subTest(given=given):
                self.assertEqual(zoetra.create([given]), want)
        output = os.fsencode(self.path("out")) + b"\xff.gif"
        for given in (output, os.fsdecode(output), pathlib.Path(os.fsdecode(output))):
            with self.subTest(output=given):
                result = zoetra.create([text], given)
                self.assertEqual(result, f"OK, Animated GIF: {os.fsdecode(output)} created with 1 frame")
                with open(output, "rb") as f:
                    self.assertEqual(f.read(), want)
                os.remove(output)
        # A missing one is named in the error, which prints anywhere.
        missing = os.fsdecode(os.fsencode(self.path("gon")) + b"\xe9.png")
        with self.assertRaises(zoetra.Error) as caught:
            zoetra.create([plain, missing])
        self.assertEqual((caught.exception.number, caught.exception.path), (53, missing))
        self.assertIn("gon\\udce9.png", str(caught.exception))
        str(caught.exception).encode("utf-8")
        # info names it as the command does.
        gif = os.fsencode(self.path("sh")) + b"\xf6w.gif"
        with open(gif, "wb") as f:
            f.write(want)
        self.assertEqual(zoetra.info(os.fsdecode(gif)), json.loads(self.cli("info", "--json", gif)))
        self.assertEqual(len(list(zoetra.frames(pathlib.Path(os.fsdecode(gif))))), 1)

    def test_a_nul_byte_is_refused_not_cut(self):
        picture = self.png(pattern(8, 8, 1))  # what a cut path would read
        out = self.path("out.gif")
        cases = [
            ("picture 1", lambda: zoetra.create([picture + "\x00junk"])),
            ("picture 1", lambda: zoetra.create([os.fsencode(picture) + b"\x00junk"])),
            ("picture 2", lambda: zoetra.create([picture, pathlib.Path(picture + "\x00")])),
            ("output", lambda: zoetra.create([picture], out + "\x00junk")),
            ("path", lambda: zoetra.info(self.path("a.gif\x00"))),
            ("path", lambda: zoetra.frames(self.path("a.gif\x00"))),
        ]
        for what, call in cases:
            with self.subTest(what=what):
                with self.assertRaisesRegex(ValueError, f"^{what}: embedded null byte"):
                    call()
        self.assertFalse(os.path.exists(out))


class ResultTest(Case):
    """What create() gives back without an output file, and the package's facts."""

    def test_the_gif_is_bytes_shown_short(self):
        pictures = [pattern(20, 30, s) for s in (1, 2, 3, 2)]
        gif = zoetra.create(pictures, optimize=True, fit="40x25")
        self.assertIsInstance(gif, bytes)
        self.assertIs(type(gif), zoetra.GIF)
        self.assertEqual(gif, bytes(gif))
        self.assertIs(type(gif[:6]), bytes)
        self.assertEqual(gif[:6], b"GIF89a")
        frames = zoetra.info(gif)["frame_count"]
        self.assertEqual(repr(gif), f"<zoetra.GIF: {len(gif):,} bytes, {frames} frames, 40 x 25>")
        one = zoetra.create(pictures[:1])
        self.assertEqual(repr(one), f"<zoetra.GIF: {len(one):,} bytes, 1 frame, 30 x 20>")
        # Cut short: no frame count to give.
        self.assertEqual(repr(zoetra.GIF(gif[:-1])), f"<zoetra.GIF: {len(gif) - 1:,} bytes, 40 x 25>")
        self.assertEqual(repr(zoetra.GIF(b"GIF")), "<zoetra.GIF: 3 bytes>")
        # In a notebook: the animation itself.
        html = gif._repr_html_()
        prefix = '<img src="data:image/gif;base64,'
        self.assertTrue(html.startswith(prefix) and html.endswith('">'), html[:80])
        self.assertEqual(base64.b64decode(html[len(prefix):-2]), gif)
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            again = pickle.loads(pickle.dumps(gif, protocol))
            self.assertEqual((type(again), again), (zoetra.GIF, gif))
        out = self.path("out.gif")
        with open(out, "wb") as f:
            f.write(gif)
        self.assertEqual(pathlib.Path(out).read_bytes(), gif)

    def test_a_video_array_is_its_pictures_in_place(self):
        for channels in (3, 4):
            with self.subTest(channels=channels):
                pictures = [pattern(96, 128, s, channels) for s in range(24)]
                video = np.stack(pictures)  # N x H x W x C, as video readers give
                want = zoetra.create(pictures)
                self.assertEqual(zoetra.create(video), want)
                # The GIF made, and no copy of the frames.
                peak = traced_peak(lambda: zoetra.create(video))
                self.assertLess(peak, len(want) + video.nbytes // 4)
        # Every other frame: a view, frames apart.
        self.assertEqual(zoetra.create(video[::2]), zoetra.create(pictures[::2]))

    def test_version_is_the_projects(self):
        self.assertRegex(zoetra.__version__, r"^\d+\.\d+\.\d+$")
        self.assertEqual(self.cli("--version").decode().strip(), f"zoetra {zoetra.__version__}")


class WriterTest(Case):
    """Frames handed over one at a time make create()'s bytes of the list."""

    @staticmethod
    def pictures():
        # Enough for the palette "frame" to write frames before finish(); a repeat for optimize to merge.
        pictures = [pattern(18, 26, s) for s in range(9)]
        pictures[4] = pictures[3]
        return pictures

    def test_the_bytes_of_create(self):
        pictures = self.pictures()
        files = [self.png(p) for p in pictures[:2]]
        for palette in ("all", "frame", "first"):
            for optimize in (False, True):
                keywords = {"palette": palette, "optimize": optimize}
                with self.subTest(**keywords):
                    want = zoetra.create(pictures, **keywords)
                    # One buffer filled with each frame in turn: add() copies it.
                    out = self.path(f"{palette}-{optimize}.gif")
                    buffer = np.empty_like(pictures[0])
                    with zoetra.Writer(out, **keywords) as gif:
                        for p in pictures:
                            buffer[...] = p
                            gif.add(buffer)
                    self.assertEqual(pathlib.Path(out).read_bytes(), want)
                    self.assertEqual(gif.frames, len(pictures))
                    # Into a file object; pictures as files and PIL images.
                    stream = io.BytesIO()
                    gif = zoetra.Writer(stream, threads=1, **keywords)
                    for p in files + [Image.fromarray(p) for p in pictures[2:]]:
                        gif.add(p)
                    self.assertEqual(gif.finish(), len(pictures))
                    self.assertEqual(stream.getvalue(), want)

    def test_many_small_frames(self):
        pictures = [pattern(8, 8, s) for s in range(3000)]
        for palette in ("frame", "all"):
            with self.subTest(palette=palette):
                stream = io.BytesIO()
                with zoetra.Writer(stream, palette=palette, delay_ms=20) as gif:
                    for p in pictures:
                        gif.add(p)
                self.assertEqual(stream.getvalue(), zoetra.create(pictures, palette=palette, delay_ms=20))
                self.assertEqual(zoetra.info(stream.getvalue())["frame_count"], 3000)

    def test_more_frames_than_a_document_holds(self):
        # 40,000 frames of 16 x 16, past the 32767 of a document, in a child
        # whose peak memory is its own; Pillow reads every frame back.
        child = (
            "import resource, sys, numpy as np, zoetra\n"
            "n = 40000\n"
            "k = np.arange(n, dtype=np.uint32)\n"
            "video = np.zeros((n, 16, 16, 3), np.uint8)\n"
            "video[:, :, :, 0] = (k & 255)[:, None, None]\n"
            "video[:, :, :, 1] = (k >> 8)[:, None, None]\n"
            "video[:, ::2, :, 2] = 200\n"
            "zoetra.create(video, sys.argv[1], palette=sys.argv[2], delay_ms=20)\n"
            "print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)\n"
        )
        for palette in ("frame", "all"):
            with self.subTest(palette=palette), tempfile.TemporaryDirectory() as folder:
                out = os.path.join(folder, "long.gif")
                done = subprocess.run([sys.executable, "-c", child, out, palette],
                                      capture_output=True, text=True, check=True)
                self.assertLess(int(done.stdout) * 1024, 256 << 20)
                with Image.open(out) as im:
                    self.assertEqual(im.n_frames, 40000)

    def test_a_frames_own_delay(self):
        pictures = [pattern(10, 12, s) for s in range(4)]
        for palette in ("all", "frame"):
            with self.subTest(palette=palette):
                stream = io.BytesIO()
                with zoetra.Writer(stream, palette=palette, delay_ms=100) as gif:
                    for p, delay in zip(pictures, (None, 40, 0, 1230)):
                        gif.add(p, delay_ms=delay)
                delays = [f["delay_cs"] for f in zoetra.info(stream.getvalue())["frames"]]
                self.assertEqual(delays, [10, 4, 0, 123])
                stream.seek(0)
                with Image.open(stream) as image:
                    image.seek(1)
                    self.assertEqual(image.info["duration"], 40)
        refused = [({"palette": "first"}, 40, "own delay needs the palette mode all or frame"),
                   ({}, 40000, "the frame delay 40000 ms"),
                   ({}, 2.5, "delay_ms must be a whole number")]
        for keywords, delay, says in refused:
            with self.subTest(says=says):
                gif = zoetra.Writer(io.BytesIO(), **keywords)
                with self.assertRaisesRegex(ValueError, says):
                    gif.add(pictures[0], delay_ms=delay)

    def test_an_exception_in_the_block_leaves_the_old_file(self):
        old = zoetra.create([pattern(10, 10, 1)])
        for palette in ("all", "frame", "first"):
            with self.subTest(palette=palette):
                out = self.path(f"{palette}.gif")
                pathlib.Path(out).write_bytes(old)
                with self.assertRaisesRegex(KeyError, "in the middle"):
                    with zoetra.Writer(out, palette=palette, threads=1) as gif:
                        for p in self.pictures():
                            gif.add(p)
                        raise KeyError("in the middle")
                self.assertEqual(pathlib.Path(out).read_bytes(), old)
                with self.assertRaisesRegex(ValueError, "closed unfinished"):
                    gif.add(pattern(10, 10, 1))
        self.assertEqual(sorted(os.listdir(self.dir)), ["all.gif", "first.gif", "frame.gif"])

    def test_calls_out_of_turn(self):
        good = pattern(8, 8, 1)
        gif = zoetra.Writer(io.BytesIO())
        gif.add(good)
        with self.assertRaisesRegex(TypeError, "picture 2: an array of dtype float64"):
            gif.add(np.zeros((4, 4, 3)))  # refused before any work: the writer goes on
        self.assertEqual(gif.finish(), 1)
        gif.close()
        for call in (lambda: gif.add(good), gif.finish):
            with self.assertRaisesRegex(ValueError, "^the writer is finished$"):
                call()
        with self.assertRaisesRegex(ValueError, "^no pictures were given$"):
            zoetra.Writer(io.BytesIO()).finish()
        # The output's write() calling back in is refused, not let through.
        class Reentrant(io.BytesIO):
            def write(self, data):
                gif.add(good)
        gif = zoetra.Writer(Reentrant(), palette="first")
        gif.add(good)
        with self.assertRaisesRegex(RuntimeError, "in a call already"):
            gif.finish()
        # After a failure: refused until close() lets it go.
        gif = zoetra.Writer(io.BytesIO())
        with self.assertRaises(zoetra.Error):
            gif.add(self.path("missing.png"))
        with self.assertRaisesRegex(ValueError, "^the writer stopped at an earlier failure$"):
            gif.finish()
        gif.close()
        with self.assertRaisesRegex(ValueError, "^the writer was closed unfinished$"):
            gif.add(good)
        refused = [(TypeError, io.StringIO(), {}), (TypeError, 12, {}), (ValueError, None, {"delay_ms": 40000}),
                   (ValueError, None, {"palette": "best"})]
        for error, output, keywords in refused:
            with self.subTest(output=output, **keywords):
                with self.assertRaises(error):
                    zoetra.Writer(self.path("refused.gif") if output is None else output, **keywords)
        self.assertFalse(os.path.exists(self.path("refused.gif")))

    def test_failures_name_the_picture_and_stop_the_writer(self):
        good = pattern(8, 8, 1)
        missing = self.path("missing.png")
        not_picture = self.path("text.png")
        pathlib.Path(not_picture).write_text("hello world")

        class Full(io.RawIOBase):
            def write(self, data):
                raise OSError(28, "No space left on device")

        class Short(io.RawIOBase):
            def write(self, data):
                return len(data) - 1

        for palette in ("all", "frame", "first"):
            out = self.path(f"{palette}.gif")
            runs = [  # output, pictures, what is raised: zoetra.Error's (number, picture, path), or its text
                (out, [good, missing], zoetra.Error, (53, 2, missing)),
                # Read only when its frame is made, a few frames on or in finish().
                (out, [good, not_picture] + [good] * 8, zoetra.Error, (481, 2, not_picture)),
                (self.path("none/out.gif"), [good], zoetra.Error, (75, None, self.path("none/out.gif"))),
                (Full(), [good] * 8, OSError, "No space left on device"),
                (Short(), [good] * 8, ValueError, r"write\(\) took \d+ of \d+ bytes"),
            ]
            for output, pictures, error, facts in runs:
                with self.subTest(palette=palette, facts=facts):
                    gif = None
                    with self.assertRaises(error) as caught:
                        with zoetra.Writer(output, palette=palette, threads=1) as gif:
                            for p in pictures:
                                gif.add(p)
                    e = caught.exception
                    if error is zoetra.Error:
                        self.assertEqual((e.number, e.picture, e.path), facts)
                    else:
                        self.assertRegex(str(e), facts)
                    self.assertFalse(os.path.exists(out))
                    if gif is not None:
                        with self.assertRaisesRegex(ValueError, "closed unfinished"):
                            gif.add(good)


class InterruptTest(Case):
    CHILD = """
import sys
import numpy as np
import zoetra
rng = np.random.default_rng(1)
pictures = [rng.integers(0, 256, (120, 160, 3), dtype=np.uint8) for _ in range(6)] * 10
print("ready", flush=True)
try:
    {convert}
    print("finished", flush=True)
except KeyboardInterrupt:
    print("interrupted", flush=True)
"""
    # Each about 4 s; the writer's in finish(), where the palette all does its work.
    CONVERSIONS = [
        ("create", 'zoetra.create(pictures, sys.argv[1], palette="frame", threads=1)'),
        ("writer", "with zoetra.Writer(sys.argv[1], threads=1) as gif:\n"
                   "        for p in pictures * 12:\n"
                   "            gif.add(p)"),
    ]

    def test_ctrl_c_stops_a_conversion_and_keeps_the_old_output(self):
        for name, convert in self.CONVERSIONS:
            with self.subTest(name):
                self.interrupt(self.CHILD.replace("{convert}", convert))

    def interrupt(self, code):
        out = self.path("out.gif")
        old = zoetra.create([pattern(10, 10, 1)])
        pathlib.Path(out).write_bytes(old)
        child = run_python(code, out)
        try:
            self.assertEqual(read_line(child, 120), "ready")
            time.sleep(0.5)  # well into the conversion
            child.send_signal(signal.SIGINT)
            sent = time.monotonic()
            said = read_line(child, 120)
            waited = time.monotonic() - sent
            self.assertEqual(child.wait(timeout=60), 0, child.stderr.read())
        finally:
            if child.poll() is None:
                child.kill()
                child.wait()
            child.stdout.close()
            child.stderr.close()
        self.assertEqual(said, "interrupted")
        self.assertLess(waited, 0.5)
        self.assertEqual(pathlib.Path(out).read_bytes(), old)
        self.assertEqual(os.listdir(self.dir), ["out.gif"])  # no temporary file left behind


if __name__ == "__main__":
    unittest.main()
