"""lanternix-update stopped right before every write of a small update (one large file
built from chunks among them), over the real
file system under Wine: the test build (lanternix-update-faults) ends its own process
before disk operation N, or fails operation N with a Windows error, for every N until a
run finishes without reaching N. After each, a normal run must leave the game folder
exactly as the new release has it, the player's files untouched and nothing of the
launcher's half-done work behind."""

import os
import random
import re
import shutil
import time

import e2e_support as e2e

KILLED = 99
PLAYER_EXTRA = {"data/mods/mine.txt": b"a player's own file among the game's\n"}


def numbered(count, prefix, size, seed):
    return {"%s/%02d.bin" % (prefix, i): bytes((seed * 7 + i * 13 + j) % 251 for j in range(size + i * 37))
            for i in range(count)}


class KillAtEveryWrite(e2e.E2ETestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = work = e2e.work_folder("kill_every_write")
        shared = b"the same bytes in three places\n" * 300
        files_a = {e2e.EXECUTABLE: b"MZ game 1.0.0" * 100, "data/shared/one.bin": shared,
                   "data/shared/two.bin": shared, "data/shared/three.bin": shared,
                   "data/level/inside.bin": b"a file inside a folder that becomes a file",
                   "old/removed-later.bin": b"only in 1.0.0"}
        files_a.update(numbered(20, "data/pack", 900, 1))
        files_b = dict(files_a)
        del files_b["old/removed-later.bin"]
        del files_b["data/level/inside.bin"]
        files_b["data/level"] = b"the folder is a file now"
        files_b[e2e.EXECUTABLE] = b"MZ game 1.0.1" * 100
        files_b.update(numbered(8, "data/pack", 1100, 2))  # eight changed
        files_b.update(numbered(4, "data/new", 700, 3))    # four added
        files_b["data/new/copy.bin"] = shared              # the shared content once more
        # A large file built from its old version's chunks and a few fetched ones, and a
        # file moved: copied from where it was.
        archive = bytes(random.Random(4).randbytes(320000))
        files_a["data/archive.pak"] = archive
        files_b["data/archive.pak"] = archive[:100000] + b"inserted" * 50 + archive[100000:200000] + \
            bytes(3000) + archive[203000:]
        files_b["data/moved/10.bin"] = files_b.pop("data/pack/10.bin")
        cls.client_a = e2e.write_client(os.path.join(work, "client-1.0.0"), files_a)
        cls.client_b = e2e.write_client(os.path.join(work, "client-1.0.1"), files_b)
        sites = os.path.join(work, "sites")
        shutil.rmtree(sites, ignore_errors=True)
        e2e.publish(os.path.join(sites, "a"), cls.client_a, "1.0.0", level=0)
        e2e.clone_site(os.path.join(sites, "a"), os.path.join(sites, "b"))
        e2e.publish(os.path.join(sites, "b"), cls.client_b, "1.0.1")

        def prepare():
            e2e.warm_wine()
            cls.baseline = os.path.join(work, "baseline")
            shutil.rmtree(cls.baseline, ignore_errors=True)
            cls.user_files = e2e.place_user_files(cls.baseline, PLAYER_EXTRA)
            run = e2e.run_update(cls.baseline, cls.server.url("a"))
            assert run.returncode == 0, run.describe()
        cls.serve(sites, work, prepare)

    def stopped_runs(self, plan, stride=1, empty_folders_allowed=False):
        """Runs the update with `plan` % N for N = 1, 1 + stride, ... until a run ends
        without reaching N; after each, a normal run must converge. Returns the N tried."""
        if not e2e.TOOLS.update_faults:
            self.skipTest("no --update-faults given")
        url = self.server.url("b")
        tried = []
        n = 1
        while True:
            game = e2e.copy_game(self.baseline, os.path.join(self.work, "game"))
            stopped = e2e.run_update(game, url, program=e2e.TOOLS.update_faults,
                                     environment={"LANTERNIX_FAULT_PLAN": plan % n})
            reached = stopped.returncode == KILLED
            if not reached:
                counted = re.findall(r"^fault plan: (\d+) operations$", stopped.stderr_raw, re.MULTILINE)
                self.assertTrue(counted, stopped.describe())
                reached = int(counted[-1]) >= n
            if not reached:
                self.assertExit(stopped, 0)
                break
            tried.append(n)
            with self.subTest(plan=plan % n):
                run = e2e.run_update(game, url)
                self.assertExit(run, 0)
                self.assertMatchesClient(game, self.client_b, self.user_files,
                                         allow_empty_folders=empty_folders_allowed)
                self.assertNoLeftovers(game)
                self.assertFalse(os.path.exists(os.path.join(game, e2e.DATA_FOLDER, "staging")))
            n += stride
        return tried

    def test_a_process_ended_before_any_write_leaves_a_folder_the_next_run_finishes(self):
        started = time.monotonic()
        tried = self.stopped_runs("kill@%d")
        print("\n  ended before each of operations 1 to %d in %.0f s" % (tried[-1], time.monotonic() - started),
              flush=True)
        self.assertGreater(len(tried), 40, "the update is expected to take many operations")

    def test_a_failed_write_is_reported_and_the_next_run_finishes(self):
        started = time.monotonic()
        # Access denied at each operation: the run ends with its own report (or, where
        # the operation is retried, goes on). A folder the system refused to remove may
        # stay, empty.
        tried = self.stopped_runs("fail@%d:5", empty_folders_allowed=True)
        print("\n  access denied at %d operations from 1 to %d in %.0f s" % (
            len(tried), tried[-1], time.monotonic() - started), flush=True)


if __name__ == "__main__":
    e2e.main("e2e_kill_every_write")
