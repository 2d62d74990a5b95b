#!/usr/bin/env python3
"""Draws the launcher's pictures: night landscapes lit by lanterns, the progress bar
and the window icon, as 24-bit BMP and ICO files in OUTPUT_FOLDER.

Deterministic (a fixed-seed generator, no time, no input files), standard library
only, and fast: pixels are composed row by row from precomputed spans.
usage: make_artwork.py OUTPUT_FOLDER
"""
import math
import pathlib
import random
import struct
import sys

WIDTH = 640
PANEL_TOP = 360  # the window's drag area ends here; bars and labels sit below

# (sky top, sky horizon, far hills, near hills, lantern light) per skin variant.
PALETTES = [
    ((6, 10, 30), (40, 52, 96), (22, 28, 58), (10, 13, 28), (255, 190, 90)),
    ((14, 6, 30), (86, 44, 92), (38, 22, 56), (16, 9, 26), (255, 170, 80)),
    ((2, 16, 24), (24, 84, 92), (14, 44, 52), (6, 20, 24), (255, 205, 110)),
]

FONT = {  # 5 by 7 capitals for the game's name
    "K": ["10001", "10010", "10100", "11000", "10100", "10010", "10001"],
    "A": ["01110", "10001", "10001", "11111", "10001", "10001", "10001"],
    "L": ["10000", "10000", "10000", "10000", "10000", "10000", "11111"],
    "D": ["11110", "10001", "10001", "10001", "10001", "10001", "11110"],
    "R": ["11110", "10001", "10001", "11110", "10100", "10010", "10001"],
    "E": ["11111", "10000", "10000", "11110", "10000", "10000", "11111"],
    "N": ["10001", "11001", "10101", "10011", "10001", "10001", "10001"],
    "M": ["10001", "11011", "10101", "10101", "10001", "10001", "10001"],
    "O": ["01110", "10001", "10001", "10001", "10001", "10001", "01110"],
    "V": ["10001", "10001", "10001", "10001", "01010", "01010", "00100"],
    " ": ["00000"] * 7,
}


def mix(a, b, t):
    t = max(0.0, min(1.0, t))
    return tuple(int(a[i] + (b[i] - a[i]) * t + 0.5) for i in range(3))


def bgr(rgb):
    return bytes((rgb[2], rgb[1], rgb[0]))


def add_light(pixel, light, amount):
    return tuple(min(255, int(pixel[i] + light[i] * amount)) for i in range(3))


class Picture:
    def __init__(self, width, height, fill=(0, 0, 0)):
        self.width, self.height = width, height
        self.rows = [bytearray(bytes(fill[::-1]) * width) for _ in range(height)]

    def get(self, x, y):
        row, i = self.rows[y], 3 * x
        return row[i + 2], row[i + 1], row[i]

    def put(self, x, y, rgb):
        if 0 <= x < self.width and 0 <= y < self.height:
            self.rows[y][3 * x:3 * x + 3] = bgr(rgb)

    def span(self, y, x0, x1, rgb):
        x0, x1 = max(0, x0), min(self.width, x1)
        if 0 <= y < self.height and x0 < x1:
            self.rows[y][3 * x0:3 * x1] = bgr(rgb) * (x1 - x0)

    def glow(self, cx, cy, radius, light, strength):
        for y in range(max(0, cy - radius), min(self.height, cy + radius + 1)):
            for x in range(max(0, cx - radius), min(self.width, cx + radius + 1)):
                d = math.hypot(x - cx, y - cy) / radius
                if d < 1.0:
                    self.put(x, y, add_light(self.get(x, y), light, strength * (1.0 - d) ** 2))

    def bmp(self):
        stride = (3 * self.width + 3) & ~3
        pad = bytes(stride - 3 * self.width)
        pixels = b"".join(bytes(row) + pad for row in reversed(self.rows))
        header = struct.pack("<IiiHHIIiiII", 40, self.width, self.height, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
        return b"BM" + struct.pack("<IHHI", 14 + len(header) + len(pixels), 0, 0, 54) + header + pixels


def ridge(rng, base, amplitude, waves):
    phases = [(rng.uniform(0.004, 0.03), rng.uniform(0, 6.3), rng.uniform(0.3, 1.0)) for _ in range(waves)]
    total = sum(weight for _, _, weight in phases)
    return [int(base - amplitude * sum(w * math.sin(f * x + p) for f, p, w in phases) / total) for x in range(WIDTH)]


def landscape(variant, lit, height):
    """picture_a (lit False): moonlit hills; picture_b (lit True): the village awake."""
    sky_top, horizon, far, near, lantern = PALETTES[variant - 1]
    rng = random.Random(variant * 7919)
    picture = Picture(WIDTH, height)
    far_ridge = ridge(rng, 250, 60, 4)
    near_ridge = ridge(rng, 305, 35, 3)
    for y in range(min(height, PANEL_TOP)):
        picture.span(y, 0, WIDTH, mix(sky_top, horizon, (y / 300.0) ** 1.6))
    for _ in range(170):  # stars above the hills
        x, y = rng.randrange(WIDTH), rng.randrange(230)
        if y < far_ridge[x] - 4:
            picture.put(x, y, mix(picture.get(x, y), (235, 235, 255), rng.uniform(0.35, 1.0)))
    moon_x, moon_y = 120 + 180 * (variant - 1), 70 + 12 * variant
    picture.glow(moon_x, moon_y, 70, (90, 100, 140), 0.6)
    for y in range(moon_y - 22, moon_y + 23):
        for x in range(moon_x - 22, moon_x + 23):
            d = math.hypot(x - moon_x, y - moon_y)
            if d <= 22:
                shade = 0.85 + 0.15 * (1 - d / 22)
                picture.put(x, y, mix(picture.get(x, y), (int(236 * shade), int(232 * shade), int(214 * shade)),
                                      min(1.0, 22.5 - d)))
    # Hills darken with depth below their ridge; shades are made once, then copied.
    far_shades = [bgr(mix(far, near, depth / 140.0)) for depth in range(PANEL_TOP)]
    near_shades = [bgr(mix(near, (3, 4, 8), depth / 70.0)) for depth in range(PANEL_TOP)]
    for x in range(WIDTH):
        for y in range(far_ridge[x], min(height, PANEL_TOP)):
            shade = far_shades[y - far_ridge[x]] if y < near_ridge[x] else near_shades[y - near_ridge[x]]
            picture.rows[y][3 * x:3 * x + 3] = shade
    # Houses on the near hills; their windows are lit in picture_b.
    for house in range(9):
        x = 40 + house * 68 + rng.randrange(20)
        top = near_ridge[min(WIDTH - 1, x + 8)] - 14 - rng.randrange(8)
        for y in range(top, PANEL_TOP):
            picture.span(y, x, x + 20, (4, 5, 10))
        for step in range(8):  # roof
            picture.span(top - step, x - 2 + step, x + 22 - step, (4, 5, 10))
        window = lantern if lit else (30, 34, 50)
        for y in range(top + 5, top + 10):
            picture.span(y, x + 7, x + 13, window)
        if lit:
            picture.glow(x + 10, top + 7, 22, lantern, 0.35)
    lanterns = 7 if lit else 3
    for index in range(lanterns):  # lanterns on posts along the path
        x = 30 + index * (580 // max(1, lanterns - 1)) + rng.randrange(-10, 10)
        y = near_ridge[max(0, min(WIDTH - 1, x))] + 18 + rng.randrange(10)
        for post in range(y, min(PANEL_TOP, y + 26)):
            picture.span(post, x, x + 2, (2, 2, 4))
        picture.glow(x + 1, y - 3, 26 if lit else 18, lantern, 0.9 if lit else 0.55)
        for ly in range(y - 7, y):
            picture.span(ly, x - 2, x + 4, mix(lantern, (255, 255, 230), 0.4))
    draw_title(picture, "KALDREN MORVALE", 172 if lit else 150, lantern if lit else (200, 210, 240))
    draw_panel(picture, variant, lit, height, lantern)
    return picture


def draw_title(picture, text, y, colour):
    scale = 3
    x = (WIDTH - len(text) * 6 * scale) // 2
    for letter in text:
        for row, bits in enumerate(FONT[letter]):
            for column, bit in enumerate(bits):
                if bit == "1":
                    for dy in range(scale):
                        yy = y + row * scale + dy
                        px = x + column * scale
                        picture.span(yy + 1, px + 1, px + scale + 1, (0, 0, 0))
                        picture.span(yy, px, px + scale, colour)
        x += 6 * scale


def draw_panel(picture, variant, lit, height, lantern):
    """The dark band under the landscape: labels and bar slots."""
    for y in range(PANEL_TOP, height):
        picture.span(y, 0, WIDTH, mix((14, 14, 22), (2, 2, 4), (y - PANEL_TOP) / 106.0))
    picture.span(PANEL_TOP, 0, WIDTH, mix(lantern, (0, 0, 0), 0.35))
    picture.span(PANEL_TOP + 1, 0, WIDTH, mix(lantern, (0, 0, 0), 0.75))
    slots = [(24, 437)] if lit else [(22, 397), (22, 436)]
    for x, y in slots:  # a recessed slot a pixel wider than a full bar
        for yy in range(y - 1, y + 18):
            picture.span(yy, x - 1, x + 593, (24, 22, 30) if yy in (y - 1, y + 17) else (6, 6, 9))


def progress_bar():
    picture = Picture(678, 17)
    for y in range(17):
        light = 1.0 - abs(y - 6) / 10.0
        for x in range(678):
            shimmer = 0.08 * math.sin(x / 9.0)
            picture.put(x, y, mix((120, 60, 10), (255, 214, 120), light + shimmer))
    return picture


def icon_image(size):
    """A lantern on a night disc, as BGRA rows (top-down)."""
    rows = []
    c = (size - 1) / 2.0
    for y in range(size):
        row = []
        for x in range(size):
            d = math.hypot(x - c, y - c) / (size / 2.0)
            if d > 1.0:
                row.append((0, 0, 0, 0))
                continue
            rgb = mix((30, 36, 80), (8, 10, 24), d)
            u, v = (x - c) / size, (y - c) / size
            if abs(u) < 0.17 and -0.22 < v < 0.25:
                rgb = mix((255, 220, 120), (230, 130, 30), abs(u) / 0.17)
            elif abs(u) < 0.24 and (-0.30 < v <= -0.22 or 0.25 <= v < 0.31):
                rgb = (40, 28, 20)
            else:
                glow = max(0.0, 1.0 - math.hypot(u, v) / 0.45)
                rgb = add_light(rgb, (255, 180, 80), 0.5 * glow * glow)
            alpha = 255 if d < 0.96 else int(255 * (1.0 - d) / 0.04)
            row.append((rgb[2], rgb[1], rgb[0], alpha))
        rows.append(row)
    return rows


def icon_file(sizes):
    images = []
    for size in sizes:
        rows = icon_image(size)
        pixels = b"".join(bytes(v for p in row for v in p) for row in reversed(rows))
        mask_stride = ((size + 31) // 32) * 4
        mask = bytes(mask_stride * size)  # alpha decides; the mask shows everything
        header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 32, 0, len(pixels) + len(mask), 0, 0, 0, 0)
        images.append((size, header + pixels + mask))
    offset = 6 + 16 * len(images)
    directory = struct.pack("<HHH", 0, 1, len(images))
    for size, data in images:
        directory += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return directory + b"".join(data for _, data in images)


def main(folder):
    folder.mkdir(parents=True, exist_ok=True)
    for variant in (1, 2, 3):
        height = 465 if variant == 3 else 466
        (folder / f"picture_a_{variant}.bmp").write_bytes(landscape(variant, False, height).bmp())
        (folder / f"picture_b_{variant}.bmp").write_bytes(landscape(variant, True, height).bmp())
    (folder / "progress_bar.bmp").write_bytes(progress_bar().bmp())
    (folder / "lanternix.ico").write_bytes(icon_file([16, 32, 48]))
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__.strip().splitlines()[-1])
    sys.exit(main(pathlib.Path(sys.argv[1])))
