#!/usr/bin/env python3
"""The game folder's surroundings working against the update: a drive too small for it,
a drive that fills while downloading, a game file held open by another process, and a
second launcher on the same folder. Each ends with the right exit code and message, and
the next run, once the obstacle is gone, finishes the job cleanly.

The drives are RAM disks mounted for the test; without the right to mount, those cases
are skipped with the reason."""
import os
import re
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_support as e2e  # noqa: E402

MIB = 1 << 20
RESERVE = 64 * MIB  # the margin the launcher keeps free beyond what an update needs


class RamDisk:
    """A tmpfs of the given size mounted on a folder; unmounted when the block ends."""

    def __init__(self, folder, size):
        self.folder = folder
        self.size = size

    def __enter__(self):
        os.makedirs(self.folder, exist_ok=True)
        done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%d" % self.size, "tmpfs", self.folder],
                              capture_output=True, text=True)
        if done.returncode != 0:
            raise OSError(done.stderr.strip() or "mount failed")
        return self

    def __exit__(self, *_):
        if subprocess.run(["umount", self.folder], capture_output=True).returncode != 0:
            subprocess.run(["umount", "-l", self.folder], capture_output=True)

    def available(self):
        status = os.statvfs(self.folder)
        return status.f_bavail * status.f_frsize


def ram_disk(testcase, folder, size):
    """The mounted RAM disk, or a skipped test saying why there is none."""
    if os.geteuid() != 0:
        testcase.skipTest("mounting a RAM disk needs root")
    disk = RamDisk(folder, size)
    try:
        disk.__enter__()
    except OSError as error:
        testcase.skipTest("mounting a RAM disk is not permitted here: %s" % error)
    testcase.addCleanup(disk.__exit__)
    return disk


def unmount_stale(work):
    """RAM disks left mounted by an earlier run that was killed."""
    with open("/proc/mounts") as f:
        for line in f:
            point = line.split()[1]
            if point.startswith(work + "/"):
                subprocess.run(["umount", "-l", point], capture_output=True)


def fill(folder):
    """Writes one file until the drive of `folder` is full."""
    chunk = b"\0" * MIB
    with open(os.path.join(folder, "filler"), "wb") as f:
        try:
            while True:
                f.write(chunk)
                f.flush()
        except OSError:
            pass


def fill_while_held(update, folder):
    """Fills the drive of `folder` while the run stands still, then lets it go on."""
    update.signal(signal.SIGSTOP)
    try:
        fill(folder)
    finally:
        update.signal(signal.SIGCONT)


def wait_for_partial_downloads(update, staging, count, timeout=60):
    """Waits until `count` partial downloads in `staging` hold bytes."""
    deadline = time.monotonic() + timeout
    while True:
        started = 0
        # Staged files sit in sub-folders named by their digest's first digits.
        for folder, _, names in os.walk(staging):
            for name in names:
                try:
                    if name.endswith(".part") and os.path.getsize(os.path.join(folder, name)) > 0:
                        started += 1
                except OSError:
                    pass  # renamed or deleted meanwhile
        if started >= count:
            return
        if update.process.poll() is not None or time.monotonic() > deadline:
            raise AssertionError("%d partial downloads never held bytes together; the run said %r"
                                 % (count, update.lines))
        time.sleep(0.001)


def space_needed(manifest, threads=8):
    """The free space the launcher asks for before downloading into an empty folder."""
    uses = {}
    for entry in manifest["files"]:
        key = (entry["sha256"], entry["size"], entry["stored_sha256"], entry["stored_size"], entry["compression"])
        uses[key] = uses.get(key, 0) + 1
    objects = sorted(uses, key=lambda key: key[3], reverse=True)
    unpacked = sum(key[1] for key in objects)
    in_flight = sum(key[3] for key in objects[:threads])
    copies = sum(key[1] * (count - 1) for key, count in uses.items())
    return unpacked + in_flight + copies + RESERVE


class DiskAndLocks(e2e.E2ETestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = e2e.work_folder("disk_and_locks")
        unmount_stale(cls.work)
        cls.sites = os.path.join(cls.work, "sites")
        # A small client with two equal files (the space check counts their copy).
        cls.small = e2e.generate_client(os.path.join(cls.work, "small-1.0.0"), 4, 40, 51)
        same = os.urandom(300000)
        e2e.write_client(cls.small, {"data/same/a.bin": same, "data/same/b.bin": same})
        e2e.publish(os.path.join(cls.sites, "small"), cls.small, "1.0.0", level=0)
        # Incompressible and large enough that its download takes a while.
        cls.large = e2e.write_client(os.path.join(cls.work, "large-1.0.0"), dict(
            [(e2e.EXECUTABLE, os.urandom(MIB))] + [("data/big%d.bin" % i, os.urandom(8 * MIB)) for i in range(4)]))
        e2e.publish(os.path.join(cls.sites, "large"), cls.large, "1.0.0")
        # One large content in four places: installing it takes three copies.
        same = os.urandom(32 * MIB)
        cls.copies = e2e.write_client(os.path.join(cls.work, "copies-1.0.0"), dict(
            [(e2e.EXECUTABLE, os.urandom(MIB))] + [("data/copy%d.bin" % i, same) for i in range(4)]))
        e2e.publish(os.path.join(cls.sites, "copies"), cls.copies, "1.0.0")
        # 1.0.1 of the small client changes three files.
        cls.small_b = os.path.join(cls.work, "small-1.0.1")
        shutil.copytree(cls.small, cls.small_b)
        cls.changed = sorted(p for p in e2e.client_files(cls.small_b) if p.startswith("data/pack"))[:3]
        for path in cls.changed:
            with open(os.path.join(cls.small_b, path), "ab") as f:
                f.write(b"1.0.1\n")
        cls.serve(cls.sites, cls.work, e2e.warm_wine)

    @classmethod
    def tearDownClass(cls):
        super().tearDownClass()
        unmount_stale(cls.work)

    def publish_small_b(self, name):
        """A site of its own holding 1.0.0 and then 1.0.1 of the small client."""
        site = os.path.join(self.sites, name)
        shutil.rmtree(site, ignore_errors=True)
        e2e.clone_site(os.path.join(self.sites, "small"), site)
        e2e.publish(site, self.small_b, "1.0.1")
        return self.server.url(name)

    def installed_small(self, name):
        game = os.path.join(self.work, name)
        shutil.rmtree(game, ignore_errors=True)
        user_files = e2e.place_user_files(game)
        run = e2e.run_update(game, self.server.url("small"))
        self.assertExit(run, 0)
        return game, user_files

    # -- disk space

    def test_drive_too_small_is_refused_before_any_download(self):
        game = os.path.join(self.work, "small-drive")
        disk = ram_disk(self, game, 16 * MIB)
        self.server.clear_log()
        run = e2e.run_update(game, self.server.url("small"))
        self.assertExit(run, e2e.EXIT_DISK_SPACE)
        needed = space_needed(e2e.read_manifest(os.path.join(self.sites, "small")))
        self.assertEqual(run.stderr, "lanternix-update: The update needs %s of free disk space, but only %s is "
                                     "available on the drive of %s. (disk_space)\n"
                         % (e2e.format_size(needed), e2e.format_size(disk.available()),
                            e2e.windows_path(game).replace("/", "\\")))
        # Only the release and the file list were fetched; nothing reached the folder.
        fetched = [target for target, _, _ in self.server.requests()]
        self.assertEqual(len(fetched), 2, fetched)
        self.assertEqual(e2e.game_files(game), [])
        self.assertEqual([path for path in e2e.leftovers(game) if path.endswith((".part", ".tmp"))], [])

    def test_drive_filling_up_while_downloading_fails_then_the_retry_completes(self):
        game = os.path.join(self.work, "filling-drive")
        disk = ram_disk(self, game, 200 * MIB)
        user_files = e2e.place_user_files(game)
        update = e2e.BackgroundUpdate(game, self.server.url("large"))
        self.assertIsNotNone(update.wait_for_line("Downloading updates..."))
        # Held still while the drive fills, once each large object has its first bytes on
        # the drive: on loopback the 33 MB arrive in well under a second, sooner than the
        # drive fills, and the writes that follow must find it full.
        wait_for_partial_downloads(update, os.path.join(game, "Lanternix", "staging"), 4)
        fill_while_held(update, game)
        self.assertLess(disk.available(), MIB)
        run = update.wait()
        self.assertExit(run, e2e.EXIT_DISK_SPACE)
        self.assertRegex(run.stderr, r"^lanternix-update: .*\(Win32 error 112\) \(disk_space\)\n$")
        print("\n  " + run.stderr.strip(), flush=True)
        self.assertEqual([path for path in e2e.game_files(game) if path != "filler"], sorted(user_files))

        os.unlink(os.path.join(game, "filler"))
        run = e2e.run_update(game, self.server.url("large"))
        self.assertExit(run, 0)
        self.assertMatchesClient(game, self.large, user_files)
        self.assertNoLeftovers(game)

    def test_drive_filling_up_while_installing_fails_then_the_retry_completes(self):
        game = os.path.join(self.work, "filling-while-installing")
        disk = ram_disk(self, game, 320 * MIB)
        user_files = e2e.place_user_files(game)
        update = e2e.BackgroundUpdate(game, self.server.url("copies"))
        self.assertIsNotNone(update.wait_for_line("Installing updates..."))
        # Held still while the drive fills, so the copies of the install find it full.
        fill_while_held(update, game)
        self.assertLess(disk.available(), MIB)
        run = update.wait()
        self.assertExit(run, e2e.EXIT_DISK_SPACE)
        self.assertRegex(run.stderr, r"^lanternix-update: Could not copy to .*\(Win32 error 112\) \(disk_space\)\n$")
        print("\n  " + run.stderr.strip(), flush=True)

        os.unlink(os.path.join(game, "filler"))
        run = e2e.run_update(game, self.server.url("copies"))
        self.assertExit(run, 0)
        self.assertMatchesClient(game, self.copies, user_files)
        self.assertNoLeftovers(game)

    # -- files and folders in use

    def test_game_file_held_open_fails_as_in_use_after_retries_then_installs(self):
        if not e2e.TOOLS.file_holder:
            self.skipTest("no --file-holder given")
        game, user_files = self.installed_small("held-file")
        url = self.publish_small_b("held-file")
        victim = self.changed[0]
        victim_path = os.path.join(game, victim)
        old_content = e2e.read_bytes(victim_path)
        marker = os.path.join(self.work, "held-file.marker")
        if os.path.exists(marker):
            os.unlink(marker)
        holder = subprocess.Popen([e2e.TOOLS.wine_run, e2e.TOOLS.file_holder, "hold", e2e.windows_path(victim_path),
                                   "60000", e2e.windows_path(marker)], stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL, start_new_session=True)
        try:
            deadline = time.monotonic() + 60
            while not os.path.exists(marker):
                self.assertIsNone(holder.poll(), "system_helper ended at once")
                self.assertLess(time.monotonic(), deadline, "system_helper did not take the file")
                time.sleep(0.05)
            run = e2e.run_update(game, url)
        finally:
            e2e.kill_process_group(holder)
        self.assertExit(run, e2e.EXIT_FILE_IN_USE)
        windows_victim = e2e.windows_path(victim_path).replace("/", "\\")
        self.assertRegex(run.stderr, r"^lanternix-update: Could not replace %s: .*\(Win32 error (32|5)\) "
                                     r"\(file_in_use\)\n$" % re.escape(windows_victim))
        self.assertGreater(run.seconds, 4.8, "25 attempts 200 ms apart")
        self.assertEqual(len(run.log_lines("DEBUG", "%s is locked; retrying" % windows_victim)), 1, run.log)
        self.assertEqual(e2e.read_bytes(victim_path), old_content, "the held file was damaged")

        run = e2e.run_update(game, url)
        self.assertExit(run, 0)
        self.assertMatchesClient(game, self.small_b, user_files)
        self.assertNoLeftovers(game)

    def test_running_game_keeps_the_update_from_installing_until_it_ends(self):
        if not e2e.TOOLS.file_holder:
            self.skipTest("no --file-holder given")
        # A client whose game is a real program: the helper, which can run for a while.
        client = os.path.join(self.work, "playable-1.0.0")
        shutil.rmtree(client, ignore_errors=True)
        shutil.copytree(self.small, client)
        shutil.copyfile(e2e.TOOLS.file_holder, os.path.join(client, e2e.EXECUTABLE))
        site = os.path.join(self.sites, "playable")
        shutil.rmtree(site, ignore_errors=True)
        e2e.publish(site, client, "1.0.0", level=0)
        game = os.path.join(self.work, "playing")
        shutil.rmtree(game, ignore_errors=True)
        self.assertExit(e2e.run_update(game, self.server.url("playable")), 0)
        e2e.write_client(client, {self.changed[0]: b"changed while playing\n"})
        e2e.publish(site, client, "1.0.1", level=0)

        marker = os.path.join(self.work, "playing.marker")
        if os.path.exists(marker):
            os.unlink(marker)
        playing = subprocess.Popen([e2e.TOOLS.wine_run, os.path.join(game, e2e.EXECUTABLE), "mutex",
                                    "Local\\lanternix-e2e-game", e2e.windows_path(marker)],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        try:
            deadline = time.monotonic() + 60
            while not os.path.exists(marker):
                self.assertIsNone(playing.poll(), "the game ended at once")
                self.assertLess(time.monotonic(), deadline, "the game did not start")
                time.sleep(0.05)
            run = e2e.run_update(game, self.server.url("playable"))
        finally:
            e2e.kill_process_group(playing)
        self.assertExit(run, e2e.EXIT_FILE_IN_USE)
        self.assertEqual(run.stderr, "lanternix-update: Please close the game before the update is installed. "
                                     "(file_in_use)\n")
        run = e2e.run_update(game, self.server.url("playable"))
        self.assertExit(run, 0)
        self.assertMatchesClient(game, client)

    def test_second_launcher_on_the_same_folder_is_refused_and_an_abandoned_lock_is_taken(self):
        game, _ = self.installed_small("two-launchers")
        with e2e.FaultServer(os.path.join(self.work, "stalling"),
                             {"/v2/channels/live/release.json": {"stall": True, "hang_seconds": 120}}) as stalling:
            first = e2e.BackgroundUpdate(game, stalling.base_url)
            try:
                self.assertIsNotNone(first.wait_for_line("Updating "), "the first launcher did not start")
                second = e2e.run_update(game, self.server.url("small"))
            finally:
                # Killed while owning the folder's lock: the lock is left abandoned.
                first.kill()
        self.assertExit(second, e2e.EXIT_FILE_IN_USE)
        self.assertEqual(second.stderr, "lanternix-update: Another launcher is already working on %s (file_in_use)\n"
                         % e2e.windows_path(game).replace("/", "\\"))
        third = e2e.run_update(game, self.server.url("small"))
        self.assertExit(third, 0)
        self.assertIn("Client 1.0.0 is up to date", third.log)


if __name__ == "__main__":
    e2e.main("e2e_disk_and_locks")
