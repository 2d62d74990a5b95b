#!/usr/bin/env python3
"""Today's programs beside those already out there, all real builds (scripts/build-previous
builds the last version without chunk lists from this repository's history): the earlier
launcher installs and updates from a publication with chunk lists, today's launcher then
updates the folder it left by fetching only changed chunks, and installs and updates from
a publication the earlier publishing tool made."""
import os
import random
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_support as e2e  # noqa: E402

PREVIOUS_UPDATE = os.environ.get("LANTERNIX_PREVIOUS_UPDATE", "")
PREVIOUS_PUBLISH = os.environ.get("LANTERNIX_PREVIOUS_PUBLISH", "")
ARCHIVE = "data/archive.pak"


def client(folder, archive, version_note):
    return e2e.write_client(folder, {
        e2e.EXECUTABLE: b"game " + version_note,
        ARCHIVE: archive,
        "data/small.txt": b"small " + version_note,
    })


def publish_with(tool, site, folder, version):
    command = [tool, "publish", "--site", site, "--channel", e2e.CHANNEL, "--client", folder, "--version", version,
               "--executable", e2e.EXECUTABLE, "--launcher", e2e.TOOLS.update, "--launcher-version", "0.1.0",
               "--key", e2e.TOOLS.key]
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        raise AssertionError("publishing failed: %s\n%s%s" % (" ".join(command), done.stdout, done.stderr))
    return done.stdout


class Compatibility(e2e.E2ETestCase):
    @classmethod
    def setUpClass(cls):
        if not (os.path.exists(PREVIOUS_UPDATE) and os.path.exists(PREVIOUS_PUBLISH)):
            raise unittest.SkipTest("the earlier version was not built (scripts/build-previous)")
        cls.work = e2e.work_folder("compatibility")
        rng = random.Random(20)
        cls.archives = [rng.randbytes(6 << 20)]
        for edit in range(2):
            archive = bytearray(cls.archives[-1])
            at = rng.randrange(len(archive) - 70000)
            archive[at:at + 65536] = rng.randbytes(65536)
            cls.archives.append(bytes(archive))
        cls.clients = [client(os.path.join(cls.work, "client-%d" % i), archive, b"%d" % i)
                       for i, archive in enumerate(cls.archives)]
        cls.stack = []
        e2e.warm_wine()

    def serve_site(self, site):
        server = e2e.NginxServer(site, os.path.join(self.work, "nginx-" + os.path.basename(site)))
        server.__enter__()
        self.addCleanup(server.stop)
        return server

    def fetched(self, server):
        return sum(sent for target, _, sent in server.requests_with_sizes() if target.startswith("/v2/objects/"))

    def test_earlier_launcher_on_a_publication_with_chunk_lists(self):
        site = os.path.join(self.work, "site-new")
        publish_with(e2e.TOOLS.publish, site, self.clients[0], "1.0.0")
        manifest = e2e.read_manifest(site)
        self.assertTrue(any("chunks" in entry for entry in manifest["files"]), "the archive has a chunk list")
        server = self.serve_site(site)
        game = os.path.join(self.work, "game-earlier")
        self.assertExit(e2e.run_update(game, server.url(), program=PREVIOUS_UPDATE), 0)
        self.assertMatchesClient(game, self.clients[0])

        publish_with(e2e.TOOLS.publish, site, self.clients[1], "1.0.1")
        self.assertExit(e2e.run_update(game, server.url(), program=PREVIOUS_UPDATE), 0)
        self.assertMatchesClient(game, self.clients[1])

        # Today's launcher takes over the folder the earlier one kept and fetches only what
        # changed inside the archive.
        publish_with(e2e.TOOLS.publish, site, self.clients[2], "1.0.2")
        server.clear_log()
        self.assertExit(e2e.run_update(game, server.url()), 0)
        self.assertMatchesClient(game, self.clients[2])
        self.assertLess(self.fetched(server), 1 << 20)
        self.assertNoLeftovers(game)

    def test_todays_launcher_on_a_publication_of_the_earlier_tool(self):
        site = os.path.join(self.work, "site-earlier")
        publish_with(PREVIOUS_PUBLISH, site, self.clients[0], "1.0.0")
        server = self.serve_site(site)
        game = os.path.join(self.work, "game-today")
        self.assertExit(e2e.run_update(game, server.url()), 0)
        self.assertMatchesClient(game, self.clients[0])
        publish_with(PREVIOUS_PUBLISH, site, self.clients[1], "1.0.1")
        server.clear_log()
        self.assertExit(e2e.run_update(game, server.url()), 0)
        self.assertMatchesClient(game, self.clients[1])
        # No chunk lists: the changed archive comes whole, as before.
        self.assertGreater(self.fetched(server), len(self.archives[1]))

        # Today's tool publishes over the earlier tool's site; the next update uses chunks.
        publish_with(e2e.TOOLS.publish, site, self.clients[2], "1.0.2")
        server.clear_log()
        self.assertExit(e2e.run_update(game, server.url()), 0)
        self.assertMatchesClient(game, self.clients[2])
        self.assertLess(self.fetched(server), 1 << 20)


if __name__ == "__main__":
    e2e.main("compatibility_test")
