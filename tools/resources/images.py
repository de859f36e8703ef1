"""The built-in pictures: placeholder tile, logo, cross-hair, the two preview samples and the
solar-panel texture of the satellite model."""

import math

from pngwrite import Canvas, RGB, RGBA, encode_png, rgb

# 5 x 7 pixel glyphs ('#' set), just the letters the pictures need.
_GLYPHS = {
    "T": ["#####", "..#..", "..#..", "..#..", "..#..", "..#..", "..#.."],
    "i": [".#.", "...", "##.", ".#.", ".#.", ".#.", "###"],
    "v": [".....", ".....", "#...#", "#...#", "#...#", ".#.#.", "..#.."],
    "r": [".....", ".....", "#.##.", "##..#", "#....", "#....", "#...."],
    "a": [".....", ".....", ".###.", "....#", ".####", "#...#", ".####"],
    "N": ["#...#", "##..#", "#.#.#", "#..##", "#...#", "#...#", "#...#"],
    "O": [".###.", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."],
    "I": ["###", ".#.", ".#.", ".#.", ".#.", ".#.", "###"],
    "L": ["#....", "#....", "#....", "#....", "#....", "#....", "#####"],
    "E": ["#####", "#....", "#....", "####.", "#....", "#....", "#####"],
    " ": ["...", "...", "...", "...", "...", "...", "..."],
}


def text_mask(text, scale, gap=1):
    """Set pixels of the text as a set of (x, y), and the text's width and height."""
    pixels = set()
    x = 0
    for ch in text:
        glyph = _GLYPHS[ch]
        for gy, row in enumerate(glyph):
            for gx, c in enumerate(row):
                if c == "#":
                    for dy in range(scale):
                        for dx in range(scale):
                            pixels.add((x + gx * scale + dx, gy * scale + dy))
        x += (len(glyph[0]) + gap) * scale
    return pixels, x - gap * scale, 7 * scale


class Rng:
    """xorshift32: the same numbers on every Python version."""

    def __init__(self, seed):
        self.state = seed & 0xFFFFFFFF or 1

    def next(self):
        x = self.state
        x ^= (x << 13) & 0xFFFFFFFF
        x ^= x >> 17
        x ^= (x << 5) & 0xFFFFFFFF
        self.state = x
        return x

    def uniform(self, lo=0.0, hi=1.0):
        return lo + (hi - lo) * (self.next() / 4294967296.0)

    def gauss(self):
        return sum(self.uniform() for _ in range(6)) - 3.0


def _hash2(ix, iy, seed):
    h = (ix * 374761393 + iy * 668265263 + seed * 982451653) & 0xFFFFFFFF
    h = ((h ^ (h >> 13)) * 1274126177) & 0xFFFFFFFF
    return ((h ^ (h >> 16)) & 0xFFFF) / 65535.0


def value_noise(x, y, seed, octaves=4, base=32.0):
    """Smooth fractal noise in 0..1."""
    total, amp, norm, size = 0.0, 1.0, 0.0, base
    for o in range(octaves):
        fx, fy = x / size, y / size
        ix, iy = math.floor(fx), math.floor(fy)
        tx, ty = fx - ix, fy - iy
        tx, ty = tx * tx * (3 - 2 * tx), ty * ty * (3 - 2 * ty)
        s = seed + o * 101
        a = _hash2(ix, iy, s) + (_hash2(ix + 1, iy, s) - _hash2(ix, iy, s)) * tx
        b = _hash2(ix, iy + 1, s) + (_hash2(ix + 1, iy + 1, s) - _hash2(ix, iy + 1, s)) * tx
        total += amp * (a + (b - a) * ty)
        norm += amp
        amp *= 0.5
        size /= 2.0
    return total / norm


def _segment_distance(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)
    t = max(0.0, min(1.0, t))
    return math.hypot(px - ax - t * dx, py - ay - t * dy)


def logo_png():
    """75 x 18 wordmark: a small globe and "Tivra" in white with a dark halo, so that it reads
    over any imagery."""
    c = Canvas(75, 18)
    # Globe: blue disc, white rim, one meridian and the equator.
    cx, cy, r = 8.5, 9.0, 7.6
    c.fill(lambda x, y: math.hypot(x - cx, y - cy) <= r, rgb(20, 40, 70, 200), (0, 0, 18, 18))
    c.fill(lambda x, y: math.hypot(x - cx, y - cy) <= r - 1.2, rgb(40, 120, 215), (0, 0, 18, 18))
    c.fill(lambda x, y: abs(math.hypot((x - cx) / 3.4, (y - cy) / (r - 1.2)) - 1.0) <= 0.12,
           rgb(255, 255, 255, 220), (0, 0, 18, 18))
    c.fill(lambda x, y: abs(y - cy) <= 0.45 and math.hypot(x - cx, y - cy) <= r - 1.2,
           rgb(255, 255, 255, 220), (0, 0, 18, 18))
    c.fill(lambda x, y: abs(x - cx) <= 0.45 and math.hypot(x - cx, y - cy) <= r - 1.2,
           rgb(255, 255, 255, 220), (0, 0, 18, 18))
    # Wordmark at twice the glyph size, a one-pixel halo around it.
    mask, w, h = text_mask("Tivra", 2)
    ox, oy = 19, 2
    halo = {(x + dx, y + dy) for x, y in mask for dx in (-1, 0, 1) for dy in (-1, 0, 1)}
    for x, y in sorted(halo - mask):
        c.blend(ox + x, oy + y, rgb(15, 30, 55), 0.78)
    for x, y in sorted(mask):
        c.blend(ox + x, oy + y, rgb(255, 255, 255), 1.0)
    # An orange accent under the wordmark.
    for x in range(ox, ox + w):
        c.blend(x, oy + h + 1, rgb(245, 140, 30), 0.9)
    return encode_png(75, 18, RGBA, c.to_bytes(True))


def cross_png():
    """32 x 32 cross-hair: red ring and ticks with a thin dark edge, transparent elsewhere."""
    c = Canvas(32, 32)
    cx = cy = 16.0

    def ring(x, y, width):
        return abs(math.hypot(x - cx, y - cy) - 9.0) <= width

    def ticks(x, y, width):
        d = max(abs(x - cx), abs(y - cy))
        on_axis = abs(x - cx) <= width or abs(y - cy) <= width
        return on_axis and 4.0 - width <= d <= 15.0 + width - 0.5

    c.fill(lambda x, y: ring(x, y, 1.9) or ticks(x, y, 1.6), rgb(0, 0, 0, 150))
    c.fill(lambda x, y: ring(x, y, 0.9) or ticks(x, y, 0.7), rgb(255, 40, 30))
    c.fill(lambda x, y: math.hypot(x - cx, y - cy) <= 1.3, rgb(255, 40, 30))
    return encode_png(32, 32, RGBA, c.to_bytes(True))


def default_png():
    """200 x 200 placeholder. Its background and grid use two of the map background colours, so
    the transparent mode of the tile endpoint clears them and leaves only the mark."""
    back, grid, mark = (233, 233, 233), (217, 217, 217), (150, 150, 150)
    c = Canvas(200, 200, rgb(*back))
    for y in range(200):
        for x in range(200):
            if x % 25 == 0 or y % 25 == 0:
                c.px[y * 200 + x] = list(rgb(*grid))
    cx, cy = 100.0, 88.0
    c.fill(lambda x, y: abs(math.hypot(x - cx, y - cy) - 24.0) <= 3.0, rgb(*mark),
           (70, 58, 131, 119))
    c.fill(lambda x, y: math.hypot(x - cx, y - cy) <= 24.0 and
           abs((x - cx) - (y - cy)) / math.sqrt(2.0) <= 3.0, rgb(*mark), (70, 58, 131, 119))
    mask, w, h = text_mask("NO TILE", 2)
    ox, oy = (200 - w) // 2, 124
    for x, y in mask:
        c.px[(oy + y) * 200 + ox + x] = list(rgb(*mark))
    return encode_png(200, 200, RGB, c.to_bytes(False))


# The synthetic town shared by the two preview samples, in pixel coordinates of the 200 x 200
# tile: (x0, y0, x1, y1, half width) of the streets, main road first.
_MAIN_ROAD = (-10, 128, 210, 118, 5.5)
_STREETS = [(62, -10, 66, 210, 3.5), (150, -10, 146, 210, 3.5), (-10, 40, 210, 44, 3.0),
            (106, -10, 104, 122, 2.5), (0, 200, 62, 138, 2.5)]
_RIVER = [(-10, 168), (40, 176), (90, 170), (140, 182), (210, 176)]


def _river_distance(x, y):
    return min(_segment_distance(x, y, *_RIVER[i], *_RIVER[i + 1]) for i in range(len(_RIVER) - 1))


def _road_distance(x, y, roads):
    return min(_segment_distance(x, y, r[0], r[1], r[2], r[3]) - r[4] for r in roads)


def sample_tile_png():
    """200 x 200 street-map tile drawn in the map background colours (blocks, yards) with
    streets, a river and a park, crisp-edged like the tiles of an online map."""
    blocks = [(241, 238, 232), (235, 231, 221), (239, 240, 241), (248, 251, 244),
              (244, 244, 251), (250, 245, 250), (230, 226, 217), (230, 227, 218),
              (235, 232, 227)]
    park, water = (166, 203, 148), (152, 178, 203)
    building = (222, 214, 204)
    px = bytearray()
    for y in range(200):
        for x in range(200):
            colour = (241, 238, 232)
            # Blocks between the streets get one background colour each.
            bi = (0 if x < 64 else 1 if x < 105 else 2 if x < 148 else 3) + \
                 (0 if y < 42 else 4 if y < 123 else 7)
            colour = blocks[bi % len(blocks)]
            if (x // 9 + y // 7) % 5 == 0 and 70 < x < 100 and 50 < y < 110:
                colour = building
            if 155 < x < 195 and 50 < y < 110 and (x - 175) ** 2 / 400 + (y - 80) ** 2 / 900 < 1:
                colour = park
            if _river_distance(x, y) <= 6.0:
                colour = water
            d_main = _segment_distance(x, y, *_MAIN_ROAD[:4]) - _MAIN_ROAD[4]
            d_street = _road_distance(x, y, _STREETS)
            if d_street <= 1.0:
                colour = (205, 196, 182)
            if d_street <= 0.0:
                colour = (255, 255, 255)
            if d_main <= 1.0:
                colour = (224, 170, 80)
            if d_main <= 0.0:
                colour = (255, 222, 120)
            px += bytes(colour)
    return encode_png(200, 200, RGB, bytes(px))


def sample_picture_png():
    """200 x 201 synthetic aerial photo of the same town: roofs, trees, fields, asphalt and
    river, with the grain of a real photograph."""
    rng = Rng(135)
    px = bytearray()
    for y in range(201):
        for x in range(200):
            n = value_noise(x, y, 11, octaves=5, base=48.0)
            fine = value_noise(x, y, 23, octaves=2, base=4.0)
            # Base ground: fields in the south-west, built-up area elsewhere.
            if y > 140 and x < 120:
                strip = int((x + 0.3 * y) // 14) % 3
                base = [(122, 138, 84), (146, 140, 96), (98, 122, 70)][strip]
            else:
                # Courtyard houses: one roof per lot, inset by a random margin, some lots empty
                # (yards), pitched roofs lit from the south-east.
                lx, ly = x // 12, y // 10
                roof = _hash2(lx, ly, 5)
                inset = 1 + int(3 * _hash2(lx, ly, 6))
                u, v = x - lx * 12, y - ly * 10
                base = (118, 112, 98) if _hash2(lx, ly, 7) < 0.2 else (96, 94, 88)
                if inset <= u < 12 - inset // 2 and inset <= v < 10 - inset // 2 and \
                        _hash2(lx, ly, 7) >= 0.2:
                    lit = 1.0 if v >= 5 else 0.78
                    base = (int((126 + 70 * roof) * lit), int((116 + 52 * roof) * lit),
                            int((106 + 44 * roof) * lit))
            trees = value_noise(x, y, 47, octaves=3, base=16.0)
            if trees > 0.62:
                k = min(1.0, (trees - 0.62) * 6.0)
                base = tuple(int(b * (1 - k) + t * k) for b, t in zip(base, (52, 78, 40)))
            if _river_distance(x, y) <= 6.5:
                base = (46, 70, 74)
            d_road = min(_segment_distance(x, y, *_MAIN_ROAD[:4]) - _MAIN_ROAD[4],
                         _road_distance(x, y, _STREETS))
            if d_road <= 0.5:
                base = (104, 104, 100) if d_road > -0.6 else (128, 127, 122)
            shade = 0.82 + 0.3 * n + 0.12 * (fine - 0.5)
            grain = rng.gauss() * 4.0
            px += bytes(max(0, min(255, int(b * shade + grain))) for b in base)
    return encode_png(200, 201, RGB, bytes(px))


def solar_texture_rgb(width=128, height=128):
    """Texture of the satellite's solar panels: dark blue cells behind slats, as RGB bytes."""
    px = bytearray()
    for y in range(height):
        for x in range(width):
            cx, cy = x % 32, y % 16
            if cx < 2 or cy < 2:  # silver frame between the cells
                colour = (178, 182, 190)
            else:
                glow = 0.5 + 0.5 * math.sin((x + 2 * y) * 0.05)
                slat = 10 if (cy % 4) == 0 else 0  # the fine horizontal conductors
                colour = (24 + slat + int(18 * glow), 40 + slat + int(26 * glow),
                          96 + slat + int(50 * glow))
            px += bytes(colour)
    return width, height, bytes(px)
