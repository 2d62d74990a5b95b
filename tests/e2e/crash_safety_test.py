#!/usr/bin/env python3
"""lanternix-update killed (SIGKILL, no chance to clean up) at many points of a fresh
install and of an update, while downloading and while installing, or stopped with Ctrl+C
(SIGINT, which Wine hands to the console handler); the next run must leave the folder
exactly as the release says, keep the player's files, leave no partial or temporary file
and no staging folder, and index every file so a further run hashes nothing. The kill
points follow the phases: a calibration run measures how long the download and the
install take, and the kills land at fractions of those spans.

Run one class alone by naming it: crash_safety_test.py ... FreshInstallCrashes"""
import json
import os
import shutil
import signal
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_support as e2e  # noqa: E402

DOWNLOADING = "Downloading updates..."
INSTALLING = "Installing updates..."
# (phase line, fraction of the phase's calibrated length after which the run is killed)
KILL_POINTS = [(DOWNLOADING, 0.05), (DOWNLOADING, 0.3), (DOWNLOADING, 0.6), (DOWNLOADING, 0.9),
               (INSTALLING, 0.0), (INSTALLING, 0.3), (INSTALLING, 0.6)]
USER_EXTRA = {"data/pack01/user-mod.txt": b"a player's file inside a game folder\n"}


def staging_contents(game):
    """(partial downloads, staged contents) in the staging folder."""
    folder = os.path.join(game, e2e.DATA_FOLDER, "staging")
    # Staged files sit in sub-folders named by their digest's first digits.
    names = [name for _, _, files in os.walk(folder) for name in files]
    return [n for n in names if n.endswith(".part")], [n for n in names if len(n) == 64]


PHASES = {DOWNLOADING: "download", INSTALLING: "install"}


def landing(update, ended):
    """Where a kill landed: the last phase the run announced before it died."""
    if ended is not None:
        return "after the end (exit %d)" % ended
    phase = "before download"
    for _, line in update.lines:
        phase = PHASES.get(line, phase)
    return phase


class CrashSafety(e2e.E2ETestCase):
    """Shared steps; the subclasses prepare the clients and the starting folders."""


    @classmethod
    def calibrate(cls, game):
        """One uninterrupted run with phase timings: (download seconds, install seconds, run)."""
        update = e2e.BackgroundUpdate(game, cls.server.url())
        downloading = update.wait_for_line(DOWNLOADING)
        installing = update.wait_for_line(INSTALLING)
        run = update.wait()
        assert run.returncode == 0 and downloading and installing, run.describe()
        finished = max(at for at, line in update.lines if line is not None)
        return installing - downloading, finished - installing, run

    def kill_during(self, game, line, delay):
        """Starts a run, kills it `delay` seconds after `line` appeared; returns where it landed."""
        update = e2e.BackgroundUpdate(game, self.server.url())
        at = update.wait_for_line(line)
        if at is None:
            update.kill()
            self.fail("the run ended before %r:\n%s" % (line, update.result().describe()))
        pause = at + delay - time.monotonic()
        if pause > 0:
            time.sleep(pause)
        ended = update.kill()
        return landing(update, ended)

    def stop_with_ctrl_c(self, game, line, delay):
        """Ctrl+C `delay` seconds after `line`: the run must end promptly as cancelled."""
        update = e2e.BackgroundUpdate(game, self.server.url())
        at = update.wait_for_line(line)
        self.assertIsNotNone(at, "the run ended before %r" % line)
        pause = at + delay - time.monotonic()
        if pause > 0:
            time.sleep(pause)
        update.signal(signal.SIGINT)
        asked = time.monotonic()
        run = update.wait(timeout=60)
        stopped_after = time.monotonic() - asked
        self.assertExit(run, 17)
        self.assertEqual(run.stderr, "lanternix-update: The launcher was closed (cancelled)\n")
        self.assertEqual(len(run.log_lines("ERROR", "Update failed (cancelled): The launcher was closed")), 1,
                         run.log)
        self.assertLess(stopped_after, 10, "Ctrl+C took too long to stop the run")
        return run

    def assertRecovers(self, game, client, version, user_files, allow_empty_folders=False):
        """The run after a crash completes the job; one more run finds nothing to do."""
        self.server.clear_log()
        run = e2e.run_update(game, self.server.url())
        self.assertExit(run, 0)
        self.assertMatchesClient(game, client, user_files, allow_empty_folders)
        self.assertNoLeftovers(game)
        with open(os.path.join(game, e2e.DATA_FOLDER, "state.json")) as f:
            state = json.load(f)
        self.assertEqual(state["installed"]["version"], version)
        self.assertNotIn("pending", state)
        again = e2e.run_update(game, self.server.url())
        self.assertExit(again, 0)
        self.assertIn("Client %s is up to date" % version, again.log)
        self.assertEqual(again.log_lines(containing="Verifying"), [], "files left out of the index")
        return run

    def run_kill_points(self, prepare, client, version, full_transfer):
        """Each kill point on a freshly prepared folder, then recovery; returns the landings."""
        landings = []
        for index, (line, fraction) in enumerate(KILL_POINTS):
            span = self.download_seconds if line == DOWNLOADING else self.install_seconds
            with self.subTest(line=line, fraction=fraction):
                game, user_files = prepare(index)
                where = self.kill_during(game, line, fraction * span)
                partial, staged = staging_contents(game)
                recovery = self.assertRecovers(game, client, version, user_files)
                moved = sum(size for _, _, size in self.server.requests_with_sizes())
                landings.append(where)
                print("  kill %.2f s after %r: landed in %s (%d staged, %d partial); recovery %.1f s, %s fetched"
                      % (fraction * span, line, where, len(staged), len(partial), recovery.seconds,
                         e2e.format_size(moved)), flush=True)
                if where == "download" and staged:
                    # What was verified before the crash is not fetched again.
                    self.assertLess(moved, full_transfer)
        # The kills must really have hit both phases, or this test proves nothing.
        self.assertGreaterEqual(landings.count("download"), 2, landings)
        self.assertGreaterEqual(landings.count("install"), 1, landings)
        return landings


class FreshInstallCrashes(CrashSafety):
    @classmethod
    def setUpClass(cls):
        cls.work = work = e2e.work_folder("crash_fresh")
        cls.client = e2e.generate_client(os.path.join(work, "client-1.0.0"), 50, 700, 31)
        site = os.path.join(work, "site")
        e2e.publish(site, cls.client, "1.0.0")
        def prepare():
            e2e.warm_wine()
            calibration = os.path.join(work, "calibration")
            cls.download_seconds, cls.install_seconds, _ = cls.calibrate(calibration)
            cls.full_transfer = sum(size for _, _, size in cls.server.requests_with_sizes())
            print("\n  fresh install: download %.2f s, install %.2f s, %s fetched" % (
                cls.download_seconds, cls.install_seconds, e2e.format_size(cls.full_transfer)), flush=True)
        cls.serve(site, work, prepare)

    def fresh_folder(self, name):
        game = os.path.join(self.work, name)
        shutil.rmtree(game, ignore_errors=True)
        return game, e2e.place_user_files(game, USER_EXTRA)

    def test_install_killed_while_downloading_or_installing_recovers(self):
        self.run_kill_points(lambda index: self.fresh_folder("kill-%d" % index), self.client, "1.0.0",
                             self.full_transfer)

    def test_install_killed_three_times_recovers(self):
        game, user_files = self.fresh_folder("kill-repeatedly")
        where = [self.kill_during(game, DOWNLOADING, 0.3 * self.download_seconds),
                 self.kill_during(game, DOWNLOADING, 0.3 * self.download_seconds),
                 self.kill_during(game, INSTALLING, 0.3 * self.install_seconds)]
        print("  three kills landed in: %s" % ", ".join(where), flush=True)
        self.assertRecovers(game, self.client, "1.0.0", user_files)

    def test_ctrl_c_while_downloading_stops_cleanly_and_the_next_run_resumes(self):
        game, user_files = self.fresh_folder("ctrl-c")
        self.stop_with_ctrl_c(game, DOWNLOADING, 0.4 * self.download_seconds)
        self.assertEqual(e2e.game_files(game), sorted(user_files))
        self.assertRecovers(game, self.client, "1.0.0", user_files)
        self.assertLess(sum(size for _, _, size in self.server.requests_with_sizes()), self.full_transfer)


class UpdateCrashes(CrashSafety):
    @classmethod
    def setUpClass(cls):
        cls.work = work = e2e.work_folder("crash_update")
        cls.client_a = e2e.generate_client(os.path.join(work, "client-1.0.0"), 40, 600, 41)
        cls.client_b = cls.derive(cls.client_a, os.path.join(work, "client-1.0.1"), 1, grow=150, same_size=50,
                                  add=80, remove_every=13, remove_folder="data/pack07")
        cls.client_c = cls.derive(cls.client_b, os.path.join(work, "client-1.0.2"), 2, grow=30, same_size=0,
                                  add=20, remove_every=0, remove_folder="data/new-1")
        site = os.path.join(work, "site")
        cls.releases = {}
        for version, client in (("1.0.0", cls.client_a), ("1.0.1", cls.client_b), ("1.0.2", cls.client_c)):
            e2e.publish(site, client, version)
            cls.releases[version] = e2e.read_bytes(e2e.release_file(site))
        cls.site = site
        cls.use_release("1.0.0")
        def prepare():
            e2e.warm_wine()
            cls.baseline = os.path.join(work, "baseline")
            cls.user_files = e2e.place_user_files(cls.baseline, USER_EXTRA)
            run = e2e.run_update(cls.baseline, cls.server.url())
            assert run.returncode == 0, run.describe()
            cls.use_release("1.0.1")
            calibration = e2e.copy_game(cls.baseline, os.path.join(work, "calibration"))
            cls.server.clear_log()
            cls.download_seconds, cls.install_seconds, _ = cls.calibrate(calibration)
            cls.full_transfer = sum(size for _, _, size in cls.server.requests_with_sizes())
            print("\n  update: download %.2f s, install %.2f s, %s fetched" % (
                cls.download_seconds, cls.install_seconds, e2e.format_size(cls.full_transfer)), flush=True)
        cls.serve(site, work, prepare)

    @classmethod
    def derive(cls, source, target, generation, grow, same_size, add, remove_every, remove_folder):
        """A next client version: files grown or changed in place, files added in a new
        folder, every n-th file and one whole folder removed."""
        shutil.rmtree(target, ignore_errors=True)
        shutil.copytree(source, target)
        paths = sorted(path for path in e2e.client_files(target) if path != e2e.EXECUTABLE)
        for path in paths[:grow]:
            with open(os.path.join(target, path), "ab") as f:
                f.write(b"patched in generation %d\n" % generation)
        for path in paths[grow:grow + same_size]:
            full = os.path.join(target, path)
            data = bytearray(e2e.read_bytes(full))
            data[-1] ^= 0xFF
            e2e.write_bytes(full, bytes(data))
        if remove_every:
            for path in paths[grow + same_size::remove_every]:
                os.unlink(os.path.join(target, path))
        shutil.rmtree(os.path.join(target, remove_folder))
        for i in range(add):
            e2e.write_bytes(os.path.join(target, "data", "new-%d" % generation, "sub%d" % (i % 4), "added%03d.bin" % i),
                            os.urandom(20000 + 997 * i))
        return target

    @classmethod
    def use_release(cls, version):
        e2e.write_bytes(e2e.release_file(cls.site), cls.releases[version])

    def setUp(self):
        self.use_release("1.0.1")

    def installed_copy(self, name):
        return e2e.copy_game(self.baseline, os.path.join(self.work, name)), self.user_files

    def test_update_killed_while_downloading_or_installing_recovers(self):
        self.run_kill_points(lambda index: self.installed_copy("kill-%d" % index), self.client_b, "1.0.1",
                             self.full_transfer)

    def test_ctrl_c_while_installing_stops_between_files_and_the_next_run_finishes(self):
        game, user_files = self.installed_copy("ctrl-c")
        self.stop_with_ctrl_c(game, INSTALLING, 0)
        self.assertTrue(os.path.exists(os.path.join(game, e2e.DATA_FOLDER, "pending-manifest.json")))
        self.assertRecovers(game, self.client_b, "1.0.1", user_files)

    def test_update_interrupted_while_installing_then_newer_release_cleans_up(self):
        """A crash mid-install leaves files of 1.0.1 behind; when 1.0.2 comes out before the
        next run, the files 1.0.1 added and 1.0.2 dropped are still removed."""
        game, user_files = self.installed_copy("kill-then-newer")
        added_by_b = [path for path in e2e.client_files(self.client_b) if path.startswith("data/new-1/")]

        def placed():
            return [path for path in added_by_b if os.path.exists(os.path.join(game, path))]

        # The run is held still (SIGSTOP) between short steps, so the kill lands while
        # some but not all of the files that 1.0.1 adds are in place.
        update = e2e.BackgroundUpdate(game, self.server.url())
        self.assertIsNotNone(update.wait_for_line(INSTALLING))
        update.signal(signal.SIGSTOP)
        deadline = time.monotonic() + 60
        while not placed() and update.process.poll() is None and time.monotonic() < deadline:
            update.signal(signal.SIGCONT)
            time.sleep(0.002)
            update.signal(signal.SIGSTOP)
        self.assertIsNone(update.kill(), "the install ended before any file of 1.0.1 was placed")
        present = placed()
        print("  killed with %d of the %d files added by 1.0.1 in place" % (len(present), len(added_by_b)),
              flush=True)
        self.assertTrue(0 < len(present) < len(added_by_b), present)

        self.use_release("1.0.2")
        # Every file of 1.0.1 that 1.0.2 drops is gone. A folder the killed run had just
        # made for a file it never placed holds nothing the launcher knows of, so it may
        # stay behind, empty.
        self.assertRecovers(game, self.client_c, "1.0.2", user_files, allow_empty_folders=True)
        self.assertEqual([path for path in added_by_b if os.path.exists(os.path.join(game, path))], [])

if __name__ == "__main__":
    e2e.main("e2e_crash_safety")
