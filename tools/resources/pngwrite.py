"""Minimal PNG writer and a small RGBA canvas with anti-aliased shape filling.

Only the standard library is used so the resources can be rebuilt anywhere Python 3 runs.
"""

import struct
import zlib

# Colour types of the IHDR chunk.
RGB = 2
RGBA = 6


def _chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def _paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def _filter_row(kind, row, prev, bpp):
    out = bytearray(len(row))
    for i, x in enumerate(row):
        a = row[i - bpp] if i >= bpp else 0
        b = prev[i]
        c = prev[i - bpp] if i >= bpp else 0
        if kind == 0:
            pred = 0
        elif kind == 1:
            pred = a
        elif kind == 2:
            pred = b
        elif kind == 3:
            pred = (a + b) // 2
        else:
            pred = _paeth(a, b, c)
        out[i] = (x - pred) & 0xFF
    return out


def encode_png(width, height, colour_type, pixels):
    """pixels: bytes of height rows, each width * (3 or 4) bytes, no filter byte."""
    bpp = 3 if colour_type == RGB else 4
    stride = width * bpp
    if len(pixels) != stride * height:
        raise ValueError("pixel buffer size does not match the image size")
    raw = bytearray()
    prev = bytes(stride)
    for y in range(height):
        row = pixels[y * stride:(y + 1) * stride]
        # The usual heuristic: keep the filter whose output has the smallest sum of magnitudes.
        best = None
        for kind in range(5):
            cand = _filter_row(kind, row, prev, bpp)
            score = sum(v if v < 128 else 256 - v for v in cand)
            if best is None or score < best[0]:
                best = (score, kind, cand)
        raw.append(best[1])
        raw += best[2]
        prev = row
    ihdr = struct.pack(">IIBBBBB", width, height, 8, colour_type, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + _chunk(b"IHDR", ihdr) +
            _chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + _chunk(b"IEND", b""))


class Canvas:
    """Straight-alpha RGBA floating-point canvas (components 0..1)."""

    def __init__(self, width, height, colour=(0.0, 0.0, 0.0, 0.0)):
        self.width = width
        self.height = height
        self.px = [list(colour) for _ in range(width * height)]

    def blend(self, x, y, colour, coverage):
        """Source-over compositing of colour (r, g, b, a) with the given pixel coverage."""
        if coverage <= 0.0 or not (0 <= x < self.width and 0 <= y < self.height):
            return
        sr, sg, sb, sa = colour
        sa *= min(coverage, 1.0)
        d = self.px[y * self.width + x]
        da = d[3]
        oa = sa + da * (1.0 - sa)
        if oa <= 0.0:
            d[:] = [0.0, 0.0, 0.0, 0.0]
            return
        for i, s in enumerate((sr, sg, sb)):
            d[i] = (s * sa + d[i] * da * (1.0 - sa)) / oa
        d[3] = oa

    def fill(self, inside, colour, box=None, samples=4):
        """Fill the shape given by the predicate inside(x, y) in pixel coordinates, with
        coverage estimated from samples x samples points per pixel."""
        x0, y0, x1, y1 = box if box else (0, 0, self.width, self.height)
        x0, y0 = max(0, int(x0)), max(0, int(y0))
        x1, y1 = min(self.width, int(x1) + 1), min(self.height, int(y1) + 1)
        step = 1.0 / samples
        offs = [(i + 0.5) * step for i in range(samples)]
        for y in range(y0, y1):
            for x in range(x0, x1):
                hits = 0
                for oy in offs:
                    for ox in offs:
                        if inside(x + ox, y + oy):
                            hits += 1
                if hits:
                    self.blend(x, y, colour, hits / (samples * samples))

    def to_bytes(self, with_alpha):
        out = bytearray()
        for r, g, b, a in self.px:
            out += bytes(_to8(v) for v in (r, g, b))
            if with_alpha:
                out.append(_to8(a))
        return bytes(out)


def _to8(v):
    return max(0, min(255, int(round(v * 255.0))))


def rgb(r, g, b, a=255):
    """A colour from 8-bit components."""
    return (r / 255.0, g / 255.0, b / 255.0, a / 255.0)
