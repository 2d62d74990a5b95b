#!/usr/bin/env python3
"""Prints what a bare installer of a publication must do, one line per client file:
"<object path> <stored size> <zstd|none> <file path>", from the channel's release and
its manifest (read unverified: the benchmark made the publication itself).
usage: install_list.py SITE [CHANNEL]"""
import base64
import json
import os
import subprocess
import sys


def object_bytes(site, ref):
    stored = os.path.join(site, "v2", "objects", ref["stored_sha256"][:2], ref["stored_sha256"])
    with open(stored, "rb") as f:
        data = f.read()
    if ref["compression"] == "zstd":
        data = subprocess.run(["zstd", "-dcq"], input=data, capture_output=True, check=True).stdout
    return data


def main(site, channel="live"):
    with open(os.path.join(site, "v2", "channels", channel, "release.json"), "rb") as f:
        payload = json.loads(base64.b64decode(json.loads(f.read())["payload"]))
    manifest = json.loads(object_bytes(site, payload["client"]["manifest"]))
    for entry in manifest["files"]:
        print("v2/objects/%s/%s %d %s %s" % (entry["stored_sha256"][:2], entry["stored_sha256"],
                                             entry["stored_size"], entry["compression"], entry["path"]))


if __name__ == "__main__":
    main(*sys.argv[1:])
