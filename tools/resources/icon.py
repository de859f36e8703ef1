"""The program's desktop icon: a blue globe with a grid and a red map pin, 64 x 64 RGBA.

    python3 tools/resources/icon.py   # writes desktop/tivra.png
"""

import math
import os

from pngwrite import RGBA, Canvas, encode_png, rgb

SIZE = 64


def icon_png():
    c = Canvas(SIZE, SIZE)
    cx, cy, r = 30.0, 34.0, 26.0
    c.fill(lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r, rgb(40, 110, 200))

    def grid(x, y):
        if (x - cx) ** 2 + (y - cy) ** 2 > (r - 1) ** 2:
            return False
        lat = (y - cy) / r
        if any(abs(lat - k) < 0.04 for k in (-0.5, 0.0, 0.5)):
            return True
        half = math.sqrt(max(0.0, 1.0 - lat * lat))
        lon = (x - cx) / (r * half) if half > 0 else 0.0
        return any(abs(lon - k) < 0.05 / max(half, 0.2) for k in (-0.6, 0.0, 0.6))

    c.fill(grid, rgb(200, 230, 255, 200))
    px, py, pr = 44.0, 18.0, 10.0

    def pin(x, y):
        if (x - px) ** 2 + (y - py) ** 2 <= pr * pr:
            return True
        # The point below the head.
        t = (y - py) / (2.2 * pr)
        return 0.0 <= t <= 1.0 and abs(x - px) <= pr * (1.0 - t) * 0.8

    c.fill(pin, rgb(220, 40, 40))
    c.fill(lambda x, y: (x - px) ** 2 + (y - py) ** 2 <= 16.0, rgb(255, 255, 255))
    return encode_png(SIZE, SIZE, RGBA, c.to_bytes(True))


if __name__ == "__main__":
    out = os.path.join(os.path.dirname(__file__), "..", "..", "desktop", "tivra.png")
    with open(out, "wb") as f:
        f.write(icon_png())
