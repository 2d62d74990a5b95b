"""The DPI Wine gives the programs of a display prefix (its LogPixels setting), for the
screenshot tests that show the window and pages at several scalings."""

import argparse
import contextlib
import os
import shutil
import subprocess
import sys
import time

KEY = r"HKCU\Control Panel\Desktop"


def set_logpixels(run_with_display, wine_run, program, dpi):
    """Sets LogPixels in the prefix run_with_display.sh gives `program` (it is named after
    the program's folder); the next Wine session there starts at `dpi`."""
    if dpi == 96:
        command = ["reg", "delete", KEY, "/v", "LogPixels", "/f"]
    else:
        command = ["reg", "add", KEY, "/v", "LogPixels", "/t", "REG_DWORD", "/d", str(dpi), "/f"]
    # run_with_display.sh takes the prefix from its program's folder: run reg from there.
    folder = os.path.dirname(os.path.abspath(program))
    subprocess.run(["sh", os.path.abspath(run_with_display), os.path.abspath(wine_run)] + command, cwd=folder,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=240)
    # The ended session's server writes the registry as it goes: the next session must
    # not start before the value is on disk.
    registry = os.path.join(folder, "wineprefix-display", "user.reg")
    wanted = '"LogPixels"=dword:%08x' % dpi
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        with open(registry, encoding="utf-8", errors="replace") as f:
            text = f.read()
        if wanted in text or (dpi == 96 and '"LogPixels"' not in text):
            return
        time.sleep(0.2)
    raise RuntimeError("LogPixels %d did not reach %s" % (dpi, registry))


@contextlib.contextmanager
def logpixels(run_with_display, wine_run, program, dpi):
    """Runs the block's Wine sessions at `dpi`, then puts the prefix back at 96."""
    if dpi != 96:
        set_logpixels(run_with_display, wine_run, program, dpi)
    try:
        yield
    finally:
        if dpi != 96:
            set_logpixels(run_with_display, wine_run, program, 96)


def parse_dpis(text):
    return [int(part) for part in text.split(",") if part]


def suffix(dpi):
    """How a kept file names its DPI: nothing at 96, "-144dpi" otherwise."""
    return "" if dpi == 96 else "-%ddpi" % dpi


def screenshot_main(options, capture, shots_per_dpi):
    """The command line of a screenshot test: the required `options`, --keep and --dpi;
    runs capture(args, folder, dpi) in a fresh folder per DPI, prints its problems and
    exits 1 when there are any."""
    parser = argparse.ArgumentParser()
    for option in options:
        parser.add_argument(option, required=True)
    parser.add_argument("--keep", help="also write PNG copies here")
    parser.add_argument("--dpi", default="96", help="comma-separated DPIs to show the windows at")
    args = parser.parse_args()
    shutil.rmtree(args.work, ignore_errors=True)
    problems = []
    dpis = parse_dpis(args.dpi)
    for dpi in dpis:
        folder = os.path.join(args.work, "%ddpi" % dpi)
        os.makedirs(folder)
        problems += capture(args, folder, dpi)
    for problem in problems:
        print(problem)
    print("%d screenshots, %d problems" % (shots_per_dpi * len(dpis), len(problems)))
    sys.exit(1 if problems else 0)
