"""A small baseline JPEG encoder (8-bit YCbCr, no chroma subsampling, standard Huffman tables).

Python's standard library has no JPEG writer; the model texture is small enough for a plain
floating-point DCT.
"""

import math
import struct

_ZIGZAG = [
    0, 1, 8, 16, 9, 2, 3, 10, 17, 24, 32, 25, 18, 11, 4, 5,
    12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6, 7, 14, 21, 28,
    35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
    58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63,
]

# Example quantisation tables of the JPEG standard (Annex K.1), in natural order.
_LUMA_Q = [
    16, 11, 10, 16, 24, 40, 51, 61, 12, 12, 14, 19, 26, 58, 60, 55,
    14, 13, 16, 24, 40, 57, 69, 56, 14, 17, 22, 29, 51, 87, 80, 62,
    18, 22, 37, 56, 68, 109, 103, 77, 24, 35, 55, 64, 81, 104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99,
]
_CHROMA_Q = [
    17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99,
    24, 26, 56, 99, 99, 99, 99, 99, 47, 66, 99, 99, 99, 99, 99, 99,
] + [99] * 32

# Typical Huffman tables (Annex K.3): code-length counts for lengths 1..16 and the values.
_DC_LUMA = ([0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0], list(range(12)))
_DC_CHROMA = ([0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0], list(range(12)))
_AC_LUMA = ([0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7D], bytes.fromhex(
    "01020300041105122131410613516107227114328191a1082342b1c11552d1f02433627282090a161718191a"
    "25262728292a3435363738393a434445464748494a535455565758595a636465666768696a737475767778"
    "797a838485868788898a92939495969798999aa2a3a4a5a6a7a8a9aab2b3b4b5b6b7b8b9bac2c3c4c5c6c7"
    "c8c9cad2d3d4d5d6d7d8d9dae1e2e3e4e5e6e7e8e9eaf1f2f3f4f5f6f7f8f9fa"))
_AC_CHROMA = ([0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77], bytes.fromhex(
    "000102031104052131061241510761711322328108144291a1b1c109233352f0156272d10a162434e125"
    "f11718191a262728292a35363738393a434445464748494a535455565758595a636465666768696a737475"
    "767778797a82838485868788898a92939495969798999aa2a3a4a5a6a7a8a9aab2b3b4b5b6b7b8b9bac2c3"
    "c4c5c6c7c8c9cad2d3d4d5d6d7d8d9dae2e3e4e5e6e7e8e9eaf2f3f4f5f6f7f8f9fa"))


for _counts, _values in (_DC_LUMA, _DC_CHROMA, _AC_LUMA, _AC_CHROMA):
    assert sum(_counts) == len(_values), "Huffman table does not match its code counts"


def _scaled_table(base, quality):
    scale = 5000 // quality if quality < 50 else 200 - quality * 2
    return [max(1, min(255, (q * scale + 50) // 100)) for q in base]


def _huffman_codes(table):
    counts, values = table
    codes = {}
    code = 0
    k = 0
    for length in range(1, 17):
        for _ in range(counts[length - 1]):
            codes[values[k]] = (code, length)
            code += 1
            k += 1
        code <<= 1
    return codes


class _BitWriter:
    def __init__(self):
        self.out = bytearray()
        self.acc = 0
        self.n = 0

    def put(self, code, length):
        self.acc = (self.acc << length) | code
        self.n += length
        while self.n >= 8:
            self.n -= 8
            byte = (self.acc >> self.n) & 0xFF
            self.out.append(byte)
            if byte == 0xFF:
                self.out.append(0)  # byte stuffing
        self.acc &= (1 << self.n) - 1

    def flush(self):
        if self.n:
            self.put((1 << (8 - self.n)) - 1, 8 - self.n)  # pad with one bits


def _magnitude(v):
    """Size category and the extra bits of a coefficient."""
    size = abs(v).bit_length()
    return size, (v if v >= 0 else v + (1 << size) - 1)


_COS = [[math.cos((2 * x + 1) * u * math.pi / 16) * (math.sqrt(0.5) if u == 0 else 1.0)
         for x in range(8)] for u in range(8)]


def _fdct(block):
    tmp = [[0.5 * sum(_COS[u][x] * block[y * 8 + x] for x in range(8)) for u in range(8)]
           for y in range(8)]
    return [0.5 * sum(_COS[v][y] * tmp[y][u] for y in range(8)) for v in range(8) for u in range(8)]


def encode_jpeg(width, height, rgb_bytes, quality=90):
    """rgb_bytes: width * height * 3 bytes, rows top to bottom. Returns a baseline JFIF file."""
    qtabs = [_scaled_table(_LUMA_Q, quality), _scaled_table(_CHROMA_Q, quality)]
    dc_codes = [_huffman_codes(_DC_LUMA), _huffman_codes(_DC_CHROMA)]
    ac_codes = [_huffman_codes(_AC_LUMA), _huffman_codes(_AC_CHROMA)]

    planes = [[0.0] * (width * height) for _ in range(3)]
    for i in range(width * height):
        r, g, b = rgb_bytes[3 * i:3 * i + 3]
        planes[0][i] = 0.299 * r + 0.587 * g + 0.114 * b - 128
        planes[1][i] = -0.168736 * r - 0.331264 * g + 0.5 * b
        planes[2][i] = 0.5 * r - 0.418688 * g - 0.081312 * b

    bits = _BitWriter()
    pred = [0, 0, 0]
    for by in range(0, height, 8):
        for bx in range(0, width, 8):
            for c in range(3):
                t = 0 if c == 0 else 1
                block = [planes[c][min(by + y, height - 1) * width + min(bx + x, width - 1)]
                         for y in range(8) for x in range(8)]
                coef = _fdct(block)
                q = [int(round(coef[_ZIGZAG[k]] / qtabs[t][_ZIGZAG[k]])) for k in range(64)]
                diff = q[0] - pred[c]
                pred[c] = q[0]
                size, extra = _magnitude(diff)
                bits.put(*dc_codes[t][size])
                if size:
                    bits.put(extra, size)
                run = 0
                for k in range(1, 64):
                    if q[k] == 0:
                        run += 1
                        continue
                    while run > 15:
                        bits.put(*ac_codes[t][0xF0])
                        run -= 16
                    size, extra = _magnitude(q[k])
                    bits.put(*ac_codes[t][(run << 4) | size])
                    bits.put(extra, size)
                    run = 0
                if run:
                    bits.put(*ac_codes[t][0x00])
    bits.flush()

    def segment(marker, payload):
        return struct.pack(">BBH", 0xFF, marker, len(payload) + 2) + payload

    out = bytearray(b"\xff\xd8")
    out += segment(0xE0, b"JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00")
    for t in range(2):
        out += segment(0xDB, bytes([t]) + bytes(qtabs[t][_ZIGZAG[k]] for k in range(64)))
    out += segment(0xC0, struct.pack(">BHHB", 8, height, width, 3) +
                   bytes([1, 0x11, 0, 2, 0x11, 1, 3, 0x11, 1]))
    for cls, ident, table in ((0, 0, _DC_LUMA), (1, 0, _AC_LUMA), (0, 1, _DC_CHROMA),
                             (1, 1, _AC_CHROMA)):
        out += segment(0xC4, bytes([(cls << 4) | ident]) + bytes(table[0]) + bytes(table[1]))
    out += segment(0xDA, bytes([3, 1, 0x00, 2, 0x11, 3, 0x11, 0, 63, 0]))
    out += bits.out
    out += b"\xff\xd9"
    return bytes(out)
