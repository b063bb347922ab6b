"""Still pictures to one animated GIF.

    import zoetra
    zoetra.create(["a.png", "b.jpg", numpy_array, pil_image], "out.gif")
    gif = zoetra.create(frames)                # no output: the GIF's bytes (zoetra.GIF)
    with zoetra.Writer("out.gif") as w:        # frames one at a time, as they are made
        w.add(numpy_array)
    zoetra.info("out.gif")                     # what `zoetra info --json` prints
    for frame in zoetra.frames("out.gif"): ... # the frames as a viewer shows them

Pictures may be paths (str, bytes or os.PathLike), numpy uint8 arrays of
H x W x 3 (RGB), H x W x 4 (RGBA) or H x W (grey), and PIL images of any mode,
mixed freely; an N x H x W x 3 (or x 4) array is N pictures. The same picture
gives the same bytes whichever way it comes in. Failures raise zoetra.Error; a
wrong argument raises TypeError or ValueError before any work. Conversions
release the GIL, so threads may convert at once, and stop at Ctrl-C.
"""

import io as _io
import json as _json
import numbers as _numbers
import os as _os
import re as _re
import stat as _stat

import numpy as _np

from ._error import Error, shown as _shown
from ._gif import GIF
from ._version import __version__
from . import _zoetra

__all__ = ["create", "Writer", "info", "frames", "Error", "GIF"]



def _is_pil_image(obj):
    return type(obj).__module__.startswith("PIL.") and hasattr(obj, "getbands") and hasattr(obj, "convert")


def _path(obj, what):
    """A path as the extension takes it: the bytes the system gets (os.fsencode),
    so that names which are not UTF-8 get through; a NUL refused, as open() does."""
    path = _os.fsencode(obj)
    if b"\0" in path:
        raise ValueError(f"{what}: embedded null byte in the path {_os.fsdecode(path)!r}")
    return path


def _picture(obj, number, auto_orient=False):
    """One picture as the extension takes it: a bytes path or a uint8 array."""
    if isinstance(obj, (str, bytes, _os.PathLike)):
        return _path(obj, f"picture {number}")
    if isinstance(obj, _np.ndarray):
        if obj.ndim == 2 and obj.dtype == _np.uint8:
            return _np.repeat(obj[:, :, None], 3, axis=2)  # grey: the same level in every channel
        return obj
    if _is_pil_image(obj):
        if auto_orient:
            from PIL import ImageOps
            obj = ImageOps.exif_transpose(obj)
        transparent = "A" in obj.getbands() or "transparency" in obj.info
        return _np.asarray(obj.convert("RGBA" if transparent else "RGB"))
    raise TypeError(
        f"picture {number}: a {type(obj).__name__}; zoetra takes paths, numpy uint8 arrays "
        "(H x W x 3, H x W x 4 or H x W) and PIL images")


def _colour(value):
    """0xRRGGBB from "#rrggbb", an (r, g, b) tuple or an int; None stays None."""
    if value is None:
        return None
    if isinstance(value, str):
        text = value[1:] if value.startswith("#") else value
        if len(text) == 6:
            try:
                return int(text, 16)
            except ValueError:
                pass
    elif isinstance(value, int) and not isinstance(value, bool) and 0 <= value <= 0xFFFFFF:
        return value
    elif isinstance(value, (tuple, list)) and len(value) == 3 and all(
            isinstance(c, int) and 0 <= c <= 255 for c in value):
        return value[0] << 16 | value[1] << 8 | value[2]
    raise ValueError(f"background must be '#rrggbb', (r, g, b) or 0xRRGGBB, not {value!r}")


def _size(value):
    """(width, height) from a pair or the command's "WxH" (also "WXH")."""
    if isinstance(value, str):
        match = _re.fullmatch(r"([0-9]{1,9})[xX]([0-9]{1,9})", value)
        if match is None:
            raise ValueError(f"fit must be 'WxH' (such as '640x480') or (width, height), not {value!r}")
        return int(match[1]), int(match[2])
    try:
        width, height = value
    except (TypeError, ValueError):
        raise ValueError(f"fit must be 'WxH' (such as '640x480') or (width, height), not {value!r}") from None
    return width, height


def _whole(name, value):
    """A whole number for the extension, whose library checks the range; a
    number past 64 bits is out of every range."""
    if isinstance(value, float) and value.is_integer():
        value = int(value)
    if isinstance(value, bool) or not isinstance(value, _numbers.Integral):
        if isinstance(value, _numbers.Real):
            raise ValueError(f"{name} must be a whole number, not {value!r}")
        raise TypeError(f"{name} must be a whole number, not a {type(value).__name__}")
    value = int(value)
    if not -(1 << 63) <= value < 1 << 63:
        raise ValueError(f"{name} {value} is out of range")
    return value


def create(pictures, output=None, *, delay_ms=350, fps=None, gray=False, optimize=False, swap_rg=False,
           palette="all", threads=0, loop=0, fit=None, background=None, auto_orient=False, start=0,
           duration=None, end=None, width=None, height=None, quality=100):
    """Makes one looping animated GIF of the pictures, in order.

    Args:
        pictures: a sequence of paths (pictures, clips such as MP4 or WebM
            files, animated GIFs), numpy arrays and PIL images (see the
            module's help), at least one; or an N x H x W x 3 (or x 4) uint8
            array, N pictures read in place (a video's frames).
        output: the GIF file to write (replaced only by a complete new file),
            or None to get the GIF's bytes back.
        delay_ms: how long each frame shows, 0 to 32767 milliseconds (kept in
            hundredths; a UserWarning says when that changes what is shown).
        fps: frames per second instead of delay_ms (each frame 1000 / fps ms);
            clips are resampled to it, dropping or repeating frames. Without
            it, clips keep their own frame times.
        gray: 256 levels of grey instead of colours.
        optimize: store only the part of each frame that changed.
        swap_rg: exchange the red and green channels.
        palette: "all" (one palette from every picture, the default), "frame"
            (a palette per frame) or "first" (the first picture's palette: the
            classic conversion, byte for byte, size rule included).
        threads: threads for this conversion, 0 to 1024 (0: one per core); the
            bytes do not depend on it.
        loop: times the animation repeats: 0 forever (the default), up to
            65535; None writes no loop block, so viewers play it once.
        fit: (width, height) or "WxH": every picture scaled to fit inside,
            keeping its shape, centred on the background; the screen is that
            size. None: pictures of another size than the first are fitted into
            the first one's size (palette="first": they keep their sizes).
        background: '#rrggbb', (r, g, b) or 0xRRGGBB: the colour transparent
            pixels are blended over (PNG, RGBA arrays, PIL images with
            transparency) and the fill around fitted pictures. None: what
            is less than half opaque stays transparent in the GIF (palettes
            "all" and "frame"; "first" and gray drop alpha); black around
            fitted pictures without alpha.
        auto_orient: JPEG photos turned upright by their EXIF orientation (PIL
            images by theirs, through PIL.ImageOps.exif_transpose).
        start, duration, end: the part of each clip and animated GIF to take,
            in seconds or as "[hh:]mm:ss[.ms]" text; duration or end, not both.
        width, height: every frame scaled to this width or height, the other
            side following the first source's shape; both: to fit inside.
        quality: 1 to 100 (the default, the best picture): lower trades
            picture for a smaller file (palettes "all" and "frame").

    Returns:
        The result text ("OK, Animated GIF: ... created with N frames") when
        output is given, else the GIF as a zoetra.GIF (bytes).

    Raises:
        zoetra.Error: a picture is missing (number 53) or cannot be read
            (481), the output cannot be written, or a limit is reached; .path
            names the file.
        TypeError, ValueError: a wrong argument, before any work: a value out
            of its range (the library's own check, the same as the command's
            and C's), no pictures, a NUL byte in a path.
        KeyboardInterrupt: Ctrl-C; the conversion stops at its next stage and
            an existing output file stays as it was.
    """
    if isinstance(pictures, _np.ndarray) and pictures.ndim == 4:
        pictures = list(pictures)  # views of the array, one per picture: nothing copied
    if isinstance(pictures, (str, bytes, _os.PathLike)) or _is_pil_image(pictures) or \
            isinstance(pictures, _np.ndarray):
        raise TypeError("pictures must be a sequence of pictures (a list or tuple) or an N x H x W x 3 "
                        "(or x 4) array, not one picture")
    options = _options(delay_ms, fps, gray, optimize, swap_rg, palette, threads, loop, fit, background,
                       auto_orient, start, duration, end, width, height, quality)
    items = [_picture(p, i + 1, auto_orient) for i, p in enumerate(pictures)]
    if output is not None:
        output = _path(output, "output")
    return _zoetra.create(items, output, options)


def _seconds(name, value):
    """Seconds from a number or "[hh:]mm:ss[.ms]" text; None stays None."""
    if value is None:
        return None
    if isinstance(value, str):
        return _zoetra.parse_time(value)
    if isinstance(value, bool) or not isinstance(value, _numbers.Real):
        raise TypeError(f"{name} must be seconds (a number or '[hh:]mm:ss' text), not a {type(value).__name__}")
    return float(value)


def _options(delay_ms, fps, gray, optimize, swap_rg, palette, threads, loop, fit, background, auto_orient,
             start=0, duration=None, end=None, width=None, height=None, quality=100):
    """The keywords of create() and Writer, checked (ranges by the library)."""
    if not isinstance(palette, str):
        raise TypeError(f"palette must be one of {', '.join(_zoetra.palette_modes)}, not {palette!r}")
    if fps is not None:
        if delay_ms != 350:
            raise ValueError("give fps or delay_ms, not both")
        if isinstance(fps, bool) or not isinstance(fps, _numbers.Real):
            raise TypeError(f"fps must be a number, not a {type(fps).__name__}")
        fps = float(fps)
    if loop is not None and _whole("loop", loop) < 0:
        # Python's way to play once is None; the library's -1 is not.
        raise ValueError(f"loop must be 0 (forever) to 65535, or None (play once), not {loop!r}")
    fit_width, fit_height = (0, 0) if fit is None else _size(fit)
    return _zoetra.Options(_whole("delay_ms", delay_ms), fps, bool(gray), bool(optimize), bool(swap_rg), palette,
                           _whole("threads", threads), None if loop is None else _whole("loop", loop),
                           _whole("fit width", fit_width), _whole("fit height", fit_height), _colour(background),
                           bool(auto_orient), _seconds("start", start) or 0.0, _seconds("duration", duration),
                           _seconds("end", end), _whole("width", width or 0), _whole("height", height or 0),
                           _whole("quality", quality))


class Writer:
    """Makes an animated GIF from frames handed over one at a time, as a
    program makes them (a simulation, a plot, a game), without holding them::

        with zoetra.Writer("out.gif", fps=25) as gif:
            for step in range(250):
                gif.add(render(step))          # an array, PIL image or path

    The GIF holds the bytes create() makes of the same pictures and keywords.
    With palette="frame" frames are written as they come and memory stays
    flat; "all" holds them (past 64 MiB of pixels in a temporary file) and
    "first" holds them in memory, until finish().

    Args:
        output: the GIF file to write (replaced only by a complete new file,
            made by finish()), or a binary file object, whose write() is given
            the GIF in pieces as they are made (all of them by finish() with
            palette="first").
        The keywords are create()'s, with the same defaults and checks.

    Leaving a with-block normally finishes the GIF; leaving it by an exception
    lets the writer go without output (an old file stays as it was; a file
    object keeps the pieces already written) and the exception goes on. A
    writer dropped unfinished makes no output either.

    Failures raise as create()'s do (zoetra.Error naming the picture and the
    file; ValueError for a wrong argument), and stop the writer: every later
    add() or finish() raises ValueError. Ctrl-C stops add() or finish() at the
    next stage with KeyboardInterrupt and stops the writer too. The GIL is
    released while the library works; one writer takes one call at a time
    (RuntimeError for another thread's call meanwhile).
    """

    def __init__(self, output, *, delay_ms=350, fps=None, gray=False, optimize=False, swap_rg=False,
                 palette="all", threads=0, loop=0, fit=None, background=None, auto_orient=False,
                 quality=100):
        options = _options(delay_ms, fps, gray, optimize, swap_rg, palette, threads, loop, fit, background,
                           auto_orient, quality=quality)
        if isinstance(output, (str, bytes, _os.PathLike)):
            output = _path(output, "output")
        elif isinstance(output, _io.TextIOBase) or not callable(getattr(output, "write", None)):
            raise TypeError(f"output must be a path or a binary file object, not a {type(output).__name__}")
        else:
            output = output.write
        self._auto_orient = bool(auto_orient)
        self._writer = _zoetra.Writer(output, options)

    def add(self, picture, delay_ms=None):
        """Adds the next frame: a path, numpy array or PIL image, as create()
        takes them. An array is copied before add() returns, so its buffer may
        be filled with the next frame at once. `delay_ms` (0 to 32767) shows
        this frame for that long instead of the writer's delay; the palettes
        "all" and "frame" only."""
        item = _picture(picture, self._writer.frames + 1, self._auto_orient)
        self._writer.add(item, None if delay_ms is None else _whole("delay_ms", delay_ms))

    def finish(self):
        """Writes the rest of the GIF and puts the file in place; returns the
        frames added. A writer without frames raises ValueError."""
        return self._writer.finish()

    def close(self):
        """finish() if not finished yet; after a failure, lets the writer go
        without output. Nothing more once finished or closed."""
        self._writer.close()

    @property
    def frames(self):
        """The frames added so far."""
        return self._writer.frames

    def __enter__(self):
        return self

    def __exit__(self, kind, value, traceback):
        if kind is None:
            self.close()
        else:
            self._writer.abandon()
        return False


def _read_whole(path):
    """The bytes of the file at `path`, read whole but never past the library's
    limit for a file read whole: devices and pipes (/dev/zero, standard input)
    have no end to stop at."""
    limit = _zoetra.max_file_bytes()
    data = bytearray()
    with open(path, "rb", buffering=0) as f:
        info = _os.fstat(f.fileno())
        if not (_stat.S_ISREG(info.st_mode) and info.st_size > limit):
            while len(data) <= limit:
                piece = f.read(min(limit + 1 - len(data), 1 << 20))
                if not piece:
                    return data
                data += piece
                # Not a GIF from its first bytes: the reader refuses it without the rest.
                if len(data) >= 6 and data[:6] not in (b"GIF87a", b"GIF89a"):
                    return data
    raise ValueError(f"{_shown(_os.fsdecode(path))}: longer than the limit of {limit} bytes for a file "
                     "read whole (max_file_bytes)")


def _gif_bytes(path_or_bytes):
    """The bytes of a GIF, the name `zoetra info` gives it ("-" for bytes) and
    its path (None for bytes), both as bytes for the extension."""
    if isinstance(path_or_bytes, (bytes, bytearray)):
        return path_or_bytes, b"-", None
    if isinstance(path_or_bytes, memoryview):
        return bytes(path_or_bytes), b"-", None
    if isinstance(path_or_bytes, (str, _os.PathLike)):
        path = _path(path_or_bytes, "path")
        return _read_whole(path), path, path
    raise TypeError(f"a path or bytes, not a {type(path_or_bytes).__name__}")


def info(path_or_bytes):
    """What `zoetra info --json` prints for the GIF, as a dict.

    bytes are the GIF itself; a path is read whole, up to the library's
    limit (zoetra._zoetra.max_file_bytes()). Every frame is described, from
    the file's blocks: no pixel is decoded and no frame limit applies.

    Raises OSError when the file cannot be read, ValueError when it is over
    the limit and zoetra.Error (481) when it is not a GIF.
    """
    data, name, path = _gif_bytes(path_or_bytes)
    return _json.loads(_zoetra.info_json(data, name, path))


def frames(path_or_bytes):
    """The GIF's frames as a viewer shows them (composed on the logical
    screen, as `zoetra frames` writes them): an iterator of H x W x 3 uint8
    arrays, each made when asked for (list() gives them all).

    bytes are the GIF itself; a path is read whole, up to the library's limit.
    Every frame is given, composed from the file's blocks with one screen in
    memory. Raises OSError when the file cannot be read, ValueError when it is
    over the limit and zoetra.Error (481) when it is not a GIF or its screen or
    work (screen x frames) is over the animation limits, at once.
    """
    data, _, path = _gif_bytes(path_or_bytes)
    return _zoetra.FrameReader(data, path)
