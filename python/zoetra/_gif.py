"""The GIF create() returns: bytes that a notebook shows as the animation."""

import base64


def _frame_count(data):
    """The image descriptors of a GIF, found by skipping its blocks without
    decoding them; None when the bytes end early or hold something else."""
    if len(data) < 13 or data[:3] != b"GIF":
        return None
    at = 13 + (3 << ((data[10] & 7) + 1) if data[10] & 0x80 else 0)  # header, screen, global table
    count = 0
    while at < len(data):
        kind = data[at]
        if kind == 0x3B:  # trailer
            return count
        if kind == 0x2C and at + 10 < len(data):  # image: descriptor, local table, LZW code size
            at += 11 + (3 << ((data[at + 9] & 7) + 1) if data[at + 9] & 0x80 else 0)
            count += 1
        elif kind == 0x21:  # extension: introducer, label
            at += 2
        else:
            return None
        while at < len(data) and data[at]:  # data sub-blocks, up to their terminator
            at += data[at] + 1
        at += 1
    return None


class GIF(bytes):
    """An animated GIF's bytes, as create() returns them: bytes in every way
    (comparing, slicing, writing to a file, pickling), shown as the animation in
    a notebook, and summed up by repr() instead of printed whole."""

    __slots__ = ()

    def __repr__(self):
        facts = [f"{len(self):,} bytes"]
        frames = _frame_count(self)
        if frames is not None:
            facts.append(f"{frames} frame{'' if frames == 1 else 's'}")
        if len(self) >= 10:
            facts.append(f"{int.from_bytes(self[6:8], 'little')} x {int.from_bytes(self[8:10], 'little')}")
        return f"<zoetra.GIF: {', '.join(facts)}>"

    def _repr_html_(self):
        return f'<img src="data:image/gif;base64,{base64.b64encode(self).decode("ascii")}">'
