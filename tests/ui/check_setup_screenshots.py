#!/usr/bin/env python3
"""Captures the setup's pages as setup_screenshots.exe shows them on an X server of its
own: the install page while it checks, after a failed check and ready with the download
size, and the uninstall confirmation. Each is taken from the screen with ImageMagick's
`import -window root`, cut to the dialog and saved as PNG; checks that each exists with
a plausible size and is not one flat colour.
--keep FOLDER also copies the PNG files there (setup-install-page*.png and
setup-uninstall.png, with -<dpi>dpi before .png for each other DPI of --dpi, Wine's
LogPixels), e.g. for the README.
Exits 77 when there is no X server to run on."""

import os
import shutil
import struct
import subprocess
import sys
import time

from display_dpi import logpixels, screenshot_main, suffix

NAMES = ["checking", "failure", "ready", "uninstall"]
KEPT_AS = {"checking": "setup-install-page-checking.png", "failure": "setup-install-page-failure.png",
           "ready": "setup-install-page.png", "uninstall": "setup-uninstall.png"}


def png_size(path):
    with open(path, "rb") as f:
        header = f.read(24)
    if header[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("%s is no PNG file" % path)
    return struct.unpack(">II", header[16:24])


def colours(path):
    run = subprocess.run(["identify", "-format", "%k", path], capture_output=True, text=True, check=True)
    return int(run.stdout.strip())


def capture(args, folder, dpi):
    """Runs the pages at `dpi` and captures each; the problems found."""
    problems = []
    with logpixels(args.run_with_display, args.wine_run, args.program, dpi):
        program = subprocess.Popen(["sh", args.run_with_display, args.wine_run, args.program,
                                    "Z:" + os.path.abspath(folder)])
        deadline = time.monotonic() + 240
        for name in NAMES:
            ready = os.path.join(folder, name + ".ready")
            while not os.path.exists(ready) and program.poll() is None and time.monotonic() < deadline:
                time.sleep(0.05)
            if not os.path.exists(ready):
                problems.append("%s: never shown" % name)
                break
            with open(ready) as f:
                display, left, top, width, height = f.read().split()
            shot = os.path.join(folder, name + ".png")
            subprocess.run(["import", "-display", display, "-window", "root",
                            "-crop", "%sx%s+%s+%s" % (width, height, left, top), "+repage", shot], check=True)
            open(os.path.join(folder, name + ".taken"), "w").close()
        status = program.wait(timeout=max(deadline - time.monotonic(), 1))
    if status == 77:
        sys.exit(77)
    if status != 0:
        problems.append("setup_screenshots exited with %d" % status)
    scale = dpi / 96
    for name in NAMES:
        shot = os.path.join(folder, name + ".png")
        if not os.path.exists(shot):
            problems.append("%s: no capture" % name)
            continue
        width, height = png_size(shot)
        if not (300 * scale <= width <= 1280 and 120 * scale <= height <= 1024):
            problems.append("%s at %d DPI: %dx%d is no plausible dialog size" % (name, dpi, width, height))
        elif colours(shot) < 8:
            problems.append("%s: hardly anything drawn (%d colours)" % (name, colours(shot)))
        if args.keep and os.path.exists(shot):
            os.makedirs(args.keep, exist_ok=True)
            kept = KEPT_AS[name].replace(".png", suffix(dpi) + ".png")
            shutil.copyfile(shot, os.path.join(args.keep, kept))
    return problems


def main():
    screenshot_main(("--run-with-display", "--wine-run", "--program", "--work"), capture, len(NAMES))


if __name__ == "__main__":
    main()
