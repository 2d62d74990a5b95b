#!/usr/bin/env python3
"""Offline installs and updates from a folder holding a publication (a disc, a copied
folder, a share), alone or beside an HTTP source: lanternix-update reads the folder
through a file: address (Wine's drive Z: is the Linux root) and the game folder ends
byte for byte as published."""
import os
import shutil
import signal
import sys
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_support as e2e  # noqa: E402
from unanswering_folder import UnansweringFolder  # noqa: E402  (in tests/support, on the path)

RELEASE = "/v2/channels/live/release.json"


def folder_url(site):
    """The file: address of a Linux folder as Wine sees it, escaped as a browser would."""
    return "file:///" + urllib.parse.quote(e2e.windows_path(site).replace("\\", "/"), safe="/:") + "/"


class FolderSource(e2e.E2ETestCase):
    @classmethod
    def setUpClass(cls):
        work = e2e.work_folder("folder_source")
        cls.work = work
        cls.client_a = e2e.generate_client(os.path.join(work, "client-1.0.0"), 6, 80, 23)
        cls.client_b = os.path.join(work, "client-1.0.1")
        shutil.copytree(cls.client_a, cls.client_b)
        files = sorted(e2e.client_files(cls.client_b))
        for path in files[10:14]:
            with open(os.path.join(cls.client_b, path), "ab") as f:
                f.write(b"patched\n")
        for path in files[20:23]:
            os.unlink(os.path.join(cls.client_b, path))
        e2e.write_client(cls.client_b, {"data/new/added.bin": os.urandom(70000)})

        # The disc: 1.0.0 in a folder whose name needs an escape in a URL.
        cls.disc = os.path.join(work, "offline disc")
        e2e.publish(cls.disc, cls.client_a, "1.0.0")
        # The server: the same 1.0.0, then 1.0.1.
        cls.site = e2e.clone_site(cls.disc, os.path.join(work, "site"))
        launcher = e2e.object_path(e2e.read_release(cls.site)[1]["launcher"]["file"]["stored_sha256"])
        objects_a = e2e.site_objects(cls.site)
        e2e.publish(cls.site, cls.client_b, "1.0.1", chunk_average=0)  # whole objects: each counted below
        cls.objects_b_only = e2e.site_objects(cls.site) - objects_a - {launcher}

        def prepare():
            e2e.warm_wine()
            cls.baseline = os.path.join(work, "baseline")
            cls.install = e2e.run_update(cls.baseline, folder_url(cls.disc))
        cls.serve(cls.site, work, prepare)

    def setUp(self):
        self.server.clear_log()

    def requested(self):
        return sorted(target for target, _, _ in self.server.requests())

    def fresh_copy(self, name):
        return e2e.copy_game(self.baseline, os.path.join(self.work, name))

    def test_install_from_a_folder_alone(self):
        run = self.install
        self.assertExit(run, 0)
        self.assertIn(" from %s (channel live)" % folder_url(self.disc)[:-1], run.stdout)
        self.assertIn("Updated to client 1.0.0: %d files written, 0 removed" % len(e2e.client_files(self.client_a)),
                      run.stdout)
        self.assertMatchesClient(self.baseline, self.client_a)
        self.assertNoLeftovers(self.baseline)

    def test_update_online_with_the_folder_mirrored_by_the_server(self):
        # The folder still holds 1.0.0: the server's newer release wins, and only the
        # objects that changed are downloaded from it.
        game = self.fresh_copy("update")
        run = e2e.run_update(game, [folder_url(self.disc), self.server.url()])
        self.assertExit(run, 0)
        self.assertIn("Updated to client 1.0.1", run.stdout)
        self.assertMatchesClient(game, self.client_b)
        self.assertNoLeftovers(game)
        self.assertEqual(self.requested(), sorted([RELEASE] + ["/" + path for path in self.objects_b_only]))

    def test_the_folder_first_and_the_server_for_what_it_lacks(self):
        # A copy of the server's publication without one object: everything else comes
        # from the folder, that one object from the server.
        copy = e2e.clone_site(self.site, os.path.join(self.work, "copy"))
        lacking = sorted(self.objects_b_only)[0]
        os.unlink(os.path.join(copy, lacking))
        game = os.path.join(self.work, "mixed")
        run = e2e.run_update(game, [folder_url(copy), self.server.url()])
        self.assertExit(run, 0)
        self.assertMatchesClient(game, self.client_b)
        self.assertNoLeftovers(game)
        self.assertEqual(self.requested(), sorted([RELEASE, "/" + lacking]))
        self.assertTrue(run.log_lines(containing="The patch folder is missing " + lacking), run.log)

    def test_unc_path_is_taken_as_a_folder_and_unsafe_spellings_are_refused(self):
        # Wine has no share to read here: the rule accepts the path, in its file: spelling,
        # and reading it fails as an unreachable share (a network error), not a bad address.
        game = os.path.join(self.work, "unc")
        run = e2e.run_update(game, r"\\nosuchserver\share\pub")
        self.assertIn("from file://nosuchserver/share/pub", run.stdout, run.describe())
        self.assertEqual(run.returncode, e2e.EXIT_NETWORK, run.describe())
        self.assertIn("Could not read v2/channels/live/release.json from the patch folder", run.stderr)
        for address in (r"\\?\Z:\tmp", folder_url(self.disc) + "../site", "Z:" + self.disc):
            refused = e2e.run_update(os.path.join(self.work, "refused"), address)
            self.assertEqual(refused.returncode, 16, refused.describe())
            self.assertIn("must be written file:///D:/folder", refused.stderr, refused.describe())

    def test_folder_on_a_share_that_does_not_answer(self):
        # Every look-up in the folder blocks in the system, as on a share whose server is
        # gone: closing ends the update at once, the folder alone gives up after its
        # patience as a network error, and beside a server the update goes on from the
        # server. (The process itself can end only once the test takes the folder away:
        # see UnansweringFolder.)
        why_not = UnansweringFolder.unavailable()
        if why_not:
            self.skipTest(why_not)
        cases = [
            ("closed while it waits", 1, "Update failed (cancelled): The launcher was closed", 17,
             "lanternix-update: The launcher was closed (cancelled)\n"),
            ("alone", 1, "Update failed (network): The patch folder did not answer", e2e.EXIT_NETWORK,
             "lanternix-update: The patch folder did not answer for v2/channels/live/release.json within 15 "
             "seconds (network)\n"),
            ("beside a server", 2, "Updated to client 1.0.1", 0, ""),
        ]
        for name, sources, logged, code, stderr in cases:
            with self.subTest(case=name), UnansweringFolder(os.path.join(self.work, "unanswering share")) as share:
                game = os.path.join(self.work, "share " + name)
                shutil.rmtree(game, ignore_errors=True)
                urls = [folder_url(os.path.join(share.path, "pub")), self.server.url()][:sources]
                update = e2e.BackgroundUpdate(game, urls)
                self.assertIsNotNone(update.wait_for_line("Updating "), "the run ended at once")
                if code == 17:
                    update.signal(signal.SIGINT)
                reached = self.wait_for_log(update, logged, 120)
                share.abort()
                run = update.wait(timeout=60)
                self.assertTrue(reached, "not logged within 120 s: %r\n%s" % (logged, run.describe()))
                self.assertExit(run, code)
                self.assertEqual(run.stderr, stderr)
                if code == 0:
                    self.assertMatchesClient(game, self.client_b)
                    self.assertNoLeftovers(game)
                    self.assertTrue(run.log_lines("INFO", "took too long; continuing without it"), run.log)

    @staticmethod
    def wait_for_log(update, text, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if text in e2e.log_since(update.root, update.offset):
                return True
            time.sleep(0.2)
        return False

if __name__ == "__main__":
    e2e.main("e2e_folder_source")
