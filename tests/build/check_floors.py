#!/usr/bin/env python3
"""Fails when a source file includes a header from a floor above its own.

Floors, bottom up: core; protocol; system; transport and config; engine, install and
ui; app. Folders of one floor stay apart unless ACROSS lets one build on another:
install builds on the engine, the pages on the installation, never the reverse. The publishing tool and the benchmarks stand beside the launcher and may use
its lower floors (core, protocol); tests may use everything. Generated headers
(build_constants.h, release_public_key.h) belong to the floor of the file they serve.
"""
import pathlib
import re
import sys

FLOORS = {"core": 0, "protocol": 1, "system": 2, "transport": 3, "config": 3,
          "engine": 4, "install": 4, "ui": 4, "app": 5}
# What stands beside the floors, and the highest floor it may reach.
BESIDE = {"tools": FLOORS["protocol"], "bench": FLOORS["protocol"]}
# Folders of one floor that a folder of that floor may include from.
ACROSS = {"install": {"engine"}, "ui": {"engine", "install"}}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def main(root: pathlib.Path) -> int:
    problems = []
    for folder in list(FLOORS) + list(BESIDE):
        own = FLOORS.get(folder, BESIDE.get(folder))
        highest = own if folder in FLOORS else BESIDE[folder]
        for source in sorted((root / folder).rglob("*")):
            if source.suffix not in (".h", ".cpp", ".in"):
                continue
            for included in INCLUDE.findall(source.read_text(encoding="utf-8", errors="replace")):
                top = included.split("/", 1)[0]
                if "/" not in included or top == folder:
                    continue  # its own folder, or a generated header beside it
                if top not in FLOORS:
                    problems.append(f"{source.relative_to(root)}: includes {included} from no floor")
                elif FLOORS[top] > highest:
                    problems.append(f"{source.relative_to(root)}: includes {included}, a floor above its own")
                elif FLOORS[top] == own and folder in FLOORS and top not in ACROSS.get(folder, set()):
                    problems.append(f"{source.relative_to(root)}: includes {included}, beside it on its floor")
    for problem in problems:
        print(problem)
    if not problems:
        print("every include points down or across")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".").resolve()))
