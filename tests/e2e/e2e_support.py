"""Shared pieces of the end-to-end tests: publishing, serving, running lanternix-update
under Wine, comparing game folders, and forging publications with the test key.

Every test script takes the same options (see parse_tools) and runs its cases with
unittest. Servers listen on 127.0.0.1 only and are stopped by their context managers.
"""
import argparse
import base64
import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
SUPPORT = os.path.join(SOURCE, "tests", "support")
sys.path.insert(0, SUPPORT)
import nginx_server  # noqa: E402  (the test servers live beside the fixtures)
GENERATE_CLIENT = os.path.join(SOURCE, "bench", "generate_client.py")

CHANNEL = "live"
EXECUTABLE = "bin/64/Kaldren.exe"
DATA_FOLDER = "Lanternix"
SIGNATURE_DOMAIN = b"kaldren-lanternix/release/v2\n"

# Exit codes of lanternix-update: 10 + the error category.
EXIT_OK = 0
EXIT_NETWORK = 10
EXIT_SERVER = 11
EXIT_SECURITY = 12
EXIT_DISK_SPACE = 13
EXIT_FILE_IN_USE = 14
EXIT_IO = 15


class Tools:
    """Paths of the programs under test, from the command line."""

    def __init__(self, args):
        self.publish = os.path.abspath(args.publish)
        self.update = os.path.abspath(args.update)
        self.wine_run = os.path.abspath(args.wine_run)
        self.key = os.path.abspath(args.key)
        self.file_holder = os.path.abspath(args.file_holder) if args.file_holder else None
        self.update_faults = os.path.abspath(args.update_faults) if args.update_faults else None
        self.launcher = os.path.abspath(args.launcher) if args.launcher else None
        self.game_stand_in = os.path.abspath(args.game_stand_in) if args.game_stand_in else None
        self.launcher_driver = os.path.abspath(args.launcher_driver) if args.launcher_driver else None
        self.launcher_next = os.path.abspath(args.launcher_next) if args.launcher_next else None
        self.launcher_after = os.path.abspath(args.launcher_after) if args.launcher_after else None
        self.hand_over_stand_in = os.path.abspath(args.hand_over_stand_in) if args.hand_over_stand_in else None
        self.direct_importer = os.path.abspath(args.direct_importer) if args.direct_importer else None
        self.other_keys = [os.path.abspath(key) for key in args.other_key]
        self.update_two_keys = os.path.abspath(args.update_two_keys) if args.update_two_keys else None
        self.launcher_both_keys = os.path.abspath(args.launcher_both_keys) if args.launcher_both_keys else None
        self.launcher_new_key = os.path.abspath(args.launcher_new_key) if args.launcher_new_key else None
        self.work = os.path.abspath(args.work)


TOOLS = None


def parse_tools(argv):
    parser = argparse.ArgumentParser()
    parser.add_argument("--publish", required=True, help="the native lanternix-publish")
    parser.add_argument("--update", required=True, help="lanternix-update.exe")
    parser.add_argument("--wine-run", required=True, help="scripts/wine-run")
    parser.add_argument("--key", required=True, help="the test release signing key (PEM)")
    parser.add_argument("--file-holder", help="system_helper.exe")
    parser.add_argument("--update-faults", help="lanternix-update-faults.exe (the test build with a fault plan)")
    parser.add_argument("--launcher", help="Lanternix.exe")
    parser.add_argument("--game-stand-in", help="game_stand_in.exe (records how it was started)")
    parser.add_argument("--launcher-driver", help="launcher_driver.exe (closes windows, answers dialogs)")
    parser.add_argument("--launcher-next", help="Lanternix.exe built as launcher 0.2.0")
    parser.add_argument("--launcher-after", help="Lanternix.exe built as launcher 0.3.0")
    parser.add_argument("--hand-over-stand-in", help="self_replacement_stand_in.exe (LANTERNIX_STAND_IN=hang)")
    parser.add_argument("--direct-importer", help="direct_importer.exe, beside the planted DLLs' folder planted/")
    parser.add_argument("--other-key", action="append", default=[],
                        help="test-release-key-2.pem, then -3.pem (key rotation and thresholds)")
    parser.add_argument("--update-two-keys", help="lanternix-update.exe trusting the three test keys, any two of "
                                                  "which must sign")
    parser.add_argument("--launcher-both-keys", help="Lanternix.exe 0.4.0 trusting the test key and key 2")
    parser.add_argument("--launcher-new-key", help="Lanternix.exe 0.5.0 trusting key 2 alone")
    parser.add_argument("--work", required=True, help="a scratch folder (emptied first)")
    return parser.parse_known_args(argv)


def main(name):
    """Runs the calling script's unittest cases with the tools given on the command line."""
    global TOOLS
    args, rest = parse_tools(sys.argv[1:])
    for path in (args.publish, args.update, args.wine_run, args.key):
        if not os.path.exists(path):
            sys.exit("missing: %s (build the native publishing tool and the Windows targets first)" % path)
    TOOLS = Tools(args)
    shutil.rmtree(TOOLS.work, ignore_errors=True)
    os.makedirs(TOOLS.work)
    started = time.monotonic()
    program = unittest.main(module="__main__", argv=[name] + rest, verbosity=2, exit=False)
    print("%s: %.1f s" % (name, time.monotonic() - started))
    sys.exit(0 if program.result.wasSuccessful() else 1)


def work_folder(*parts):
    path = os.path.join(TOOLS.work, *parts)
    os.makedirs(path, exist_ok=True)
    return path


def windows_path(path):
    """How a Linux path is named inside Wine (drive Z: is the Linux root)."""
    return "Z:" + os.path.abspath(path)


def sha256_bytes(data):
    return hashlib.sha256(data).hexdigest()


def sha256_file(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            digest.update(chunk)
    return digest.hexdigest()


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def write_bytes(path, data):
    """Writes a new file (never through a hard link shared with another site copy)."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    if os.path.lexists(path):
        os.unlink(path)
    with open(path, "wb") as f:
        f.write(data)


def format_size(count):
    """The byte-count text of the launcher's messages."""
    units = ["bytes", "KB", "MB", "GB", "TB"]
    if count < 1024:
        return "%d bytes" % count
    value, unit = float(count), 0
    while value >= 1024 and unit < len(units) - 1:
        value /= 1024
        unit += 1
    return ("%.0f %s" if value >= 100 else "%.1f %s") % (value, units[unit])


# ---------------------------------------------------------------------------
# Clients and publications

def write_client(folder, files):
    """Writes a client folder from {relative path: bytes}."""
    for path, data in files.items():
        write_bytes(os.path.join(folder, path), data)
    return folder


def generate_client(folder, mib, count, seed):
    subprocess.run([sys.executable, GENERATE_CLIENT, folder, str(mib), str(count), str(seed)],
                   check=True, stdout=subprocess.DEVNULL)
    return folder


def client_files(folder):
    """{relative path with '/': absolute path} of every file under a client folder."""
    found = {}
    for base, _, names in os.walk(folder):
        for name in names:
            full = os.path.join(base, name)
            found[os.path.relpath(full, folder).replace(os.sep, "/")] = full
    return found


def publish(site, client, version, sequence=None, level=None, key=None, channel=CHANNEL, launcher=None,
            launcher_version="0.1.0", keys=None, extra=(), chunk_average=None):
    """Publishes a client folder; `keys` (a list) signs with several keys, `extra` adds options."""
    command = [TOOLS.publish, "publish", "--site", site, "--channel", channel, "--client", client,
               "--version", version, "--executable", EXECUTABLE, "--launcher", launcher or TOOLS.update,
               "--launcher-version", launcher_version]
    for signing_key in keys or [key or TOOLS.key]:
        command += ["--key", signing_key]
    if sequence is not None:
        command += ["--sequence", str(sequence)]
    if level is not None:
        command += ["--level", str(level)]
    if chunk_average is not None:
        command += ["--chunk-average", str(chunk_average)]
    return publish_tool(*command[1:], *extra).stdout


def publish_tool(*arguments, expect=0):
    """Runs lanternix-publish with `arguments`; fails unless it exits with `expect`."""
    command = [TOOLS.publish] + [str(argument) for argument in arguments]
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != expect:
        raise AssertionError("lanternix-publish exited with %d, not %d: %s\n%s%s" % (
            done.returncode, expect, " ".join(command), done.stdout, done.stderr))
    return done


def public_key_hex(key_pem):
    return public_point(key_pem)


def keygen(path):
    """Makes another signing key; returns its key id."""
    done = subprocess.run([TOOLS.publish, "keygen", "--out", path], capture_output=True, text=True, check=True)
    return re.search(r"key id:\s*([0-9a-f]{16})", done.stdout).group(1)


def site_objects(site):
    """The publication paths of every object under a site."""
    objects = set()
    root = os.path.join(site, "v2", "objects")
    for base, _, names in os.walk(root):
        for name in names:
            objects.add(os.path.relpath(os.path.join(base, name), site).replace(os.sep, "/"))
    return objects


def whole_objects(site, channel=CHANNEL):
    """The publication paths of the channel's manifest and of every object its files name
    as a whole (chunk lists and chunks left out): what a fresh install fetches."""
    payload = read_release(site, channel)[1]
    paths = {object_path(payload["client"]["manifest"]["stored_sha256"])}
    for entry in read_manifest(site, channel)["files"]:
        paths.add(object_path(entry["stored_sha256"]))
    return paths


def read_object(site, ref):
    """The content of an object a reference names, unpacked when stored with zstd."""
    stored = read_bytes(os.path.join(site, object_path(ref["stored_sha256"])))
    if ref.get("compression") == "zstd":
        stored = subprocess.run(["zstd", "-d", "-c", "-q"], input=stored, capture_output=True, check=True).stdout
    return stored


def chunk_objects(site, entry):
    """The publication paths of a manifest entry's chunk list (index and pages) and of
    every chunk it names; empty for a file published whole only."""
    if "chunks" not in entry:
        return set()
    paths = {object_path(entry["chunks"]["stored_sha256"])}
    index = json.loads(read_object(site, entry["chunks"]))
    for page_ref in index["pages"]:
        paths.add(object_path(page_ref["stored_sha256"]))
        for chunk in json.loads(read_object(site, page_ref))["chunks"]:
            paths.add(object_path(chunk[2] if len(chunk) > 2 else chunk[0]))
    return paths


def object_path(stored_sha256):
    return "v2/objects/%s/%s" % (stored_sha256[:2], stored_sha256)


def release_file(site, channel=CHANNEL):
    return os.path.join(site, "v2", "channels", channel, "release.json")


def clone_site(source, target):
    """A copy of a site whose files are hard links: cheap, and write_bytes replaces rather than edits."""
    shutil.copytree(source, target, copy_function=os.link)
    return target


# ---------------------------------------------------------------------------
# Forging publications with the test key (or any other PEM key)

def key_id_of_point(point_hex):
    return hashlib.sha256(bytes.fromhex(point_hex)).hexdigest()[:16]


def public_point(key_pem):
    """The 65-byte uncompressed public point of a PEM private key, as hex."""
    der = subprocess.run(["openssl", "ec", "-in", key_pem, "-pubout", "-outform", "DER"],
                         capture_output=True, check=True).stdout
    return der[-65:].hex()


def der_signature_to_raw(der):
    """ECDSA-Sig-Value (DER SEQUENCE of two INTEGERs) to r || s, 32 bytes each."""
    def read_length(data, at):
        length = data[at]
        if length < 0x80:
            return length, at + 1
        count = length & 0x7F
        return int.from_bytes(data[at + 1:at + 1 + count], "big"), at + 1 + count

    assert der[0] == 0x30, "not a DER sequence"
    _, at = read_length(der, 1)
    parts = []
    for _ in range(2):
        assert der[at] == 0x02, "not a DER integer"
        length, at = read_length(der, at + 1)
        parts.append(int.from_bytes(der[at:at + length], "big"))
        at += length
    return b"".join(n.to_bytes(32, "big") for n in parts)


def sign_payload(payload, key_pem):
    """One signature object over the payload bytes, as the launcher verifies it."""
    done = subprocess.run(["openssl", "dgst", "-sha256", "-sign", key_pem],
                          input=SIGNATURE_DOMAIN + payload, capture_output=True, check=True)
    return {"key_id": key_id_of_point(public_point(key_pem)),
            "signature": base64.b64encode(der_signature_to_raw(done.stdout)).decode()}


def compact(document):
    return json.dumps(document, separators=(",", ":")).encode()


def release_payload(document):
    """The payload of release document bytes, unverified."""
    return json.loads(base64.b64decode(json.loads(document)["payload"]))


def read_release(site, channel=CHANNEL):
    """(envelope, payload) of a site's release document."""
    with open(release_file(site, channel), "rb") as f:
        envelope = json.loads(f.read())
    return envelope, json.loads(base64.b64decode(envelope["payload"]))


def write_release(site, payload, keys=None, channel=CHANNEL, extra=None, signatures=None):
    """Writes a release document: the payload signed with `keys` (default: the test key).
    `signatures` replaces the signature list; `extra` adds unknown envelope members."""
    payload_bytes = compact(payload)
    envelope = {"payload": base64.b64encode(payload_bytes).decode()}
    envelope["signatures"] = (signatures if signatures is not None
                              else [sign_payload(payload_bytes, key) for key in (keys or [TOOLS.key])])
    if extra:
        envelope.update(extra)
    data = compact(envelope)
    write_bytes(release_file(site, channel), data)
    return data


def resign_release(site, edit, keys=None, channel=CHANNEL):
    """Applies edit(payload) to a site's release and signs it again."""
    _, payload = read_release(site, channel)
    edit(payload)
    return write_release(site, payload, keys=keys, channel=channel)


def object_ref(content, stored=None):
    """The object reference of content stored as `stored` (a zstd frame) or as itself."""
    stored_bytes = content if stored is None else stored
    return {"sha256": sha256_bytes(content), "size": len(content),
            "stored_sha256": sha256_bytes(stored_bytes), "stored_size": len(stored_bytes),
            "compression": "none" if stored is None else "zstd"}


def store_object(site, stored_bytes):
    write_bytes(os.path.join(site, object_path(sha256_bytes(stored_bytes))), stored_bytes)


def read_manifest(site, channel=CHANNEL):
    """The client manifest of a site's release (unpacked with the zstd command when stored so)."""
    _, payload = read_release(site, channel)
    return json.loads(read_object(site, payload["client"]["manifest"]))


def rewrite_manifest(site, edit, release_edit=None, keys=None, channel=CHANNEL, sort=True):
    """Applies edit(manifest) to the release's manifest, stores the result as a new
    uncompressed object, points the release at it (then release_edit(payload)) and signs."""
    manifest = read_manifest(site, channel)
    edit(manifest)
    if sort:
        manifest["files"].sort(key=lambda entry: entry["path"].encode())
    document = compact(manifest)
    store_object(site, document)

    def point_at_manifest(payload):
        payload["client"]["manifest"] = object_ref(document)
        if release_edit:
            release_edit(payload)

    return resign_release(site, point_at_manifest, keys=keys, channel=channel)


def zstd_frame(content, window_log=17, block_types=None):
    """A zstd frame of raw (stored) blocks: no compressor needed, and any window size can
    be declared. Raw blocks hold at most 128 KiB each, and never more than the window."""
    assert 10 <= window_log <= 41
    frame = bytearray(b"\x28\xb5\x2f\xfd")
    frame += bytes([0x00, (window_log - 10) << 3])  # no content size, not single-segment
    block_limit = min(1 << 17, 1 << window_log)
    chunks = [content[i:i + block_limit] for i in range(0, len(content), block_limit)] or [b""]
    for index, chunk in enumerate(chunks):
        last = 1 if index == len(chunks) - 1 else 0
        header = (len(chunk) << 3) | last  # block type 0: raw
        frame += header.to_bytes(3, "little") + chunk
    return bytes(frame)


# ---------------------------------------------------------------------------
# Servers

def stop_process(process):
    nginx_server.stop_process(process, patience=10)


class NginxServer:
    """nginx serving a folder on a free loopback port; stopped when the block ends."""

    def __init__(self, root, work, limit_rate=0):
        self.root = os.path.abspath(root)
        self.work = os.path.abspath(work)
        self.limit_rate = limit_rate
        self.process = None

    def __enter__(self):
        os.makedirs(self.work, exist_ok=True)
        self.process = subprocess.Popen(
            [sys.executable, os.path.join(SUPPORT, "nginx_server.py"), "--root", self.root, "--work", self.work,
             "--lifetime", "900", "--limit-rate", str(self.limit_rate)], stdout=subprocess.PIPE, text=True)
        try:
            line = self.process.stdout.readline()
            self.port = int(line)
        except ValueError:
            self.stop()
            raise AssertionError("nginx did not start; see %s/error.log" % self.work)
        self.base_url = "http://127.0.0.1:%d" % self.port
        return self

    def __exit__(self, *_):
        self.stop()

    def stop(self):
        if self.process:
            stop_process(self.process)

    def url(self, prefix=""):
        return self.base_url + ("/" + prefix if prefix else "")

    @property
    def access_log(self):
        return os.path.join(self.work, "access.log")

    def clear_log(self):
        """Empties the access log (nginx appends, so it keeps writing at the new end)."""
        open(self.access_log, "w").close()

    def entries(self):
        """[(target, range, status, bytes sent)] of every request so far."""
        found = []
        if not os.path.exists(self.access_log):
            return found
        with open(self.access_log) as f:
            for line in f:
                match = re.match(r'"(\S+) (\S+) [^"]*" "([^"]*)" (\d+) (\d+)', line)
                if match:
                    found.append((match.group(2), match.group(3), int(match.group(4)), int(match.group(5))))
        return found

    def requests(self):
        """[(target, range, status)] of every request so far."""
        return [(target, byte_range, status) for target, byte_range, status, _ in self.entries()]

    def requests_with_sizes(self):
        """[(target, range, bytes sent)] of every request so far."""
        return [(target, byte_range, sent) for target, byte_range, _, sent in self.entries()]


class XServer:
    """Xvfb on a free display, for tests of windows; stopped when the block ends, and by
    itself (-terminate) once its last client has gone. Between two Wine programs no
    client may be left (the server would end): an idle xdotool holds it open for at
    most an hour, so a test that dies leaves no server behind for long."""

    def __enter__(self):
        for number in range(90, 160):
            if os.path.exists("/tmp/.X11-unix/X%d" % number) or os.path.exists("/tmp/.X%d-lock" % number):
                continue
            self.process = subprocess.Popen(
                ["Xvfb", ":%d" % number, "-screen", "0", "1280x1024x24", "-nolisten", "tcp", "-terminate"],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline and self.process.poll() is None:
                if os.path.exists("/tmp/.X11-unix/X%d" % number):
                    self.display = ":%d" % number
                    self.keeper = subprocess.Popen(["xdotool", "sleep", "3600"], env=dict(os.environ, DISPLAY=self.display),
                                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                                   start_new_session=True) if shutil.which("xdotool") else None
                    return self
                time.sleep(0.05)
            stop_process(self.process)
        raise RuntimeError("could not start Xvfb")

    def __exit__(self, *_):
        if self.keeper is not None:
            stop_process(self.keeper)
        stop_process(self.process)


class FaultServer:
    """tests/support/fault_server.py on loopback with a script given as a dict."""

    def __init__(self, work, script):
        self.work = os.path.abspath(work)
        os.makedirs(self.work, exist_ok=True)
        self.script_path = os.path.join(self.work, "script.json")
        self.log_path = os.path.join(self.work, "requests.log")
        self.set_script(script)
        self.process = None

    def set_script(self, script):
        temporary = self.script_path + ".new"
        with open(temporary, "w") as f:
            json.dump(script, f)
        os.replace(temporary, self.script_path)

    def __enter__(self):
        self.process = subprocess.Popen(
            [sys.executable, os.path.join(SUPPORT, "fault_server.py"), "--script", self.script_path,
             "--log", self.log_path, "--idle", "300"], stdout=subprocess.PIPE, text=True)
        self.port = int(self.process.stdout.readline())
        self.base_url = "http://127.0.0.1:%d" % self.port
        return self

    def __exit__(self, *_):
        stop_process(self.process)

    def requests(self):
        with open(self.log_path) as f:
            return [line.rstrip("\n").split("\t")[2] for line in f if line.strip()]


# ---------------------------------------------------------------------------
# Running lanternix-update

def log_path(root):
    return os.path.join(root, DATA_FOLDER, "logs", "lanternix.log")


def log_size(root):
    try:
        return os.path.getsize(log_path(root))
    except OSError:
        return 0


def log_since(root, offset):
    """Log text written after `offset` (the whole current file if it was rotated)."""
    try:
        with open(log_path(root), encoding="utf-8", errors="replace") as f:
            text = f.read()
    except OSError:
        return ""
    return text[offset:] if len(text.encode()) >= offset else text


class Run:
    def __init__(self, returncode, stdout, stderr, log, seconds):
        self.returncode = returncode
        self.stdout = stdout
        # Wine's own server may write diagnostics to the same stream (object dumps
        # when it shuts down); the program's lines all start with its name.
        self.stderr_raw = stderr
        self.stderr = "".join(line for line in stderr.splitlines(keepends=True)
                              if line.startswith("lanternix-update"))
        self.log = log
        self.seconds = seconds

    def describe(self):
        return "exit %s after %.1f s\n--- stdout\n%s--- stderr\n%s--- log\n%s" % (
            self.returncode, self.seconds, self.stdout, self.stderr_raw, self.log)

    def log_lines(self, level=None, containing=None):
        lines = []
        for line in self.log.splitlines():
            if level and (" %s " % level.ljust(5)) not in line:
                continue
            if containing and containing not in line:
                continue
            lines.append(line)
        return lines


def update_command(root, urls, channel=None, repair=False, program=None):
    command = [TOOLS.wine_run, program or TOOLS.update, "--root", windows_path(root)]
    for url in urls if isinstance(urls, (list, tuple)) else [urls]:
        command += ["--base-url", url]
    if channel:
        command += ["--channel", channel]
    if repair:
        command.append("--repair")
    return command


def wine_never_started(run):
    """True when Wine gave up before lanternix-update began: exit 1 (a status the program
    never uses), nothing on standard output, nothing logged and no line of the program's
    own on standard error. wine-run removes the known causes (an exiting server, a
    randomised address space); this is the second guard against whatever Wine still
    does at start-up."""
    return run.returncode == 1 and not run.stdout and not run.log and not run.stderr


def run_update(root, urls, channel=None, repair=False, timeout=240, program=None, environment=None):
    """Runs lanternix-update (or `program`, with `environment` added) to its end and
    returns what it said. A run that Wine could not start at all is started again (twice
    at most): that is the test machine's failure, not the program's."""
    def once():
        return run_update_once(root, urls, channel, repair, timeout, program, environment)
    run = once()
    for _ in range(2):
        if not wine_never_started(run):
            break
        sys.stderr.write("Wine could not start lanternix-update (exit 1 after %.2f s); running it again:\n%s"
                         % (run.seconds, run.stderr_raw))
        run = once()
    return run


def run_update_once(root, urls, channel, repair, timeout, program=None, environment=None):
    offset = log_size(root)
    started = time.monotonic()
    process = subprocess.Popen(update_command(root, urls, channel, repair, program), stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, start_new_session=True,
                               env=dict(os.environ, **environment) if environment else None)
    try:
        stdout, stderr = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        kill_process_group(process)
        stdout, stderr = process.communicate()
        raise AssertionError("lanternix-update did not end within %d s:\n%s" % (
            timeout, Run(None, stdout.decode(errors="replace"), stderr.decode(errors="replace"),
                         log_since(root, offset), timeout).describe()))
    return Run(process.returncode, stdout.decode("utf-8", "replace").replace("\r", ""),
               stderr.decode("utf-8", "replace").replace("\r", ""), log_since(root, offset),
               time.monotonic() - started)


def process_group_members(group):
    members = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        # Fields after the command: state, ppid, pgrp, ...; zombies are already dead.
        if int(fields[2]) == group and fields[0] != "Z":
            members.append(int(entry))
    return members


def kill_process_group(process):
    """SIGKILL to every process of the run's own process group (wine-run started it as
    the leader of a new session), then waits until none of them is left."""
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    process.wait()
    deadline = time.monotonic() + 10
    while process_group_members(process.pid):
        if time.monotonic() > deadline:
            raise AssertionError("processes of the killed run are still alive: %s" %
                                 process_group_members(process.pid))
        time.sleep(0.05)


class BackgroundUpdate:
    """lanternix-update started without waiting; its standard output lines are collected
    with the time they arrived, so a test can act when a phase begins."""

    def __init__(self, root, urls, channel=None, repair=False):
        self.root = root
        self.offset = log_size(root)
        self.command = update_command(root, urls, channel, repair)
        self.condition = threading.Condition()
        self.restarts = 0
        self._start()

    def _start(self):
        self.started = time.monotonic()
        self.process = subprocess.Popen(self.command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        stdin=subprocess.DEVNULL, start_new_session=True)
        self.lines = []
        self.stderr = b""
        self.reader = threading.Thread(target=self._read, args=(self.process,), daemon=True)
        self.reader.start()
        self.error_reader = threading.Thread(target=self._read_errors, args=(self.process,), daemon=True)
        self.error_reader.start()

    def _read(self, process):
        for raw in process.stdout:
            line = raw.decode("utf-8", "replace").rstrip("\r\n")
            with self.condition:
                if process is self.process:
                    self.lines.append((time.monotonic(), line))
                    self.condition.notify_all()
        with self.condition:
            if process is self.process:
                self.lines.append((time.monotonic(), None))  # end of output
                self.condition.notify_all()

    def _read_errors(self, process):
        data = process.stderr.read()
        if process is self.process:
            self.stderr = data

    def _restarted_after_wine_failed(self):
        """Called with the condition held, once standard output has ended: starts the run
        again when Wine never started it (see wine_never_started), at most twice.
        Returns whether it did."""
        if self.restarts >= 2 or self.process.poll() is None:
            return False
        self.reader.join(10)
        self.error_reader.join(10)
        run = self.result()
        if not wine_never_started(run):
            return False
        sys.stderr.write("Wine could not start lanternix-update (exit 1 after %.2f s); starting it again:\n%s"
                         % (run.seconds, run.stderr_raw))
        self.process.stdout.close()
        self.process.stderr.close()
        self.restarts += 1
        self._start()
        return True

    def wait_for_line(self, text, timeout=120):
        """Waits until a standard output line starts with `text`; returns its arrival time,
        or None when the output ended first."""
        deadline = time.monotonic() + timeout
        with self.condition:
            seen = 0
            while True:
                ended = False
                for at, line in self.lines[seen:]:
                    if line is None:
                        ended = True
                        break
                    if line.startswith(text):
                        return at
                if ended:
                    if self._wait_for_exit() and self._restarted_after_wine_failed():
                        seen = 0
                        continue
                    return None
                seen = len(self.lines)
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError("no line %r within %d s; got %r" % (text, timeout, self.lines))
                self.condition.wait(left)

    def _wait_for_exit(self):
        """Called with the condition held, after the end of standard output: gives the
        process two seconds to exit (releasing the condition meanwhile)."""
        for _ in range(100):
            if self.process.poll() is not None:
                return True
            self.condition.wait(0.02)
        return False

    def signal(self, number):
        """Sends a signal to the Windows process (SIGINT reaches its Ctrl+C handler)."""
        os.kill(self.process.pid, number)

    def kill(self):
        """Kills the run at once; returns its exit status if it had already ended."""
        ended = self.process.poll()
        kill_process_group(self.process)
        self._close()
        return ended

    def wait(self, timeout=240):
        while True:
            try:
                self.process.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                kill_process_group(self.process)
                self._close()
                raise AssertionError("lanternix-update did not end within %d s" % timeout)
            # The output reader needs the condition to record the end of output.
            self.reader.join(10)
            self.error_reader.join(10)
            with self.condition:
                if not self._restarted_after_wine_failed():
                    break
        self._close()
        return self.result()

    def _close(self):
        self.reader.join(10)
        self.error_reader.join(10)
        self.process.stdout.close()
        self.process.stderr.close()

    def result(self):
        stdout = "".join(line + "\n" for _, line in self.lines if line is not None)
        return Run(self.process.returncode, stdout, self.stderr.decode("utf-8", "replace").replace("\r", ""),
                   log_since(self.root, self.offset), time.monotonic() - self.started)


def warm_wine():
    """Starts the prefix's wineserver (and creates the prefix on first use) outside any
    measured or killed run."""
    subprocess.run([TOOLS.wine_run, TOOLS.update, "--help"], stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=300)


# ---------------------------------------------------------------------------
# Game folders

USER_FILES = {
    "user-notes.txt": b"my notes: do not touch\n",
    "screenshots/x.png": b"\x89PNG\r\n\x1a\n not really a picture",
}


def place_user_files(game, extra=None):
    """Puts files the player owns into a game folder, with old modification times, and
    returns their snapshot for check_user_files."""
    files = dict(USER_FILES)
    files.update(extra or {})
    for index, (path, data) in enumerate(sorted(files.items())):
        full = os.path.join(game, path)
        write_bytes(full, data)
        os.utime(full, ns=(1500000000_000000000 + index, 1500000000_000000000 + index))
    return snapshot(game, files.keys())


def snapshot(folder, paths=None):
    """{relative path: (size, mtime_ns, sha256)} of the given files, or of every file
    outside the launcher's data folder."""
    if paths is None:
        paths = [path for path in client_files(folder) if not path.startswith(DATA_FOLDER + "/")]
    found = {}
    for path in paths:
        full = os.path.join(folder, path)
        if os.path.isfile(full):
            status = os.stat(full)
            found[path] = (status.st_size, status.st_mtime_ns, sha256_file(full))
        else:
            found[path] = None
    return found


def folder_differences(game, client, extra_paths=()):
    """Differences between a game folder and a client folder: files missing, differing
    or unexpected (outside the data folder and the player's files), and folders left
    behind that hold nothing."""
    problems = []
    expected = client_files(client)
    present = {path: full for path, full in client_files(game).items()
               if not path.startswith(DATA_FOLDER + "/")}
    for path, source in sorted(expected.items()):
        if path not in present:
            problems.append("missing " + path)
        elif os.path.getsize(present[path]) != os.path.getsize(source) or \
                read_bytes(present[path]) != read_bytes(source):
            problems.append("differs " + path)
    for path in sorted(set(present) - set(expected) - set(extra_paths)):
        problems.append("unexpected " + path)
    wanted_folders = {""}
    for path in list(expected) + list(extra_paths):
        parts = path.split("/")[:-1]
        for i in range(1, len(parts) + 1):
            wanted_folders.add("/".join(parts[:i]))
    for base, folders, _ in os.walk(game):
        relative = os.path.relpath(base, game).replace(os.sep, "/")
        relative = "" if relative == "." else relative
        if relative == DATA_FOLDER or relative.startswith(DATA_FOLDER + "/"):
            folders[:] = []
            continue
        if relative not in wanted_folders:
            problems.append("left-over folder " + relative)
    return problems


def leftovers(game):
    """Partial downloads, temporary files and staging left in a game folder."""
    found = []
    for base, _, names in os.walk(game):
        for name in names:
            if name.endswith(".part") or name.endswith(".tmp"):
                found.append(os.path.relpath(os.path.join(base, name), game))
    for name in ("staging", "pending-manifest.json"):
        if os.path.exists(os.path.join(game, DATA_FOLDER, name)):
            found.append(os.path.join(DATA_FOLDER, name))
    return sorted(found)


def game_files(game):
    """Files outside the launcher's data folder."""
    return sorted(path for path in client_files(game) if not path.startswith(DATA_FOLDER + "/"))


def copy_game(source, target):
    """A copy of a game folder that keeps modification times (the file index relies on them)."""
    shutil.rmtree(target, ignore_errors=True)
    shutil.copytree(source, target, copy_function=shutil.copy2)
    return target


class E2ETestCase(unittest.TestCase):
    maxDiff = None
    server = None

    @classmethod
    def serve(cls, root, work, prepare=lambda: None, limit_rate=0):
        """Starts the class's nginx on `root`, then runs `prepare`; the server stops when
        that fails, and after the class's tests."""
        cls.server = NginxServer(root, os.path.join(work, "nginx"), limit_rate).__enter__()
        try:
            prepare()
        except BaseException:
            cls.server.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        if cls.server:
            cls.server.stop()

    def assertExit(self, run, code):
        self.assertEqual(run.returncode, code, run.describe())

    def assertMatchesClient(self, game, client, user_snapshot=None, allow_empty_folders=False):
        extra = list(user_snapshot or {})
        problems = folder_differences(game, client, extra)
        if allow_empty_folders:
            empty = [p for p in problems if p.startswith("left-over folder ") and
                     not client_files(os.path.join(game, p[len("left-over folder "):]))]
            if empty:
                print("  note: empty folders left: %s" % ", ".join(p[len("left-over folder "):] for p in empty),
                      flush=True)
            problems = [p for p in problems if p not in empty]
        self.assertEqual(problems, [])
        if user_snapshot is not None:
            self.assertEqual(snapshot(game, user_snapshot.keys()), user_snapshot, "the player's files changed")

    def assertNoLeftovers(self, game):
        self.assertEqual(leftovers(game), [])

    def assertInstalledNothing(self, game, before=None):
        """A refused update: a fresh folder holds no game file; an installed one is unchanged,
        and so is the launcher's record of what is installed."""
        if before is None:
            self.assertEqual(game_files(game), [])
        else:
            self.assertEqual(snapshot(game), before["files"])
            self.assertEqual(launcher_records(game), before["records"])


def launcher_records(game):
    records = {}
    for name in ("state.json", "manifest.json", "pending-manifest.json"):
        path = os.path.join(game, DATA_FOLDER, name)
        records[name] = read_bytes(path) if os.path.exists(path) else None
    return records


def installed_state(game):
    return {"files": snapshot(game), "records": launcher_records(game)}
