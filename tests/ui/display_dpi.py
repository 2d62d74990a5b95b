"""The DPI Wine gives the programs of a display prefix (its LogPixels setting), for the
screenshot tests that show the window and pages at several scalings."""

import contextlib
import os
import subprocess
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
