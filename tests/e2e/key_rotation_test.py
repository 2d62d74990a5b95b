#!/usr/bin/env python3
"""Rotating the release key, end to end with Lanternix.exe under Wine: a release signed
by the old and the new key names a launcher that trusts both (0.4.0); the launcher of
today (trusting the old key) hands over to it; releases signed by the new key alone are
then accepted; a release naming a launcher that trusts only the new key (0.5.0) drops the
old key, after which a release signed only by the old key is refused and installs
nothing. A launcher that missed the hand-over refuses the new key's releases."""
import os
import shutil
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_support as e2e  # noqa: E402
from launcher_test import BYPASS, LauncherCase  # noqa: E402

NOT_SIGNED = "The update from the patch server is not signed by a trusted release key"


class KeyRotation(LauncherCase):
    name = "key_rotation"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # The X server ends once its last client has gone, and Wine's desktop leaves soon
        # after the last window: between two launchers (one still leaving, the next
        # waiting for its lock) a client of our own keeps the display.
        cls.keeper = subprocess.Popen(["xprop", "-display", cls.x_server.display, "-root", "-spy"],
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    @classmethod
    def tearDownClass(cls):
        e2e.stop_process(cls.keeper)
        super().tearDownClass()

    @classmethod
    def publish_sites(cls):
        """One site per step, each a copy of the one before with one more release: all made
        before the X server starts, which ends by itself once no window has been open."""
        if not (e2e.TOOLS.launcher_both_keys and e2e.TOOLS.launcher_new_key and e2e.TOOLS.other_keys):
            raise unittest.SkipTest("no --launcher-both-keys, --launcher-new-key or --other-key given")
        old_key, new_key = e2e.TOOLS.key, e2e.TOOLS.other_keys[0]
        steps = [
            # 1. Signed by both keys, naming 0.4.0 (trusts both).
            ("1.0.0", e2e.TOOLS.launcher_both_keys, "0.4.0", [old_key, new_key]),
            # 2. After the hand-over the new key alone signs.
            ("1.0.1", e2e.TOOLS.launcher_both_keys, "0.4.0", [new_key]),
            # 3. The old key is dropped: 0.5.0 trusts the new key alone.
            ("1.0.2", e2e.TOOLS.launcher_new_key, "0.5.0", [new_key]),
        ]
        cls.clients = []
        previous = None
        for number, (version, launcher, launcher_version, keys) in enumerate(steps, 1):
            site = os.path.join(cls.site, "step%d" % number)
            if previous:
                shutil.copytree(previous, site)
            e2e.write_client(cls.client, {"data/version.txt": version.encode()})
            e2e.publish(site, cls.client, version, launcher=launcher, launcher_version=launcher_version, keys=keys)
            cls.clients.append(shutil.copytree(cls.client, os.path.join(cls.work, "client-" + version)))
            previous = site
        # 4. A release signed by the old key alone (a stolen one).
        stolen = os.path.join(cls.site, "step4")
        shutil.copytree(previous, stolen)
        e2e.resign_release(stolen, lambda payload: payload.update(sequence=payload["sequence"] + 1), keys=[old_key])

    def run_launcher(self, root, step, handed_over):
        """Runs the game folder's launcher (and the one it hands over to) to the end."""
        removed = len(self.log_lines(root, "Removed the previous launcher"))
        # The launcher a hand-over started may still be on its way out, holding the
        # folder's lock for a moment after its window has gone: then this one leaves at
        # once, and is started again.
        deadline = time.monotonic() + 60
        while True:
            busy = len(self.log_lines(root, "Another launcher is already working on this folder"))
            process = self.start(root, self.server.url("step%d" % step), "--no-launch",
                                 program=os.path.join(root, "Lanternix.exe"))
            self.assertEqual(self.finish(process, root), 0, e2e.log_since(root, 0))
            if len(self.log_lines(root, "Another launcher is already working on this folder")) == busy:
                break
            self.assertLess(time.monotonic(), deadline, "the folder stayed locked")
            time.sleep(1)
        if handed_over:
            self.wait_for(lambda: len(self.log_lines(root, "Removed the previous launcher")) > removed,
                          "the new launcher never finished")
            self.assertEqual(self.drive(root, "wait-gone", "60000").returncode, 0)

    def wait_for(self, condition, what, timeout=120):
        deadline = time.monotonic() + timeout
        while not condition():
            self.assertLess(time.monotonic(), deadline, what)
            time.sleep(0.2)

    def assertLauncher(self, root, client, launcher):
        self.assertMatchesClient(root, client, e2e.snapshot(root, ["Lanternix.exe"]))
        self.assertEqual(e2e.sha256_file(os.path.join(root, "Lanternix.exe")), e2e.sha256_file(launcher))

    def test_a_key_is_rotated_through_a_launcher_that_trusts_both(self):
        root = self.fresh_root("rotation")
        e2e.write_bytes(os.path.join(root, "Lanternix.exe"), e2e.read_bytes(e2e.TOOLS.launcher))

        # 1. Today's launcher checks the old key's signature and hands over to 0.4.0.
        self.run_launcher(root, 1, handed_over=True)
        self.assertLauncher(root, self.clients[0], e2e.TOOLS.launcher_both_keys)
        stranded = e2e.copy_game(root, os.path.join(self.work, "stranded"))

        # 2. 0.4.0 accepts a release signed by the new key alone...
        self.run_launcher(root, 2, handed_over=False)
        self.assertLauncher(root, self.clients[1], e2e.TOOLS.launcher_both_keys)
        # ... which a launcher trusting only the old key (one that missed the hand-over) refuses.
        before = e2e.installed_state(stranded)
        run = e2e.run_update(stranded, self.server.url("step2"))
        self.assertExit(run, e2e.EXIT_SECURITY)
        self.assertEqual(run.stderr, "lanternix-update: %s (security)\n" % NOT_SIGNED)
        self.assertInstalledNothing(stranded, before)

        # 3. 0.5.0 drops the old key.
        self.run_launcher(root, 3, handed_over=True)
        self.assertLauncher(root, self.clients[2], e2e.TOOLS.launcher_new_key)
        self.run_launcher(root, 3, handed_over=False)  # nothing to do; 0.5.0 accepts the new key

        # 4. A release signed by the old key alone is refused and installs nothing.
        before = e2e.installed_state(root)
        process = self.start(root, self.server.url("step4"), "--no-launch", program=os.path.join(root, "Lanternix.exe"))
        answer = self.drive(root, "answer", str(BYPASS), "60000")
        self.assertEqual(answer.returncode, 0, "no failure dialog; log:\n" + e2e.log_since(root, 0))
        self.assertIn(NOT_SIGNED, answer.stdout)
        self.finish(process, root, timeout=60)
        self.assertTrue(self.log_lines(root, "Update failed (security): " + NOT_SIGNED))
        self.assertTrue(self.log_lines(root, "Ignoring the release from patch source 0: " + NOT_SIGNED))
        self.assertEqual(e2e.snapshot(root), before["files"])
        self.assertEqual(e2e.launcher_records(root), before["records"])
        for version in ("0.1.0", "0.4.0", "0.5.0"):
            self.assertTrue(self.log_lines(root, "launcher %s starting in patch mode" % version), version)


if __name__ == "__main__":
    e2e.main("e2e_key_rotation")
