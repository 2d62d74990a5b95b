"""Lanternix.exe as a player meets it, under Wine with its window on an X server of the
test's own: an update that ends by starting the game, launching turned off, a second
launcher on the same folder, closing the window during a download, the failure dialog's
Retry and Bypass, and a game that does not start. The game is a stand-in that records
how it was started; the player's keys are real key presses (xdotool), and a driver
program reads the dialogs' texts and focus from inside Wine."""

import http.server
import json
import os
import re
import shutil
import subprocess
import socket
import threading
import time
import unittest

import e2e_support as e2e

STALL_ABOVE = 1 << 20  # objects larger than this are held back by the stalling server
RETRY, BYPASS = 1, 3
NETWORK_MESSAGE = ("Failed to connect to the lanternix server. Please choose Retry, Manual Patch or Bypass "
                   "(Not recommended! It may cause unknown errors.).")
NETWORK_MESSAGE_NO_GAME = ("Failed to connect to the lanternix server. Please choose Retry or Manual Patch: the game "
                           "cannot start before an update has finished.")
START_FAILURE_MESSAGE = ("The game could not be started. Choose Try again, or Repair to check the game files and "
                         "repair them.")


class StallingServer:
    """Serves a publication folder over HTTP on loopback, but sends only the first bytes
    of every object above STALL_ABOVE and then holds the connection until stopped."""

    def __init__(self, root):
        self.root = root
        self.stalled = threading.Event()
        self.release = threading.Event()

    def __enter__(self):
        owner = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                path = os.path.join(owner.root, self.path.split("?")[0].lstrip("/"))
                if not os.path.isfile(path):
                    self.send_error(404)
                    return
                data = e2e.read_bytes(path)
                self.send_response(200)
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                if len(data) <= STALL_ABOVE:
                    self.wfile.write(data)
                    return
                self.wfile.write(data[:4096])
                self.wfile.flush()
                owner.stalled.set()
                owner.release.wait(120)

            def log_message(self, *_):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        self.url = "http://127.0.0.1:%d" % self.server.server_address[1]
        return self

    def __exit__(self, *_):
        self.release.set()
        self.server.shutdown()
        self.server.server_close()


class LauncherCase(e2e.E2ETestCase):
    """Runs of Lanternix.exe on the class's X server against the class's publications."""
    name = None

    @classmethod
    def setUpClass(cls):
        if not (e2e.TOOLS.launcher and e2e.TOOLS.game_stand_in and e2e.TOOLS.launcher_driver):
            raise unittest.SkipTest("no --launcher, --game-stand-in or --launcher-driver given")
        cls.work = work = e2e.work_folder(cls.name)
        files = {e2e.EXECUTABLE: e2e.read_bytes(e2e.TOOLS.game_stand_in), "data/readme.txt": b"a small file\n",
                 "data/big.bin": os.urandom(3 << 20)}
        cls.client = e2e.write_client(os.path.join(work, "client"), files)
        cls.site = os.path.join(work, "site")
        shutil.rmtree(cls.site, ignore_errors=True)
        cls.publish_sites()
        cls.x_server = e2e.XServer().__enter__()
        try:
            cls.serve(cls.site, work, e2e.warm_wine)
        except BaseException:
            cls.x_server.__exit__()
            raise

    @classmethod
    def tearDownClass(cls):
        super().tearDownClass()
        cls.x_server.__exit__()

    def fresh_root(self, name):
        root = os.path.join(self.work, name)
        shutil.rmtree(root, ignore_errors=True)
        os.makedirs(root)
        return root

    def environment(self, root):
        return dict(os.environ, LANTERNIX_DISPLAY=self.x_server.display,
                    LANTERNIX_TEST_GAME_RECORD=e2e.windows_path(self.record(root)).replace("/", "\\"))

    def record(self, root):
        return root + ".game-started.txt"

    def start(self, root, url, *extra, program=None, environment=None):
        command = [e2e.TOOLS.wine_run, program or e2e.TOOLS.launcher, "--root", e2e.windows_path(root), "--base-url", url]
        return subprocess.Popen(command + list(extra), env=dict(self.environment(root), **(environment or {})),
                                stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)

    def finish(self, process, root, timeout=120):
        try:
            process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            e2e.kill_process_group(process)
            self.fail("Lanternix.exe did not end within %d s; log:\n%s" % (timeout, e2e.log_since(root, 0)))
        return process.returncode

    def drive(self, root, *arguments):
        return subprocess.run([e2e.TOOLS.wine_run, e2e.TOOLS.launcher_driver] + list(arguments),
                              env=self.environment(root), stdin=subprocess.DEVNULL, capture_output=True,
                              text=True, timeout=120)

    def log_lines(self, root, containing):
        return [line for line in e2e.log_since(root, 0).splitlines() if containing in line]

    def wait_for(self, condition, what, timeout=120):
        deadline = time.monotonic() + timeout
        while not condition():
            self.assertLess(time.monotonic(), deadline, what)
            time.sleep(0.2)

    def dialog_texts(self, root, title, button, timeout_ms=60000):
        """The texts of the dialog titled `title` once `button` is enabled, one per line."""
        shown = self.drive(root, "texts", title, str(button), str(timeout_ms))
        self.assertEqual(shown.returncode, 0, "no dialog %r; log:\n%s" % (title, e2e.log_since(root, 0)))
        return shown.stdout.splitlines()

    def focus(self, root, title):
        """(id, text) of the control that has the keyboard focus in that dialog."""
        shown = self.drive(root, "focus", title, "30000")
        self.assertEqual(shown.returncode, 0, "no dialog %r" % title)
        number, _, text = shown.stdout.rstrip("\n").partition(" ")
        return int(number), text

    def keys(self, title, *keys):
        """Presses `keys` (xdotool names, "alt+i") as a player would, in the window titled
        `title`: real key events through the X server, to the window that has the focus."""
        environment = dict(os.environ, DISPLAY=self.x_server.display)
        deadline = time.monotonic() + 60
        while True:
            found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^%s$" % re.escape(title)],
                                   env=environment, capture_output=True, text=True, timeout=60)
            windows = found.stdout.split()
            if windows:
                break
            self.assertLess(time.monotonic(), deadline, "no window titled %r" % title)
            time.sleep(0.2)
        for key in keys:
            subprocess.run(["xdotool", "windowfocus", "--sync", windows[-1]], env=environment, timeout=60, check=True)
            subprocess.run(["xdotool", "key", key], env=environment, timeout=60, check=True)
            time.sleep(0.3)  # one key's effect (a dialog closing, the focus moving) before the next


class Launcher(LauncherCase):
    name = "launcher"

    @classmethod
    def publish_sites(cls):
        e2e.publish(cls.site, cls.client, "1.0.0")
        # A client whose game executable Windows refuses to run.
        cls.broken_client = e2e.write_client(os.path.join(cls.work, "broken-client"),
                                             {e2e.EXECUTABLE: b"not a program\n", "data/readme.txt": b"a file\n"})
        e2e.publish(os.path.join(cls.site, "broken"), cls.broken_client, "1.0.0")

    def test_a_finished_update_starts_the_game_in_the_game_folder(self):
        root = self.fresh_root("starts")
        self.assertEqual(self.finish(self.start(root, self.server.url()), root), 0)
        self.assertMatchesClient(root, self.client)
        with open(self.record(root), encoding="utf-8") as f:
            command_line, folder = f.read().splitlines()
        game = e2e.windows_path(os.path.join(root, e2e.EXECUTABLE)).replace("/", "\\")
        self.assertEqual(command_line.strip('"').lower(), game.lower())
        self.assertEqual(folder.rstrip("\\").lower(), e2e.windows_path(root).replace("/", "\\").lower())
        self.assertEqual(len(self.log_lines(root, "starting in patch mode")), 1)

    def test_launching_turned_off_closes_after_the_update(self):
        for case in ("--no-launch", "auto_launch=0"):
            with self.subTest(case):
                root = self.fresh_root("no-launch")
                extra = [case] if case.startswith("--") else []
                if not extra:
                    e2e.write_bytes(os.path.join(root, e2e.DATA_FOLDER, "patcher.ini"),
                                    b"[launcher]\r\nauto_launch=0\r\n")
                self.assertEqual(self.finish(self.start(root, self.server.url(), *extra), root), 0)
                self.assertFalse(os.path.exists(self.record(root)), "the game was started")
                self.assertTrue(os.path.exists(os.path.join(root, "data", "big.bin")))

    def test_a_second_launcher_leaves_and_closing_the_window_stops_the_download(self):
        root = self.fresh_root("second")
        with StallingServer(self.site) as server:
            first = self.start(root, server.url)
            self.assertTrue(server.stalled.wait(120), "the download never began")
            self.assertEqual(self.drive(root, "wait-window", "30000").returncode, 0)
            started = time.monotonic()
            second = self.start(root, server.url)
            self.assertEqual(self.finish(second, root, timeout=60), 0)
            self.assertLess(time.monotonic() - started, 30)
            self.assertEqual(len(self.log_lines(root, "Another launcher is already working on this folder")), 1)
            self.assertEqual(first.poll(), None, "the first launcher ended")
            self.assertEqual(self.drive(root, "close-window").returncode, 0)
            self.assertEqual(self.finish(first, root, timeout=60), 0)
        self.assertEqual(len(self.log_lines(root, "Stopped: ")), 1)
        self.assertEqual(self.log_lines(root, "Update failed"), [])
        self.assertFalse(os.path.exists(self.record(root)))

    def test_a_bad_command_line_is_shown_in_a_message_box_and_exits_with_1(self):
        root = self.fresh_root("bad-option")
        process = self.start(root, self.server.url(), "--colour", "blue")
        shown = self.drive(root, "message", "60000")
        self.assertEqual(shown.returncode, 0, "no message box")
        self.assertTrue(shown.stdout.startswith("Unknown command-line option --colour. Supported: --root <folder>"),
                        shown.stdout)
        self.assertEqual(self.finish(process, root, timeout=60), 1)

    def closed_port_url(self):
        with socket.socket() as probe:  # a port nothing listens on: connections are refused
            probe.bind(("127.0.0.1", 0))
            return "http://127.0.0.1:%d" % probe.getsockname()[1]

    def test_retry_runs_a_new_job_and_close_without_a_game_only_closes(self):
        root = self.fresh_root("retry")
        process = self.start(root, self.closed_port_url())
        answers = []
        for key in ("Return", "alt+c"):  # the default button (Retry), then Close by its access key
            texts = self.dialog_texts(root, "Lanternix", RETRY)
            self.assertEqual(self.focus(root, "Lanternix"), (RETRY, "&Retry"))
            answers.append(texts)
            self.keys("Lanternix", key)
            self.wait_for(lambda: len(self.log_lines(root, "Update failed (network)")) >= len(answers),
                          "the dialog's answer did nothing")
        self.assertEqual(self.finish(process, root, timeout=60), 0)
        for texts in answers:
            self.assertIn("Could not reach the patch server", texts[0])
            # No game on disk: the dialog offers no Bypass, and says why.
            self.assertEqual(texts[1:], [NETWORK_MESSAGE_NO_GAME, "&Retry", "&Manual Patch", "&Close"])
        self.assertEqual(len(self.log_lines(root, "Update failed (network)")), 2)
        self.assertEqual(self.log_lines(root, "Starting the game"), [])
        self.assertFalse(os.path.exists(self.record(root)))

    def test_closing_the_failure_dialog_starts_the_game_only_when_it_is_whole(self):
        """Escape answers Bypass: it starts an installed game, never one whose update is
        recorded as unfinished."""
        root = self.fresh_root("bypass")
        self.assertEqual(self.finish(self.start(root, self.server.url(), "--no-launch"), root), 0)
        state_path = os.path.join(root, e2e.DATA_FOLDER, "state.json")
        whole = e2e.read_bytes(state_path)
        for pending, started in ((True, False), (False, True)):
            with self.subTest(pending=pending):
                if os.path.exists(self.record(root)):
                    os.remove(self.record(root))
                state = json.loads(whole)
                if pending:
                    state["pending"] = state["installed"]
                e2e.write_bytes(state_path, json.dumps(state).encode())
                process = self.start(root, self.closed_port_url())
                texts = self.dialog_texts(root, "Lanternix", RETRY)
                self.assertEqual(texts[1:], [NETWORK_MESSAGE_NO_GAME if pending else NETWORK_MESSAGE, "&Retry",
                                             "&Manual Patch", "&Close" if pending else "&Bypass"])
                self.keys("Lanternix", "Escape")
                self.assertEqual(self.finish(process, root, timeout=60), 0)
                if started:
                    self.wait_for(lambda: os.path.exists(self.record(root)), "Bypass started no game")
                else:
                    time.sleep(2)
                    self.assertFalse(os.path.exists(self.record(root)), "a half-updated game was started")
        self.assertEqual(len(self.log_lines(root, "Starting the game without a completed update (bypass)")), 1)

    def test_a_game_that_does_not_start_gets_choices_that_end(self):
        root = self.fresh_root("broken-game")
        process = self.start(root, self.server.url("broken"))
        shown = []
        for key in ("Return", "alt+p", "Escape"):  # Try again, Repair, Close
            texts = self.dialog_texts(root, "Lanternix", RETRY, 120000)
            self.assertEqual(self.focus(root, "Lanternix"), (RETRY, "&Try again"))
            shown.append(texts)
            self.keys("Lanternix", key)
            self.wait_for(lambda: len(self.log_lines(root, "Could not start the game")) > len(shown) or
                          process.poll() is not None, "the answer %s did nothing" % key, timeout=120)
        self.assertEqual(self.finish(process, root, timeout=60), 0)
        game = e2e.windows_path(os.path.join(root, e2e.EXECUTABLE)).replace("/", "\\")
        for texts in shown:
            # The whole message: the program, the system's reason and its code.
            self.assertTrue(texts[0].lower().startswith(("Could not start " + game + ": ").lower()), texts[0])
            self.assertRegex(texts[0], r"\(Win32 error \d+\)$")
            self.assertEqual(texts[1:], [START_FAILURE_MESSAGE, "&Try again", "Re&pair", "&Close"])
        self.assertEqual(len(self.log_lines(root, "Could not start the game")), 3)
        self.assertEqual(len(self.log_lines(root, "Repairing the game files after the game did not start")), 1)
        self.assertEqual(len(self.log_lines(root, " channel %s for " % e2e.CHANNEL)), 2)  # the first update and the repair
        self.assertEqual(self.log_lines(root, "Update failed"), [])


class HandOver(LauncherCase):
    """A release with a newer launcher: Lanternix.exe in the game folder moves aside, the
    new build (the same program built as 0.2.0, then 0.3.0) confirms and finishes the
    update; a new launcher that exits at once or never confirms is rolled back."""
    name = "hand_over"
    CHANNEL = "beta"  # not the default: a new launcher that lost --channel would fail

    @classmethod
    def publish_sites(cls):
        launchers = {"v2": (e2e.TOOLS.launcher_next, "0.2.0"), "v3": (e2e.TOOLS.launcher_after, "0.3.0"),
                     "exits": (e2e.TOOLS.game_stand_in, "0.2.0"), "hangs": (e2e.TOOLS.hand_over_stand_in, "0.2.0")}
        if not all(path for path, _ in launchers.values()):
            raise unittest.SkipTest("no --launcher-next, --launcher-after or --hand-over-stand-in given")
        for site, (launcher, version) in launchers.items():
            e2e.publish(os.path.join(cls.site, site), cls.client, "1.0.0", channel=cls.CHANNEL, launcher=launcher,
                        launcher_version=version, sequence=2 if site == "v3" else 1)

    def assertUpdated(self, root, launcher):
        """The client as published, beside `launcher` as the game folder's Lanternix.exe."""
        self.assertMatchesClient(root, self.client, e2e.snapshot(root, ["Lanternix.exe"]))
        self.assertEqual(e2e.sha256_file(os.path.join(root, "Lanternix.exe")), e2e.sha256_file(launcher))

    def installed_launcher(self, root, program):
        shutil.copy2(program, os.path.join(root, "Lanternix.exe"))
        return os.path.join(root, "Lanternix.exe")

    def run_chain(self, root, site, handed_over=True, **environment):
        """Runs the game folder's launcher until the launcher it hands over to is done."""
        removed = len(self.log_lines(root, "Removed the previous launcher"))
        process = self.start(root, self.server.url(site), "--channel", self.CHANNEL, "--no-launch",
                             program=os.path.join(root, "Lanternix.exe"), environment=environment)
        self.assertEqual(self.finish(process, root), 0)
        if not handed_over:
            return
        # The new launcher is no child of this test: its last step tells it is done.
        deadline = time.monotonic() + 120
        while len(self.log_lines(root, "Removed the previous launcher")) == removed:
            self.assertLess(time.monotonic(), deadline, e2e.log_since(root, 0))
            time.sleep(0.2)
        self.assertEqual(self.drive(root, "wait-gone", "60000").returncode, 0)

    def arguments_of_launchers(self, root):
        return [line.split("Arguments: ", 1)[1].split() for line in self.log_lines(root, "Arguments: ")]

    def test_newer_launchers_take_over_and_pass_on_the_options_once(self):
        root = self.fresh_root("chain")
        self.installed_launcher(root, e2e.TOOLS.launcher)
        self.run_chain(root, "v2")
        self.assertUpdated(root, e2e.TOOLS.launcher_next)
        self.assertFalse(os.path.exists(os.path.join(root, e2e.DATA_FOLDER, "Lanternix.old.exe")))
        # Then 0.3.0 is published: the launcher that took over hands over in its turn.
        self.run_chain(root, "v3")
        self.assertUpdated(root, e2e.TOOLS.launcher_after)
        self.assertFalse(os.path.exists(os.path.join(root, e2e.DATA_FOLDER, "Lanternix.old.exe")))
        for version in ("0.1.0", "0.2.0", "0.3.0"):
            starts = self.log_lines(root, "launcher %s starting in patch mode" % version)
            self.assertEqual(len(starts), 2 if version == "0.2.0" else 1, version)
        self.assertEqual(len(self.log_lines(root, "Handed over to the updated launcher")), 2)
        self.assertEqual(len(self.log_lines(root, "Removed the previous launcher")), 2)
        for arguments in self.arguments_of_launchers(root):
            for option in ("--root", "--channel", "--no-launch"):
                self.assertEqual(arguments.count(option), 1, arguments)
            self.assertEqual(arguments[arguments.index("--channel") + 1], self.CHANNEL)
            self.assertLessEqual(arguments.count("--after-update"), 1, arguments)
            self.assertEqual(arguments.count("--wait-pid"), arguments.count("--after-update"), arguments)

    def test_a_new_launcher_that_exits_or_never_answers_is_rolled_back(self):
        for site, reason in (("exits", "it exited"), ("hangs", "no answer in 30 s")):
            with self.subTest(site):
                root = self.fresh_root(site)
                self.installed_launcher(root, e2e.TOOLS.launcher)
                self.run_chain(root, site, handed_over=False, LANTERNIX_STAND_IN="hang")
                self.assertUpdated(root, e2e.TOOLS.launcher)
                self.assertEqual(len(self.log_lines(
                    root, "The new launcher did not start properly (%s); keeping this one" % reason)), 1)
                self.assertEqual(len(self.log_lines(root, "Continuing with launcher 0.1.0")), 1)


class Setup(LauncherCase):
    """Lanternix.exe started outside a game folder installs the game into the page's
    default folder (the per-user programs folder of the tests' Wine prefix), registers it
    and makes its shortcuts; the installed launcher uninstalls exactly what it installed."""
    name = "setup"
    SETUP_TITLE = "Kaldren Morvale Setup"
    KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\KaldrenMorvale"
    INSTALL, START_GAME, OK, YES, NO = "100", "200", "1", "6", "7"

    @classmethod
    def publish_sites(cls):
        if not e2e.TOOLS.launcher_next:
            raise unittest.SkipTest("no --launcher-next given")
        e2e.publish(os.path.join(cls.site, "same"), cls.client, "1.0.0", launcher=e2e.TOOLS.launcher)
        e2e.publish(os.path.join(cls.site, "newer"), cls.client, "1.0.0", launcher=e2e.TOOLS.launcher_next,
                    launcher_version="0.2.0")
        # A client with one file nested deeper than the default folder can hold without long paths.
        deep = "data/" + "/".join(letter * 50 for letter in "abcd") + "/file.txt"
        cls.deep_client = e2e.write_client(os.path.join(cls.work, "deep-client"),
                                           {e2e.EXECUTABLE: b"game", deep: b"deep down\n"})
        e2e.publish(os.path.join(cls.site, "deep"), cls.deep_client, "1.0.0", launcher=e2e.TOOLS.launcher)

    @classmethod
    def prefix(cls):
        folder = os.path.dirname(os.path.abspath(e2e.TOOLS.launcher))
        while not os.path.exists(os.path.join(folder, "CMakeCache.txt")):
            folder = os.path.dirname(folder)
        return os.path.join(folder, "wineprefix")

    def user_folder(self, *parts):
        users = os.path.join(self.prefix(), "drive_c", "users")
        name = next(entry for entry in sorted(os.listdir(users)) if entry != "Public")
        return os.path.join(users, name, *parts)

    def default_root(self):
        return self.user_folder("AppData", "Local", "Programs", "Kaldren Morvale")

    def temp_log(self, name):
        for temp in (("Temp",), ("AppData", "Local", "Temp")):  # Wine's, then Windows' place
            path = self.user_folder(*temp, "KaldrenMorvale-%s.log" % name)
            if os.path.exists(path):
                with open(path, encoding="utf-8", errors="replace") as f:
                    return f.read()
        return ""

    def registration(self):
        """The registration's values as `reg query` prints them, or None."""
        done = subprocess.run([e2e.TOOLS.wine_run, "reg", "query", self.KEY], capture_output=True, text=True,
                              env=dict(os.environ, LANTERNIX_WINEPREFIX=self.prefix()), timeout=60)
        if done.returncode != 0:
            return None
        return {fields[0]: fields[-1] for fields in (line.split(None, 2) for line in done.stdout.splitlines())
                if len(fields) == 3 and fields[1].startswith("REG_")}

    def clean_slate(self):
        root = self.default_root()
        shutil.rmtree(root, ignore_errors=True)
        if os.path.exists(self.record(root)):
            os.remove(self.record(root))
        subprocess.run([e2e.TOOLS.wine_run, "reg", "delete", self.KEY, "/f"], capture_output=True,
                       env=dict(os.environ, LANTERNIX_WINEPREFIX=self.prefix()), timeout=60)
        return root

    def start_setup(self, site, *extra):
        return subprocess.Popen([e2e.TOOLS.wine_run, e2e.TOOLS.launcher, "--base-url", self.server.url(site), *extra],
                                env=self.environment(self.work), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, start_new_session=True)

    def setup(self, site, *extra, keys=("Return",)):
        """Runs setup against `site`; once the page knows the download, the focus is on
        Install again and `keys` answer the page."""
        process = self.start_setup(site, *extra)
        page = self.drive(self.work, "texts", self.SETUP_TITLE, self.INSTALL, "90000")
        self.assertEqual(page.returncode, 0, "no install page; setup log:\n" + self.temp_log("setup"))
        self.assertIn("Download: ", page.stdout)
        self.assertEqual(self.focus(self.work, self.SETUP_TITLE), (int(self.INSTALL), "&Install"))
        for key in keys:
            if key == "Tab-to-shortcut":  # Tab through the page until the check box has the focus
                for _ in range(12):
                    if self.focus(self.work, self.SETUP_TITLE)[1] == "Create a desktop shortcut":
                        break
                    self.keys(self.SETUP_TITLE, "Tab")
                self.assertEqual(self.focus(self.work, self.SETUP_TITLE)[1], "Create a desktop shortcut")
            else:
                self.keys(self.SETUP_TITLE, key)
        self.assertEqual(self.finish(process, self.work), 0, self.temp_log("setup"))
        return page.stdout

    def launcher(self, root, *arguments, environment=None):
        return subprocess.Popen([e2e.TOOLS.wine_run, os.path.join(root, "Lanternix.exe"), *arguments],
                                env=dict(self.environment(root), **(environment or {})), stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)


    def test_a_second_setup_leaves_the_first_and_cancelling_installs_nothing(self):
        root = self.clean_slate()
        log_before = self.temp_log("setup")
        first = self.start_setup("same")
        self.wait_for(lambda: self.temp_log("setup").count("Release signature verified")
                      > log_before.count("Release signature verified"), "the first setup never read the release")
        second = self.start_setup("same")
        self.assertEqual(self.finish(second, self.work, timeout=60), 0)
        self.assertEqual(first.poll(), None, "the first setup ended")
        self.dialog_texts(self.work, self.SETUP_TITLE, self.INSTALL)
        self.keys(self.SETUP_TITLE, "Escape")  # cancels, also once Install had been disabled
        self.assertEqual(self.finish(first, self.work, timeout=60), 0)
        added = self.temp_log("setup")[len(log_before):]
        self.assertEqual((added.count("Another setup is already running"), added.count("Setup cancelled")), (1, 1))
        self.assertFalse(os.path.exists(root))

    def test_setup_into_a_folder_a_launcher_works_on_exits_with_1(self):
        root = self.clean_slate()
        # The lock is named after the folder as spelled: spell it as setup will.
        windows_root = "C:\\users\\%s\\AppData\\Local\\Programs\\Kaldren Morvale" % os.path.basename(self.user_folder())
        with StallingServer(os.path.join(self.site, "same")) as server:
            busy = subprocess.Popen([e2e.TOOLS.wine_run, e2e.TOOLS.launcher, "--root", windows_root, "--base-url",
                                     server.url], env=self.environment(root), stdin=subprocess.DEVNULL,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
            self.assertTrue(server.stalled.wait(120), "the download never began")
            setup = self.start_setup("same")
            self.assertEqual(self.drive(self.work, "press", self.SETUP_TITLE, self.INSTALL, "90000").returncode, 0)
            refused = self.drive(self.work, "press", "Kaldren Morvale", self.OK, "60000")
            self.assertIn("Another launcher is working on that folder. Wait for it to finish.", refused.stdout)
            self.assertEqual(self.finish(setup, self.work, timeout=60), 1)
            self.assertEqual(self.drive(root, "close-window").returncode, 0)
            self.assertEqual(self.finish(busy, root, timeout=60), 0)

    def test_setup_installs_and_uninstall_removes_only_what_it_installed(self):
        root = self.clean_slate()
        self.setup("same", "--no-launch")
        launcher = os.path.join(root, "Lanternix.exe")
        self.assertMatchesClient(root, self.client, e2e.snapshot(root, ["Lanternix.exe"]))
        self.assertEqual(e2e.sha256_file(launcher), e2e.sha256_file(e2e.TOOLS.launcher))
        self.assertEqual(e2e.read_bytes(os.path.join(root, e2e.DATA_FOLDER, "patcher.ini")),
                         b"; Written by the setup from its command line.\r\n[server]\r\nbase_url="
                         + self.server.url("same").encode() + b"\r\n")
        self.assertEqual(len(self.log_lines(root, "Created shortcut ")), 2)
        start_menu = self.user_folder("AppData", "Roaming", "Microsoft", "Windows", "Start Menu", "Programs",
                                      "Kaldren Morvale.lnk")
        self.assertTrue(os.path.isfile(start_menu))
        values = self.registration()
        windows_root = self.log_lines(root, "Registered the installation at ")[0].split(" at ", 1)[1]
        self.assertEqual((values["DisplayName"], values["DisplayVersion"], values["InstallLocation"]),
                         ("Kaldren Morvale", "1.0.0", windows_root))
        self.assertEqual(values["UninstallString"], '"%s\\Lanternix.exe" --uninstall' % windows_root)

        # Setup again, now without sources: the page offers the installed game, whose
        # launcher reads the sources setup wrote and starts the game.
        process = subprocess.Popen([e2e.TOOLS.wine_run, e2e.TOOLS.launcher], env=self.environment(root),
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                   start_new_session=True)
        self.dialog_texts(root, self.SETUP_TITLE, self.START_GAME)
        self.keys(self.SETUP_TITLE, "Return")  # the default: start the game
        self.assertEqual(self.finish(process, root), 0)
        self.wait_for(lambda: os.path.exists(self.record(root)), "the installed launcher started no game")
        self.assertEqual(self.drive(root, "wait-gone", "60000").returncode, 0)

        # Declined, and refused while the game runs: nothing changes.
        kept = [path for path in e2e.client_files(root) if not path.startswith(e2e.DATA_FOLDER + "/logs/")]
        before = e2e.snapshot(root, kept)
        process = self.launcher(root, "--uninstall")
        self.dialog_texts(root, "Kaldren Morvale", self.NO)
        # No by its access key (Wine's task dialog ignores Escape when it has no Cancel button).
        self.keys("Kaldren Morvale", "alt+n")
        self.assertEqual(self.finish(process, root), 0)
        game = subprocess.Popen([e2e.TOOLS.wine_run, os.path.join(root, e2e.EXECUTABLE)], start_new_session=True,
                                env=dict(self.environment(root), LANTERNIX_TEST_GAME_STAY="120000"))
        try:
            starts = e2e.read_bytes(self.record(root)).count(b"\n")
            self.wait_for(lambda: e2e.read_bytes(self.record(root)).count(b"\n") > starts, "the game never ran")
            self.assertEqual(self.finish(self.launcher(root, "--uninstall", "--quiet"), root), 1)
        finally:
            e2e.kill_process_group(game)
        self.assertEqual(len(self.log_lines(root, "Uninstall refused: the game is running")), 1)
        self.assertEqual(e2e.snapshot(root, kept), before)

        # The uninstall: a player's screenshot stays, and so does the folder holding it.
        e2e.write_bytes(os.path.join(root, "screenshots", "shot.png"), b"a picture")
        process = self.launcher(root, "--uninstall")
        self.dialog_texts(root, "Kaldren Morvale", self.YES)
        self.keys("Kaldren Morvale", "alt+y")
        self.assertEqual(self.finish(process, root), 0)
        done = self.drive(self.work, "texts", "Kaldren Morvale", self.OK, "120000")
        self.assertEqual(done.returncode, 0, self.temp_log("uninstall"))
        self.assertIn("Files you added are still in:", done.stdout)
        self.keys("Kaldren Morvale", "Return")
        self.wait_for(lambda: "Uninstall removed" in self.temp_log("uninstall"), "the uninstall never ended")
        self.assertIn("Uninstall removed 3 files, 0 failed, folder removed: false", self.temp_log("uninstall"))
        # The copy in the temporary folder goes too, once it has ended.
        self.wait_for(lambda: not any(os.path.exists(self.user_folder(*temp, "KaldrenMorvale-uninstall.exe"))
                                      for temp in (("Temp",), ("AppData", "Local", "Temp"))),
                      "the uninstaller copy stayed")
        self.assertEqual(list(e2e.client_files(root)), ["screenshots/shot.png"])
        self.assertIsNone(self.registration())
        self.assertFalse(os.path.exists(start_menu))

    def test_a_folder_too_deep_for_the_client_is_refused_before_anything_is_written(self):
        root = self.clean_slate()
        process = self.start_setup("deep")
        self.dialog_texts(self.work, self.SETUP_TITLE, self.INSTALL)
        self.keys(self.SETUP_TITLE, "Return")
        refusal = "\n".join(self.dialog_texts(self.work, "Kaldren Morvale", self.OK))
        self.assertIn("This folder cannot be used", refusal)
        self.assertIn("That folder is nested too deeply for Windows to hold every game file", refusal)
        self.keys("Kaldren Morvale", "Return")
        self.dialog_texts(self.work, self.SETUP_TITLE, self.INSTALL)  # the page stays for another folder
        self.keys(self.SETUP_TITLE, "Escape")
        self.assertEqual(self.finish(process, self.work, timeout=60), 0)
        self.assertEqual(list(e2e.client_files(root)) if os.path.exists(root) else [], [])
        self.assertIsNone(self.registration())

    def test_the_uninstall_removes_nothing_it_cannot_remove_safely(self):
        """An uninstall run from a folder that is no installation, over records it cannot
        read, while the game was started meanwhile, or while a launcher holds the folder:
        each exits non-zero and leaves every file where it was."""
        root = self.fresh_root("refusing")
        launcher = os.path.join(root, "Lanternix.exe")
        shutil.copy2(e2e.TOOLS.launcher, launcher)
        self.assertEqual(self.finish(self.launcher(root, "--root", e2e.windows_path(root), "--base-url",
                                                   self.server.url("same"), "--no-launch"), root), 0)
        downloads = self.fresh_root("downloads")
        shutil.copy2(e2e.TOOLS.launcher, os.path.join(downloads, "Lanternix.exe"))
        e2e.write_bytes(os.path.join(downloads, "notes.txt"), b"the player's")
        state_path = os.path.join(root, e2e.DATA_FOLDER, "state.json")
        whole_state = e2e.read_bytes(state_path)
        finisher = os.path.join(self.fresh_root("finisher"), "KaldrenMorvale-uninstall.exe")
        finish = ["--uninstall-finish", "--root", e2e.windows_path(root), "--quiet"]

        def uninstall(folder, *arguments, program=None):
            return self.finish(subprocess.Popen([e2e.TOOLS.wine_run, program or os.path.join(folder, "Lanternix.exe"),
                                                 *arguments], env=self.environment(folder), stdin=subprocess.DEVNULL,
                                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                                start_new_session=True), folder)

        def garbled_state():
            e2e.write_bytes(state_path, b"{{")
            return None

        def game_started():
            return subprocess.Popen([e2e.TOOLS.wine_run, os.path.join(root, e2e.EXECUTABLE)], start_new_session=True,
                                    env=dict(self.environment(root), LANTERNIX_TEST_GAME_STAY="120000"))

        def launcher_busy():
            os.remove(os.path.join(root, "data", "big.bin"))  # something to download, held back
            self.stalling = StallingServer(os.path.join(self.site, "same")).__enter__()
            busy = self.launcher(root, "--root", e2e.windows_path(root), "--base-url", self.stalling.url)
            self.assertTrue(self.stalling.stalled.wait(120), "the busy launcher never downloaded")
            return busy

        cases = (("no installation", downloads, ["--uninstall", "--quiet"], None, None, 2),
                 ("garbled state", root, ["--uninstall", "--quiet"], None, garbled_state, 2),
                 ("game started meanwhile", root, finish, finisher, game_started, 1),
                 ("launcher holds the folder", root, finish, finisher, launcher_busy, 1))
        for what, folder, arguments, program, prepare, code in cases:
            with self.subTest(what):
                e2e.write_bytes(state_path, whole_state)
                if program:
                    shutil.copy2(e2e.TOOLS.launcher, program)  # the last one removed itself
                if what == "game started meanwhile":
                    starts = e2e.read_bytes(self.record(root)).count(b"\n") if os.path.exists(self.record(root)) else 0
                running = prepare() if prepare else None
                kept = [path for path in e2e.client_files(folder) if "/logs/" not in path]
                before = e2e.snapshot(folder, kept)
                try:
                    if what == "game started meanwhile":
                        self.wait_for(lambda: os.path.exists(self.record(root)) and
                                      e2e.read_bytes(self.record(root)).count(b"\n") > starts, "the game never ran")
                    self.assertEqual(uninstall(folder, *arguments, program=program), code)
                finally:
                    if running is not None:
                        if what == "launcher holds the folder":
                            self.drive(root, "close-window")
                            self.finish(running, root, timeout=60)
                            self.stalling.__exit__()
                        else:
                            e2e.kill_process_group(running)
                self.assertEqual(e2e.snapshot(folder, kept), before)
                self.assertTrue(os.path.exists(os.path.join(folder, "Lanternix.exe")))
                if program:  # the finishing copy is removed once it has ended, refused or not
                    self.wait_for(lambda: not os.path.exists(program), "the uninstaller copy stayed")
        self.assertEqual(e2e.read_bytes(os.path.join(downloads, "notes.txt")), b"the player's")
        self.assertEqual(len(self.log_lines(downloads, "Uninstall refused: ")), 1)
        self.assertIn("Uninstall refused: The launcher's record of the installed files", e2e.log_since(root, 0))
        uninstall_log = self.temp_log("uninstall")
        self.assertIn("Uninstall refused: the game is running", uninstall_log)
        self.assertIn("Uninstall stopped: another launcher is working on this folder", uninstall_log)

    def test_dlls_planted_beside_the_setup_are_never_loaded(self):
        """A setup started from a Downloads folder holding DLLs named like the system's it
        uses (WinHTTP to read the release, CNG to verify it): under the override that
        makes Wine load a planted file, the ordinary importer loads every one; the setup,
        reading and verifying the release, none."""
        if not e2e.TOOLS.direct_importer:
            self.skipTest("no --direct-importer given")
        planted = os.path.join(os.path.dirname(e2e.TOOLS.direct_importer), "planted")
        names = ("winhttp.dll", "bcrypt.dll", "rstrtmgr.dll")
        override = {"LANTERNIX_WINEDLLOVERRIDES": "winhttp,bcrypt,rstrtmgr=n,b"}
        for program, loads in ((e2e.TOOLS.direct_importer, True), (e2e.TOOLS.launcher, False)):
            with self.subTest(os.path.basename(program)):
                downloads = os.path.join(self.work, "downloads", os.path.basename(program))
                shutil.rmtree(downloads, ignore_errors=True)
                os.makedirs(downloads)
                for name in names:
                    shutil.copy2(os.path.join(planted, name), downloads)
                copy = os.path.join(downloads, os.path.basename(program))
                shutil.copy2(program, copy)
                command = [e2e.TOOLS.wine_run, copy]
                if not loads:
                    self.clean_slate()
                    command += ["--base-url", self.server.url("same")]
                process = subprocess.Popen(command, env=dict(self.environment(self.work), **override),
                                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                           stderr=subprocess.DEVNULL, start_new_session=True)
                if not loads:
                    self.assertIn("Download: ", "\n".join(self.dialog_texts(self.work, self.SETUP_TITLE, self.INSTALL)))
                    self.keys(self.SETUP_TITLE, "Escape")
                self.assertEqual(self.finish(process, self.work, timeout=120), 0)
                markers = sorted(name for name in names if os.path.exists(os.path.join(downloads, name + ".loaded")))
                self.assertEqual(markers, sorted(names) if loads else [])

    def test_a_newer_launcher_in_the_release_makes_the_first_update(self):
        root = self.clean_slate()
        # Keyboard only: Tab to the check box, untick it, Install by its access key.
        self.setup("newer", "--no-launch", keys=("Tab-to-shortcut", "space", "alt+i"))
        # The release's launcher continues in the folder; it is no child of this test.
        self.wait_for(lambda: self.log_lines(root, "Updated to client 1.0.0") or self.log_lines(root, "Update failed"),
                      "the installed launcher never finished")
        self.assertEqual(self.drive(root, "wait-gone", "60000").returncode, 0)
        self.assertEqual(len(self.log_lines(root, "Installed launcher 0.2.0 from the release")), 1)
        self.assertEqual(len(self.log_lines(root, "launcher 0.2.0 starting in patch mode")), 1)
        self.assertEqual(len(self.log_lines(root, "Created shortcut ")), 1)  # the Start menu's only
        self.assertMatchesClient(root, self.client, e2e.snapshot(root, ["Lanternix.exe"]))
        self.assertEqual(e2e.sha256_file(os.path.join(root, "Lanternix.exe")),
                         e2e.sha256_file(e2e.TOOLS.launcher_next))
        self.assertFalse(os.path.exists(self.record(root)), "--no-launch was not passed on")
        # Only launcher-installed files: a quiet uninstall leaves no folder behind.
        self.assertEqual(self.finish(self.launcher(root, "--uninstall", "--quiet"), root), 0)
        self.wait_for(lambda: not os.path.exists(root), "the game folder was left")
        self.assertIsNone(self.registration())


if __name__ == "__main__":
    e2e.main("e2e_launcher")
