#!/usr/bin/env python3
"""Publications a patch source must not get past: unsigned, wrongly signed, tampered,
for another channel, older than accepted, oversized, with unsafe paths or with objects
that lie about their bytes. Each is refused with the right exit code and message, and
nothing is installed: a fresh folder gets no game file, an installed one stays as it was.
Forged publications are signed with the test key (or another key) by e2e_support."""
import os
import shutil
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_support as e2e  # noqa: E402

NOT_SIGNED = "The update from the patch server is not signed by a trusted release key"
ZSTD_WINDOW_TOO_LARGE = "Frame requires too much memory for decoding"


def bump_to_1_0_1(payload):
    payload["sequence"] = 2
    payload["client"]["version"] = "1.0.1"


def forge(site, files_edit=None, release_edit=None, keys=None, version="1.0.1"):
    """Release 2 (client 1.0.1) of a site: its manifest edited by files_edit(files)."""
    def edit(manifest):
        manifest["version"] = version
        if files_edit:
            files_edit(manifest["files"])

    def edit_release(payload):
        bump_to_1_0_1(payload)
        if release_edit:
            release_edit(payload)

    e2e.rewrite_manifest(site, edit, edit_release, keys=keys)


def add_file(path, content, stored=None):
    """A files_edit adding one file whose object is stored by the caller."""
    def edit(files):
        entry = {"path": path}
        entry.update(e2e.object_ref(content, stored))
        files.append(entry)
    return edit


class HostileSources(e2e.E2ETestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = e2e.work_folder("hostile")
        cls.client = e2e.generate_client(os.path.join(cls.work, "client-1.0.0"), 2, 30, 21)
        cls.sites = os.path.join(cls.work, "sites")
        cls.good = os.path.join(cls.sites, "good")
        # Uncompressed, so the tests can read and rewrite the manifest.
        e2e.publish(cls.good, cls.client, "1.0.0", level=0)
        def prepare():
            e2e.warm_wine()
            cls.installed = os.path.join(cls.work, "installed")
            run = e2e.run_update(cls.installed, cls.server.url("good"))
            assert run.returncode == 0, run.describe()
            cls.installed_state = e2e.installed_state(cls.installed)
        cls.serve(cls.sites, cls.work, prepare)

    def site(self, name):
        path = os.path.join(self.sites, name)
        shutil.rmtree(path, ignore_errors=True)
        return e2e.clone_site(self.good, path)

    def folders(self, name):
        """A fresh folder and a copy of the installed folder for one case."""
        fresh = os.path.join(self.work, "games", name, "fresh")
        shutil.rmtree(fresh, ignore_errors=True)
        installed = e2e.copy_game(self.installed, os.path.join(self.work, "games", name, "installed"))
        return fresh, installed

    def expect_refused(self, name, urls, code, message):
        """Both folders: the exit code, the exact message on standard error, nothing installed."""
        fresh, installed = self.folders(name)
        for game, before in ((fresh, None), (installed, self.installed_state)):
            with self.subTest(case=name, folder=os.path.basename(game)):
                run = e2e.run_update(game, urls)
                self.assertExit(run, code)
                self.assertEqual(run.stderr, "lanternix-update: %s\n" % message, run.describe())
                self.assertInstalledNothing(game, before)
        return run

    def expect_installed(self, name, urls, extra_files):
        """Both folders end as the client plus extra_files ({path: bytes})."""
        expected = os.path.join(self.work, "expected", name)
        shutil.rmtree(expected, ignore_errors=True)
        shutil.copytree(self.client, expected)
        e2e.write_client(expected, extra_files)
        fresh, installed = self.folders(name)
        runs = []
        for game in (fresh, installed):
            with self.subTest(case=name, folder=os.path.basename(game)):
                run = e2e.run_update(game, urls)
                self.assertExit(run, 0)
                # The installed folder already holds every file of a release that adds none.
                self.assertRegex(run.stdout, r"Updated to client 1\.0\.1|Client 1\.0\.1 is up to date")
                self.assertMatchesClient(game, expected)
                self.assertNoLeftovers(game)
                runs.append(run)
        return runs

    # -- the forging itself is sound: the same machinery makes releases that install

    def test_forged_release_with_plain_and_128_mib_window_objects_installs(self):
        site = self.site("control")
        plain = b"a file added by a forged but sound release\n" * 100
        windowed = os.urandom(300000)
        frame = e2e.zstd_frame(windowed, window_log=27)  # the largest window the launcher accepts
        e2e.store_object(site, plain)
        e2e.store_object(site, frame)

        def files_edit(files):
            add_file("data/new/plain.bin", plain)(files)
            add_file("data/new/windowed.bin", windowed, frame)(files)

        forge(site, files_edit)
        self.expect_installed("control", self.server.url("control"),
                              {"data/new/plain.bin": plain, "data/new/windowed.bin": windowed})

    # -- the release document

    def test_release_without_signatures_is_refused(self):
        site = self.site("unsigned")
        forge(site)
        _, payload = e2e.read_release(site)
        e2e.write_release(site, payload, signatures=[])
        run = self.expect_refused("unsigned-empty", self.server.url("unsigned"), e2e.EXIT_SECURITY,
                                  NOT_SIGNED + " (security)")
        self.assertEqual(len(run.log_lines("WARN", "Ignoring the release from patch source 0: " + NOT_SIGNED)), 1)
        # No signatures member at all.
        document = e2e.compact({"payload": e2e.read_release(site)[0]["payload"]})
        e2e.write_bytes(e2e.release_file(site), document)
        self.expect_refused("unsigned-absent", self.server.url("unsigned"), e2e.EXIT_SECURITY,
                            NOT_SIGNED + " (security)")

    def test_release_signed_with_another_key_is_refused(self):
        site = self.site("other-key")
        other_key = os.path.join(self.work, "other-key.pem")
        if not os.path.exists(other_key):
            e2e.keygen(other_key)
        forge(site, keys=[other_key])
        self.expect_refused("other-key", self.server.url("other-key"), e2e.EXIT_SECURITY, NOT_SIGNED + " (security)")

    def test_payload_changed_after_signing_is_refused(self):
        site = self.site("tampered")
        forge(site)
        envelope, payload = e2e.read_release(site)
        payload["sequence"] = 99
        e2e.write_release(site, payload, signatures=envelope["signatures"])
        self.expect_refused("tampered", self.server.url("tampered"), e2e.EXIT_SECURITY, NOT_SIGNED + " (security)")

    def test_release_of_another_channel_is_refused(self):
        site = self.site("channel")
        e2e.publish(site, self.client, "1.0.1", level=0, channel="beta", sequence=2)
        shutil.copyfile(e2e.release_file(site, "beta"), e2e.release_file(site) + ".new")
        os.unlink(e2e.release_file(site))
        os.rename(e2e.release_file(site) + ".new", e2e.release_file(site))
        self.expect_refused("channel", self.server.url("channel"), e2e.EXIT_SECURITY,
                            'The patch server sent the release of channel "beta" instead of "live" (security)')

    def test_release_document_above_64_kib_is_refused_and_64_kib_exactly_accepted(self):
        site = self.site("large")
        forge(site)
        _, payload = e2e.read_release(site)
        base = len(e2e.write_release(site, payload, extra={"padding": ""}))
        e2e.write_release(site, payload, extra={"padding": "x" * (65537 - base)})
        self.assertEqual(os.path.getsize(e2e.release_file(site)), 65537)
        self.expect_refused("large", self.server.url("large"), e2e.EXIT_SERVER,
                            "v2/channels/live/release.json is larger than allowed (server)")
        e2e.write_release(site, payload, extra={"padding": "x" * (65536 - base)})
        self.assertEqual(os.path.getsize(e2e.release_file(site)), 65536)
        self.expect_installed("exactly-64k", self.server.url("large"), {})

    # -- the client manifest

    def test_manifest_with_unsafe_paths_is_refused(self):
        cases = [("parent", "../evil.txt"), ("device", "aux.txt"), ("data-folder", "Lanternix/state.json"),
                 ("short-name", "progra~1/evil.txt"), ("colon", "data/evil:stream")]
        for name, path in cases:
            with self.subTest(path=path):
                site = self.site("path-" + name)
                content = b"what a hostile publisher wants on your disk\n"
                e2e.store_object(site, content)
                forge(site, add_file(path, content))
                self.expect_refused("path-" + name, self.server.url("path-" + name), e2e.EXIT_SECURITY,
                                    'The patch names an unsafe file path: "%s" (security)' % path)

    def test_manifest_listing_a_path_twice_in_other_case_is_refused(self):
        site = self.site("twice")

        def files_edit(files):
            original = next(entry for entry in files if entry["path"] == e2e.EXECUTABLE)
            twin = dict(original, path=e2e.EXECUTABLE.upper())
            files.append(twin)

        forge(site, files_edit)
        self.expect_refused("twice", self.server.url("twice"), e2e.EXIT_SECURITY,
                            'The client manifest lists "%s" twice (security)' % e2e.EXECUTABLE)

    def test_manifest_listing_a_file_inside_another_file_is_refused(self):
        # The installed client has bin/64/Kaldren.exe: "bin" as a file would stand where
        # it needs its folder, and both would be installed at once.
        site = self.site("nested")
        content = b"a file named like the folder of the game\n"
        e2e.store_object(site, content)
        forge(site, add_file("bin", content))
        self.expect_refused("nested", self.server.url("nested"), e2e.EXIT_SECURITY,
                            'The client manifest lists both "bin" and "%s": a file cannot also be a folder '
                            "(security)" % e2e.EXECUTABLE)

    def test_manifest_of_another_version_is_refused(self):
        site = self.site("version")
        forge(site, version="1.0.2")
        self.expect_refused("version", self.server.url("version"), e2e.EXIT_SECURITY,
                            "The client manifest is for version 1.0.2 but the release announces 1.0.1 (security)")

    def test_manifest_declared_above_64_mib_is_refused_before_download(self):
        site = self.site("huge-manifest")

        def declare_huge(payload):
            bump_to_1_0_1(payload)
            payload["client"]["manifest"].update(size=67108865, compression="zstd")

        e2e.resign_release(site, declare_huge)
        self.server.clear_log()
        self.expect_refused("huge-manifest", self.server.url("huge-manifest"), e2e.EXIT_SECURITY,
                            "The client manifest is larger than the patch protocol allows (security)")
        self.assertEqual([target for target, _, _ in self.server.requests()],
                         ["/huge-manifest/v2/channels/live/release.json"] * 2)

    # -- objects

    def test_object_unpacking_to_more_than_declared_is_refused(self):
        site = self.site("larger")
        content = os.urandom(4000)
        frame = e2e.zstd_frame(content)
        e2e.store_object(site, frame)

        def files_edit(files):
            add_file("data/new/larger.bin", content[:1000], frame)(files)

        forge(site, files_edit)
        self.expect_refused("larger", self.server.url("larger"), e2e.EXIT_SECURITY,
                            "A downloaded file could not be unpacked: it is larger than declared (security)")

    def test_object_needing_a_window_above_128_mib_is_refused(self):
        site = self.site("window")
        content = b"x"
        frame = e2e.zstd_frame(content, window_log=28)
        e2e.store_object(site, frame)
        forge(site, add_file("data/new/window.bin", content, frame))
        self.expect_refused("window", self.server.url("window"), e2e.EXIT_SECURITY,
                            "A downloaded file could not be unpacked: %s (security)" % ZSTD_WINDOW_TOO_LARGE)

    def test_object_unpacking_to_other_bytes_is_refused(self):
        site = self.site("inconsistent")
        declared = os.urandom(5000)
        frame = e2e.zstd_frame(os.urandom(5000))
        e2e.store_object(site, frame)
        forge(site, add_file("data/new/inconsistent.bin", declared, frame))
        self.expect_refused("inconsistent", self.server.url("inconsistent"), e2e.EXIT_SECURITY,
                            "An unpacked file failed verification (%s). The publication is inconsistent. (security)"
                            % e2e.object_path(e2e.sha256_bytes(frame)))

    def test_altered_object_on_the_only_source_is_refused_after_two_copies(self):
        site = self.site("altered")
        content = os.urandom(20000)
        e2e.store_object(site, content)
        forge(site, add_file("data/new/altered.bin", content))
        path = e2e.object_path(e2e.sha256_bytes(content))
        altered = bytearray(content)
        altered[100] ^= 1
        e2e.write_bytes(os.path.join(site, path), bytes(altered))
        self.server.clear_log()
        self.expect_refused("altered", self.server.url("altered"), e2e.EXIT_SECURITY,
                            "A downloaded file failed verification (%s). The patch server or the network "
                            "returned altered data. (security)" % path)
        fetches = [target for target, _, _ in self.server.requests() if target.endswith(path)]
        self.assertEqual(len(fetches), 4, "two copies for each of the two folders")

    def test_mirror_with_altered_object_is_outvoted_by_a_sound_source(self):
        good = self.site("mirror-good")
        content = os.urandom(20000)
        e2e.store_object(good, content)
        forge(good, add_file("data/new/mirrored.bin", content))
        bad = os.path.join(self.sites, "mirror-bad")
        shutil.rmtree(bad, ignore_errors=True)
        e2e.clone_site(good, bad)
        path = e2e.object_path(e2e.sha256_bytes(content))
        altered = bytearray(content)
        altered[0] ^= 0xFF
        e2e.write_bytes(os.path.join(bad, path), bytes(altered))
        # The altered source first: each object is asked of it first.
        runs = self.expect_installed("mirror", [self.server.url("mirror-bad"), self.server.url("mirror-good")],
                                     {"data/new/mirrored.bin": content})
        for run in runs:
            discarded = "Discarding a copy of %s that failed verification; trying again" % path
            self.assertEqual(len(run.log_lines("WARN", discarded)), 1, run.log)

    def test_mirror_altering_objects_to_ask_for_128_mib_windows_costs_no_decoder_memory(self):
        # Eight compressed objects; the mirror asked first sends each as a frame of other
        # bytes that asks for a 128 MiB window. Its copies are discarded before a decoder
        # sees them: the decoders of the eight workers never hold more than a sound
        # frame's small window, where they would otherwise map 128 MiB each.
        good = self.site("window-mirror-good")
        contents = {"data/new/packed%d.bin" % i: os.urandom(300000 + i) for i in range(8)}
        frames = {path: e2e.zstd_frame(content) for path, content in contents.items()}
        for frame in frames.values():
            e2e.store_object(good, frame)

        def files_edit(files):
            for path, content in contents.items():
                add_file(path, content, frames[path])(files)

        forge(good, files_edit)
        bad = os.path.join(self.sites, "window-mirror-bad")
        shutil.rmtree(bad, ignore_errors=True)
        e2e.clone_site(good, bad)
        for path, content in contents.items():
            altered = e2e.zstd_frame(os.urandom(len(content)), window_log=27)
            self.assertEqual(len(altered), len(frames[path]))
            e2e.write_bytes(os.path.join(bad, e2e.object_path(e2e.sha256_bytes(frames[path]))), altered)
        runs = self.expect_installed("window-mirror",
                                     [self.server.url("window-mirror-bad"), self.server.url("window-mirror-good")],
                                     contents)
        for run in runs:
            self.assertEqual(len(run.log_lines("WARN", "that failed verification; trying again")), 8, run.log)
            held = [int(line.split("held at most ")[1].split()[0])
                    for line in run.log_lines("DEBUG", "The zstd decoders held at most ")]
            self.assertEqual(len(held), 1, run.log)
            self.assertLess(held[0], 8 << 20)

    def test_source_with_unsigned_release_is_ignored_when_another_is_sound(self):
        good = self.site("pair-good")
        forge(good)
        bad = os.path.join(self.sites, "pair-bad")
        shutil.rmtree(bad, ignore_errors=True)
        e2e.clone_site(good, bad)
        _, payload = e2e.read_release(bad)
        e2e.write_release(bad, payload, signatures=[])
        runs = self.expect_installed("pair", [self.server.url("pair-bad"), self.server.url("pair-good")], {})
        for run in runs:
            self.assertEqual(len(run.log_lines("WARN", "Ignoring the release from patch source 0: " + NOT_SIGNED)),
                             1, run.log)
            self.assertEqual(len(run.log_lines("WARN", "Patch sources disagree; using release 2 from 1 of 2 sources")),
                             1, run.log)

    # -- rollback to an older release

    def test_older_release_keeps_the_installed_client_or_fails_as_still_publishing(self):
        site = self.site("older")
        e2e.publish(site, self.client, "1.0.0", level=0, sequence=5)
        newer = e2e.read_bytes(e2e.release_file(site))
        installed = os.path.join(self.work, "games", "older", "installed")
        shutil.rmtree(installed, ignore_errors=True)
        run = e2e.run_update(installed, self.server.url("older"))
        self.assertExit(run, 0)
        before = e2e.installed_state(installed)

        # A correctly signed release 4 replaces 5 on the only source: a rollback attempt.
        e2e.resign_release(site, lambda payload: payload.update(sequence=4))
        offered = "The patch server offered release 4, older than release 5 already accepted"
        run = e2e.run_update(installed, self.server.url("older"))
        self.assertExit(run, 0)
        self.assertEqual(len(run.log_lines("WARN", offered)), 3, run.log)
        self.assertEqual(len(run.log_lines("WARN", "Keeping the installed client 1.0.0 until the newer release "
                                                   "is available")), 1, run.log)
        self.assertIn("Kept the installed client 1.0.0", run.stdout)
        self.assertGreater(run.seconds, 5.5, "three tries with waits of 2 s and 4 s")
        self.assertInstalledNothing(installed, before)

        # A folder that accepted release 5 but holds no installed client cannot keep anything.
        fresh = os.path.join(self.work, "games", "older", "accepted-only")
        shutil.rmtree(fresh, ignore_errors=True)
        e2e.write_bytes(os.path.join(fresh, e2e.DATA_FOLDER, "state.json"),
                        b'{"schema":2,"channel":"live","highest_sequences":{"live":5}}')
        run = e2e.run_update(fresh, self.server.url("older"))
        self.assertExit(run, e2e.EXIT_NETWORK)
        self.assertEqual(run.stderr, "lanternix-update: The patch server is still publishing release 5. "
                                     "Please try again in a minute. (network)\n")
        self.assertEqual(len(run.log_lines("WARN", offered)), 3, run.log)
        self.assertEqual(e2e.game_files(fresh), [])

        # Once release 5 is back, the installed folder is simply up to date.
        e2e.write_bytes(e2e.release_file(site), newer)
        run = e2e.run_update(installed, self.server.url("older"))
        self.assertExit(run, 0)
        self.assertIn("Client 1.0.0 is up to date", run.log)


if __name__ == "__main__":
    e2e.main("e2e_hostile_sources")
