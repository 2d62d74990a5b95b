#!/usr/bin/env python3
"""Writes the fuzz targets' seed inputs, made from the test fixtures, into OUT/<target>/.

Usage: make-seeds.py OUT. Nothing here is kept in git: the seeds follow the fixtures.
"""
import base64
import json
import pathlib
import shutil
import struct
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
FIXTURES = ROOT / "tests" / "support" / "fixtures"
KEY_HEX = (ROOT / "tests" / "support" / "keys" / "test-release-key.hex").read_text().strip()


def fixture(name: str) -> bytes:
    return (FIXTURES / name).read_bytes()


def compact(value) -> bytes:
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False).encode()


def seeds() -> dict:
    release = fixture("release.json")
    envelope = json.loads(release)
    payload = base64.b64decode(envelope["payload"])
    manifest = fixture("manifest.json")
    files = json.loads(manifest)["files"]
    digest = files[0]["sha256"]
    record = {"sequence": 7, "version": "1.4.2", "manifest_sha256": digest, "executable": "bin/Kaldren.exe"}
    state = compact({"schema": 2, "channel": "live", "highest_sequences": {"live": 7, "beta": 3},
                     "installed": record, "pending": dict(record, sequence=8, version="1.4.3")})
    index = compact({"schema": 2, "files": [[f["path"], f["size"], 133000000000000000, f["sha256"]]
                                             for f in files]})
    zstd = {path.stem: path.read_bytes() for path in sorted((FIXTURES / "zstd").glob("*.zst"))}
    if shutil.which("zstd"):
        zstd["manifest"] = subprocess.run(["zstd", "-q", "-c", "-19", "--check"], input=manifest,
                                          capture_output=True, check=True).stdout
    return {
        "json": [release, payload, manifest, state, index,
                 b'{"a":[true,false,null,-1.5e+3,0,"\\u00e9\\ud83d\\ude00\\n"],"b":{}}'],
        # Byte 0: 0 reads a whole release document, 1 a payload the target signs.
        "release": [b"\0" + release, b"\1" + payload],
        "manifest": [manifest],
        # Byte 0: 0 reads a chunk index, 1 a chunk page.
        "chunk_list": [b"\0" + compact({"schema": 1, "kind": "chunk-index", "method": "gear-1", "min": 4096,
                                          "average": 16384, "max": 65536, "page_min": 64, "page_average": 256,
                                          "page_max": 1024, "size": 300,
                                          "pages": [dict(files[0], chunks=1, span=300, fingerprint=digest)],
                                          "seeds": ["data/other.pak"]}),
                       b"\1" + compact({"schema": 1, "kind": "chunk-page",
                                          "chunks": [[digest, 300], [digest, 200, digest, 90]]})],
        "path_rule": [f["path"].encode() for f in files] + ["data/Données/carte~a.pak".encode()],
        "encoding": [envelope["payload"].encode(), envelope["signatures"][0]["signature"].encode(),
                     digest.encode(), KEY_HEX.encode(), KEY_HEX.upper().encode()],
        # Byte 0: 0 reads state.json, 1 index.json.
        "state": [b"\0" + state, b"\1" + index],
        # Bytes 0-15: the start and total a Content-Range must name.
        "http_rules": [struct.pack("<QQ", 100, 1000) + b"bytes 100-999/1000", b"120",
                       b"v2/objects/" + digest[:2].encode() + b"/" + digest.encode()],
        # Byte 0: flags (1 declares the frame's own size, 2 stages through the object
        # store), bytes 1-3 a declared size.
        "zstd_unpack": [b"\3\0\0\0" + frame for frame in zstd.values()],
        "command_line": [b"\0".join([b"--root", b"/games/Kaldren", b"--channel", b"beta", b"--base-url",
                                     b"https://patch.kaldren.example/, http://localhost:8080", b"--wait-pid",
                                     b"4242", b"--after-update", b"--no-launch", b"--repair", b"--quiet"]),
                         b"--uninstall-finish\0--root\0/games/Kaldren",
                         b"https://a.example,https://A.example/ http://[::1]:8080/v2"],
    }


def main(out: pathlib.Path) -> None:
    for target, inputs in seeds().items():
        folder = out / target
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir(parents=True)
        for number, data in enumerate(inputs):
            (folder / f"seed-{number}").write_bytes(data)


if __name__ == "__main__":
    main(pathlib.Path(sys.argv[1]))
