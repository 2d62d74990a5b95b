#!/usr/bin/env python3
"""Takes screenshots of the launcher window in each phase and of the failure dialog
(window_screenshots.exe on an X server of its own) and checks them against the artwork
the build drew: 640x466 at 96 DPI, each progress bar exactly as long as its share of
592 pixels and made of the bar picture's pixels, the picture itself around it. At each
other DPI of --dpi (Wine's LogPixels) the window is the design size scaled and the
failure dialog lies inside it.
--keep FOLDER also writes PNG copies there (ImageMagick), e.g. for the README; those of
another DPI than 96 are named launcher-<phase>-<dpi>dpi.png.
Exits 77 when there is no X server to run on."""

import os
import struct
import subprocess
import sys

from display_dpi import logpixels, screenshot_main, suffix

WIDTH, HEIGHT = 640, 466
BAR_HEIGHT = 17
MIB_KIB = 1024


class Bmp:
    def __init__(self, path):
        with open(path, "rb") as f:
            data = f.read()
        offset, = struct.unpack_from("<I", data, 10)
        self.width, height, _, bits = struct.unpack_from("<iiHH", data, 18)
        if bits != 24:
            raise ValueError("%s: %d bits per pixel, not 24" % (path, bits))
        self.height = abs(height)
        self.bottom_up = height > 0
        self.stride = (self.width * 3 + 3) & ~3
        self.data, self.offset = data, offset

    def pixel(self, x, y):
        row = self.height - 1 - y if self.bottom_up else y
        at = self.offset + row * self.stride + x * 3
        return self.data[at:at + 3]

    def row(self, y, x0, x1):
        return [self.pixel(x, y) for x in range(x0, x1)]


def bar_length(done_kib, total_kib):
    # The window's rule: whole KiB, the quotient as a 32-bit float, truncated.
    fraction = struct.unpack("f", struct.pack("f", done_kib / total_kib))[0]
    return int(min(max(fraction, 0.0), 1.0) * struct.unpack("f", struct.pack("f", 592.0))[0])


# Name, picture family, bars as (x, y, done KiB, total KiB); the statuses
# window_screenshots.exe shows.
SHOTS = [
    ("connecting", "a", []),
    ("checking", "b", [(24, 437, 120 * MIB_KIB, 300 * MIB_KIB)]),
    ("downloading", "a", [(22, 397, 3 * MIB_KIB, 8 * MIB_KIB), (22, 436, 42 * MIB_KIB, 100 * MIB_KIB)]),
    ("installing", "b", [(24, 437, 80 * MIB_KIB, 100 * MIB_KIB)]),
    ("finished", "b", [(24, 437, 100 * MIB_KIB, 100 * MIB_KIB)]),
]


def check(folder, artwork):
    problems = []
    bar = Bmp(os.path.join(artwork, "progress_bar.bmp"))
    pictures = {family: [Bmp(os.path.join(artwork, "picture_%s_%d.bmp" % (family, n))) for n in (1, 2, 3)]
                for family in "ab"}
    for name in [shot[0] for shot in SHOTS] + ["failure"]:
        shot = Bmp(os.path.join(folder, name + ".bmp"))
        if (shot.width, shot.height) != (WIDTH, HEIGHT):
            problems.append("%s: %dx%d, not %dx%d" % (name, shot.width, shot.height, WIDTH, HEIGHT))
    for name, family, bars in SHOTS:
        shot = Bmp(os.path.join(folder, name + ".bmp"))
        # The skin variant is drawn at random: the one whose sky matches.
        matching = [p for p in pictures[family] if shot.row(20, 0, WIDTH) == p.row(20, 0, WIDTH)]
        if len(matching) != 1:
            problems.append("%s: the picture is none of picture_%s's variants" % (name, family))
            continue
        picture = matching[0]
        for x0, y0, done, total in bars:
            length = bar_length(done, total)
            for y in range(BAR_HEIGHT):
                if shot.row(y0 + y, x0, x0 + length) != bar.row(y, 0, length):
                    problems.append("%s: bar at (%d, %d) row %d is not the bar picture's" % (name, x0, y0, y))
                    break
            after = x0 + length + 1
            if after < WIDTH and shot.pixel(after, y0 + 8) != picture.pixel(after, y0 + 8):
                problems.append("%s: the bar at (%d, %d) is longer than %d px" % (name, x0, y0, length))
        if not bars and shot.row(436 + 8, 22, 22 + 592) != picture.row(436 + 8, 22, 22 + 592):
            problems.append("%s: a bar is drawn with no progress" % name)
    failure = Bmp(os.path.join(folder, "failure.bmp"))
    if any(failure.row(HEIGHT // 2, 0, WIDTH) == p.row(HEIGHT // 2, 0, WIDTH) for p in pictures["a"]):
        problems.append("failure: no dialog over the window")
    return problems


def check_scaled(folder, dpi):
    """At another DPI than 96: the window at the scaled design size, the dialog in it."""
    problems = []
    width, height = (WIDTH * dpi + 48) // 96, (HEIGHT * dpi + 48) // 96  # MulDiv rounds
    for name in [shot[0] for shot in SHOTS] + ["failure"]:
        shot = Bmp(os.path.join(folder, name + ".bmp"))
        if (shot.width, shot.height) != (width, height):
            problems.append("%s at %d DPI: %dx%d, not %dx%d" % (name, dpi, shot.width, shot.height, width, height))
    finished, failure = (Bmp(os.path.join(folder, name + ".bmp")) for name in ("finished", "failure"))
    if failure.row(failure.height // 2, 0, failure.width) == finished.row(finished.height // 2, 0, finished.width):
        problems.append("failure at %d DPI: no dialog over the window" % dpi)
    return problems


def capture(args, folder, dpi):
    with logpixels(args.run_with_display, args.wine_run, args.program, dpi):
        run = subprocess.run(["sh", args.run_with_display, args.wine_run, args.program,
                              "Z:" + os.path.abspath(folder)], timeout=240)
    if run.returncode == 77:
        sys.exit(77)
    if run.returncode != 0:
        sys.exit("window_screenshots exited with %d at %d DPI" % (run.returncode, dpi))
    problems = check(folder, args.artwork) if dpi == 96 else check_scaled(folder, dpi)
    if args.keep:
        os.makedirs(args.keep, exist_ok=True)
        for name in [shot[0] for shot in SHOTS] + ["failure"]:
            subprocess.run(["convert", os.path.join(folder, name + ".bmp"),
                            os.path.join(args.keep, "launcher-%s%s.png" % (name, suffix(dpi)))], check=True)
    return problems


def main():
    screenshot_main(("--run-with-display", "--wine-run", "--program", "--artwork", "--work"), capture, len(SHOTS) + 1)


if __name__ == "__main__":
    main()
