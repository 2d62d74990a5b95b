#!/usr/bin/env python3
"""Install, update, no-op and repair runs of lanternix-update against nginx: the game
folder ends byte for byte as published, and only the objects that differ are fetched."""
import os
import shutil
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_support as e2e  # noqa: E402

RELEASE = "/v2/channels/live/release.json"


class InstallAndUpdate(e2e.E2ETestCase):
    @classmethod
    def setUpClass(cls):
        cls.stack = []
        work = e2e.work_folder("install_update")
        cls.client_a = e2e.generate_client(os.path.join(work, "client-1.0.0"), 12, 200, 11)
        # Two files with the same content: one object, downloaded once.
        duplicate = b"the same bytes in two places\n" * 2000
        e2e.write_client(cls.client_a, {"data/dup/first.bin": duplicate, "data/dup/second.bin": duplicate})
        cls.client_b = cls.make_client_b(work)

        cls.site = os.path.join(work, "site")
        e2e.publish(cls.site, cls.client_a, "1.0.0")
        cls.release_a = e2e.read_bytes(e2e.release_file(cls.site))
        # The launcher object is published too, but this tool never replaces a launcher.
        launcher = e2e.object_path(e2e.release_payload(cls.release_a)["launcher"]["file"]["stored_sha256"])
        cls.objects_a = e2e.whole_objects(cls.site)
        # 1.0.1 without chunk lists: these cases follow whole objects (the chunked
        # updates have tests of their own); a fresh install of 1.0.0 fetches no list.
        e2e.publish(cls.site, cls.client_b, "1.0.1", chunk_average=0)
        cls.release_b = e2e.read_bytes(e2e.release_file(cls.site))
        cls.objects_b_only = e2e.whole_objects(cls.site) - cls.objects_a
        cls.use_release(cls.release_a)

        def prepare():
            e2e.warm_wine()
            cls.baseline = os.path.join(work, "baseline")
            cls.user_files = e2e.place_user_files(cls.baseline, {"data/pack01/user-mod.txt": b"a player's mod\n"})
            cls.server.clear_log()
            cls.first_run = e2e.run_update(cls.baseline, cls.server.url())
            cls.first_requests = cls.server.requests()
        cls.serve(cls.site, work, prepare)

    @classmethod
    def make_client_b(cls, work):
        """1.0.1: files grown, files changed in place (same size), files added (one in a
        new nested folder) and files removed, among them every file of data/pack39."""
        client_b = os.path.join(work, "client-1.0.1")
        shutil.copytree(cls.client_a, client_b)
        files = sorted(e2e.client_files(client_b))
        data_files = [path for path in files if path.startswith("data/pack")]
        cls.grown = data_files[0:6]
        cls.same_size = data_files[6:10]
        for path in cls.grown:
            with open(os.path.join(client_b, path), "ab") as f:
                f.write(b"patched\n")
        for path in cls.same_size:
            full = os.path.join(client_b, path)
            data = bytearray(e2e.read_bytes(full))
            data[0] ^= 0xFF
            e2e.write_bytes(full, bytes(data))
        cls.removed = [path for path in files if path.startswith("data/pack39/")] + data_files[20:23]
        for path in cls.removed:
            os.unlink(os.path.join(client_b, path))
        os.rmdir(os.path.join(client_b, "data", "pack39"))
        cls.added = {"data/new/deep/added%d.bin" % i: os.urandom(30000 + i) for i in range(4)}
        cls.added["bin/64/extra.dll"] = os.urandom(5000)
        e2e.write_client(client_b, cls.added)
        return client_b

    @classmethod
    def use_release(cls, document):
        e2e.write_bytes(e2e.release_file(cls.site), document)

    def setUp(self):
        self.use_release(self.release_a)
        self.server.clear_log()

    def fresh_copy(self, name):
        return e2e.copy_game(self.baseline, os.path.join(e2e.TOOLS.work, "install_update", name))

    def requested(self):
        return sorted(target for target, _, _ in self.server.requests())

    def manifest_object(self, document):
        return "/" + e2e.object_path(e2e.release_payload(document)["client"]["manifest"]["stored_sha256"])

    # -- cases

    def test_fresh_install_writes_the_client_and_fetches_each_object_once(self):
        run = self.first_run
        self.assertExit(run, 0)
        files = len(e2e.client_files(self.client_a))
        self.assertIn("Updated to client 1.0.0: %d files written, 0 removed" % files, run.stdout)
        self.assertMatchesClient(self.baseline, self.client_a, self.user_files)
        self.assertNoLeftovers(self.baseline)
        targets = sorted(target for target, _, _ in self.first_requests)
        # Every object once (the two equal files share one), the release once, nothing else.
        self.assertEqual(targets, sorted([RELEASE] + ["/" + path for path in self.objects_a]))
        self.assertTrue(all(status == 200 for _, _, status in self.first_requests), self.first_requests)
        self.assertEqual(e2e.read_bytes(os.path.join(self.baseline, "data/dup/first.bin")),
                         e2e.read_bytes(os.path.join(self.client_a, "data/dup/first.bin")))

    def test_second_run_hashes_nothing_and_fetches_only_the_release(self):
        game = self.fresh_copy("noop")
        run = e2e.run_update(game, self.server.url())
        self.assertExit(run, 0)
        self.assertIn("Client 1.0.0 is up to date (%d files)" % len(e2e.client_files(self.client_a)), run.log)
        self.assertEqual(run.log_lines(containing="Verifying"), [])
        self.assertEqual(self.requested(), [RELEASE])
        self.assertMatchesClient(game, self.client_a, self.user_files)

    def test_update_changes_adds_and_removes_files_fetching_only_new_objects(self):
        game = self.fresh_copy("update")
        self.use_release(self.release_b)
        run = e2e.run_update(game, self.server.url())
        self.assertExit(run, 0)
        written = len(self.grown) + len(self.same_size) + len(self.added)
        self.assertIn("Updated to client 1.0.1: %d files written, %d removed" % (written, len(self.removed)),
                      run.stdout)
        self.assertEqual(run.log_lines(containing="Verifying"), [])
        self.assertMatchesClient(game, self.client_b, self.user_files)
        self.assertFalse(os.path.exists(os.path.join(game, "data", "pack39")), "the emptied folder stayed")
        self.assertNoLeftovers(game)
        # The new manifest and the objects of changed or added content, each once.
        self.assertEqual(self.requested(), sorted([RELEASE] + ["/" + path for path in self.objects_b_only]))
        self.assertEqual(len(self.objects_b_only), written + 1)

        self.server.clear_log()
        again = e2e.run_update(game, self.server.url())
        self.assertExit(again, 0)
        self.assertIn("Client 1.0.1 is up to date", again.log)
        self.assertEqual(self.requested(), [RELEASE])

    def test_damaged_file_of_unchanged_size_and_time_is_found_only_by_repair(self):
        game = self.fresh_copy("repair")
        victim = sorted(e2e.client_files(self.client_a))[50]
        full = os.path.join(game, victim)
        status = os.stat(full)
        data = bytearray(e2e.read_bytes(full))
        data[len(data) // 2] ^= 0x5A
        e2e.write_bytes(full, bytes(data))
        os.utime(full, ns=(status.st_atime_ns, status.st_mtime_ns))

        # The index vouches for size and time, so a normal run trusts the file.
        run = e2e.run_update(game, self.server.url())
        self.assertExit(run, 0)
        self.assertEqual(run.log_lines(containing="Verifying"), [])
        self.assertEqual(e2e.read_bytes(full), bytes(data))

        self.server.clear_log()
        repair = e2e.run_update(game, self.server.url(), repair=True)
        self.assertExit(repair, 0)
        sizes = [os.path.getsize(path) for path in e2e.client_files(self.client_a).values()]
        verifying = repair.log_lines(containing="Verifying")
        self.assertEqual(len(verifying), 1, repair.log)
        self.assertTrue(verifying[0].endswith("Verifying %d files (%s)" % (len(sizes), e2e.format_size(sum(sizes)))),
                        verifying[0])
        self.assertIn("Updated to client 1.0.0: 1 files written, 0 removed", repair.stdout)
        self.assertMatchesClient(game, self.client_a, self.user_files)
        self.assertNoLeftovers(game)
        object_requests = [target for target in self.requested() if target != RELEASE]
        self.assertEqual(len(object_requests), 1, object_requests)

    def test_repair_of_an_intact_folder_downloads_nothing(self):
        game = self.fresh_copy("repair-intact")
        run = e2e.run_update(game, self.server.url(), repair=True)
        self.assertExit(run, 0)
        self.assertEqual(len(run.log_lines(containing="Verifying")), 1, run.log)
        self.assertIn("Client 1.0.0 is up to date", run.log)
        self.assertEqual(self.requested(), [RELEASE])
        self.assertMatchesClient(game, self.client_a, self.user_files)

    def test_missing_and_resized_files_are_fetched_again_without_hashing(self):
        game = self.fresh_copy("missing")
        paths = sorted(e2e.client_files(self.client_a))
        os.unlink(os.path.join(game, paths[30]))
        with open(os.path.join(game, paths[31]), "r+b") as f:
            f.truncate(1)
        run = e2e.run_update(game, self.server.url())
        self.assertExit(run, 0)
        self.assertIn("Updated to client 1.0.0: 2 files written, 0 removed", run.stdout)
        self.assertEqual(run.log_lines(containing="Verifying"), [])
        self.assertMatchesClient(game, self.client_a, self.user_files)
        self.assertEqual(len([t for t in self.requested() if t != RELEASE]), 2)

    def test_client_copied_in_without_launcher_data_is_verified_not_downloaded(self):
        game = os.path.join(e2e.TOOLS.work, "install_update", "copied-in")
        shutil.rmtree(game, ignore_errors=True)
        shutil.copytree(self.client_a, game)
        run = e2e.run_update(game, self.server.url())
        self.assertExit(run, 0)
        self.assertEqual(len(run.log_lines(containing="Verifying %d files" % len(e2e.client_files(self.client_a)))),
                         1, run.log)
        self.assertIn("Client 1.0.0 is up to date", run.log)
        # The release and its manifest, no object of a game file.
        self.assertEqual(self.requested(), sorted([RELEASE, self.manifest_object(self.release_a)]))
        self.assertMatchesClient(game, self.client_a)
        self.assertNoLeftovers(game)

    def test_game_folder_too_deep_for_staged_downloads_is_refused_before_any_download(self):
        # 175 characters as Windows spells it: every game file fits in MAX_PATH, a staged
        # download (the folder plus 91) does not, and lanternix-update declares no
        # long-path support, whatever the system's setting says.
        parent = e2e.work_folder("install_update", "deep")
        name_length = 175 - len(e2e.windows_path(parent)) - 1
        self.assertGreater(name_length, 0)
        game = os.path.join(parent, "d" * name_length)
        shutil.rmtree(game, ignore_errors=True)
        longest = max(len(path) for path in e2e.client_files(self.client_a))
        self.assertLessEqual(175 + 1 + longest, 259)
        run = e2e.run_update(game, self.server.url())
        self.assertExit(run, 16)
        self.assertEqual(run.stderr, "lanternix-update: The game folder %s is too deeply nested for Windows. Reinstall "
                                     "the game into a shorter folder such as C:\\Games. (configuration)\n"
                         % e2e.windows_path(game).replace("/", "\\"))
        self.assertEqual(self.requested(), [RELEASE])
        self.assertEqual(e2e.game_files(game), [])


if __name__ == "__main__":
    e2e.main("e2e_install_update")
