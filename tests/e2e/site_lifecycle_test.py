#!/usr/bin/env python3
"""A site run for years, against real launchers under Wine: fifty publishes pruned to the
newest three releases of each channel while a launcher updates, every refusal of the
release checks (expired, too few signatures, one key twice, an unknown key, a frozen
mirror) on a served site, files installed only when missing, promote and resign, and
an upload that follows the order the publishing tool prints."""
import base64
import json
import os
import shutil
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_support as e2e  # noqa: E402

NOT_SIGNED = "The update from the patch server is not signed by a trusted release key"
EXPIRED = ("The update from the patch server expired on %s: the server may be sending an outdated copy, "
           "or this computer's clock is wrong")
BELOW = "The update from the patch server is signed by %d of the %d trusted release keys it needs"


def history_documents(site, channel):
    """{sequence: payload} of a channel's history."""
    folder = os.path.join(site, "v2", "channels", channel, "history")
    found = {}
    for name in os.listdir(folder) if os.path.isdir(folder) else []:
        found[int(name[:-5])] = e2e.release_payload(e2e.read_bytes(os.path.join(folder, name)))
    return found


def reached_objects(site, payload):
    """The object paths a release reaches: manifest, launcher, files, chunk lists, chunks."""
    manifest_ref = payload["client"]["manifest"]
    paths = {e2e.object_path(manifest_ref["stored_sha256"]), e2e.object_path(payload["launcher"]["file"]["stored_sha256"])}
    for entry in json.loads(e2e.read_object(site, manifest_ref))["files"]:
        paths.add(e2e.object_path(entry["stored_sha256"]))
        paths |= e2e.chunk_objects(site, entry)
    return paths


def change_client(folder, n):
    """Version 1.0.<n>: one large file rewritten (so an update takes a while on a slow
    server), one small file changed, one file added."""
    e2e.write_client(folder, {
        "data/large.bin": os.urandom(3 << 20),
        "data/changing.txt": ("release %d\n" % n).encode() * 100,
        "data/added/%03d.bin" % n: os.urandom(2000 + n),
    })


def verify(site, channel, keys=None):
    command = ["verify", "--site", site, "--channel", channel]
    for key in keys or [e2e.TOOLS.key]:
        command += ["--key-hex", e2e.public_key_hex(key)]
    return e2e.publish_tool(*command)


class SiteLifecycle(e2e.E2ETestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = e2e.work_folder("lifecycle")
        cls.sites = os.path.join(cls.work, "sites")
        os.makedirs(cls.sites, exist_ok=True)
        cls.serve(cls.sites, cls.work, e2e.warm_wine)

    def client(self, name, n=0):
        folder = os.path.join(self.work, "clients", name)
        if not os.path.exists(folder):
            e2e.generate_client(folder, 2, 20, 31)
        if n:
            change_client(folder, n)
        return folder

    def snapshot_client(self, source, name):
        target = os.path.join(self.work, "clients", name)
        shutil.rmtree(target, ignore_errors=True)
        shutil.copytree(source, target)
        return target

    def fresh(self, name):
        folder = os.path.join(self.work, "games", name)
        shutil.rmtree(folder, ignore_errors=True)
        return folder

    # -- goal: fifty publishes, pruned to three, while a launcher updates

    def test_fifty_publishes_pruned_to_the_newest_three_while_a_launcher_updates(self):
        site = os.path.join(self.sites, "long")
        client = self.client("long")
        for n in range(1, 48):
            change_client(client, n)
            e2e.publish(site, client, "1.0.%d" % n, level=0)
            if n % 10 == 0:
                e2e.publish_tool("promote", "--site", site, "--from", "live", "--to", "beta", "--key", e2e.TOOLS.key)
        client_47 = self.snapshot_client(client, "long-47")
        game = self.fresh("long")
        self.assertExit(e2e.run_update(game, self.server.url("long")), 0)
        self.assertMatchesClient(game, client_47)

        change_client(client, 48)
        e2e.publish(site, client, "1.0.48", level=0)
        client_48 = self.snapshot_client(client, "long-48")
        # A slow server: the update from 47 to 48 is still downloading while the site
        # moves on by two releases and is pruned.
        with e2e.NginxServer(self.sites, os.path.join(self.work, "slow-nginx"), limit_rate=64 << 10) as slow:
            update = e2e.BackgroundUpdate(game, slow.url("long"))
            self.assertIsNotNone(update.wait_for_line("Downloading updates", timeout=180), update.result().describe())
            for n in (49, 50):
                change_client(client, n)
                e2e.publish(site, client, "1.0.%d" % n, level=0)
            e2e.publish_tool("promote", "--site", site, "--from", "live", "--to", "beta", "--key", e2e.TOOLS.key)
            dry = e2e.publish_tool("prune", "--site", site, "--keep", "3", "--key-hex",
                                   e2e.public_key_hex(e2e.TOOLS.key), "--dry-run").stdout
            before = e2e.site_objects(site)
            pruned = e2e.publish_tool("prune", "--site", site, "--keep", "3", "--key-hex",
                                      e2e.public_key_hex(e2e.TOOLS.key)).stdout
            still_running = update.process.poll() is None
            run = update.wait()
        self.assertTrue(still_running, "the update ended before the prune did; nothing overlapped")
        self.assertExit(run, 0)
        self.assertMatchesClient(game, client_48)
        self.assertNoLeftovers(game)

        # What was removed is what the dry run announced, and the site holds exactly what
        # the newest three releases of each channel reach.
        removed = [line.split()[1] for line in pruned.splitlines() if line.startswith("removed v2/")]
        announced = [line.split()[2] for line in dry.splitlines() if line.startswith("would remove v2/")]
        self.assertEqual(removed, announced)
        self.assertTrue(removed)
        self.assertEqual(set(removed), before - e2e.site_objects(site))
        self.assertRegex(pruned.splitlines()[-1], r"^removed %d objects, freed .+; kept 6 releases reaching \d+ objects$"
                         % len(removed))
        expected = set()
        for channel in ("live", "beta"):
            history = history_documents(site, channel)
            for sequence in sorted(history)[-3:]:
                expected |= reached_objects(site, history[sequence])
        self.assertEqual(e2e.site_objects(site), expected)
        self.assertEqual(len(history_documents(site, "live")), 50)  # the history stays
        for channel in ("live", "beta"):
            self.assertIn("publication is sound", verify(site, channel).stdout)

        # A fresh install and an update from the pruned site.
        fresh = self.fresh("long-fresh")
        self.assertExit(e2e.run_update(fresh, self.server.url("long")), 0)
        self.assertMatchesClient(fresh, client)
        self.assertExit(e2e.run_update(game, self.server.url("long")), 0)
        self.assertMatchesClient(game, client)
        beta = self.fresh("long-beta")
        self.assertExit(e2e.run_update(beta, self.server.url("long"), channel="beta"), 0)
        self.assertMatchesClient(beta, client)

    # -- every refusal, on a served site, installs nothing

    def forge(self, site, keys=None, signatures=None, expires_at=None, sequence=2):
        """Release `sequence` (client 1.0.1, same files) signed by `keys` or carrying `signatures`."""
        _, payload = e2e.read_release(site)
        payload["sequence"] = sequence
        if expires_at:
            payload["expires_at"] = expires_at

        def bump(manifest):
            manifest["version"] = "1.0.1"

        manifest = e2e.read_manifest(site)
        bump(manifest)
        document = e2e.compact(manifest)
        e2e.store_object(site, document)
        payload["client"]["manifest"] = e2e.object_ref(document)
        payload["client"]["version"] = "1.0.1"
        payload_bytes = e2e.compact(payload)
        if signatures is None:
            signatures = [e2e.sign_payload(payload_bytes, key) for key in keys]
        else:
            signatures = [e2e.sign_payload(payload_bytes, key) for key in signatures]
        e2e.write_release(site, payload, signatures=signatures)

    def test_every_refusal_of_a_served_release_installs_nothing(self):
        if not e2e.TOOLS.update_two_keys or len(e2e.TOOLS.other_keys) < 2:
            raise unittest.SkipTest("no --update-two-keys or --other-key given")
        key1, (key2, key3) = e2e.TOOLS.key, e2e.TOOLS.other_keys[:2]
        stranger = os.path.join(self.work, "stranger.pem")
        if not os.path.exists(stranger):
            e2e.keygen(stranger)
        base = os.path.join(self.sites, "refusals-base")
        client = self.client("refusals")
        shutil.rmtree(base, ignore_errors=True)
        e2e.publish(base, client, "1.0.0", level=0, keys=[key1, key2])
        installed = self.fresh("refusals-installed")
        self.assertExit(e2e.run_update(installed, self.server.url("refusals-base"), program=e2e.TOOLS.update_two_keys), 0)
        installed_state = e2e.installed_state(installed)
        expiry = "2020-01-01T00:00:00Z"
        one = e2e.TOOLS.update
        two = e2e.TOOLS.update_two_keys
        cases = [
            # name, launcher, forge arguments, expected message (None: installs)
            ("expired", one, dict(keys=[key1], expires_at=expiry), EXPIRED % expiry),
            ("expired-two-keys", two, dict(keys=[key1, key2], expires_at=expiry), EXPIRED % expiry),
            ("below-threshold", two, dict(keys=[key1]), BELOW % (1, 2)),
            ("one-key-twice", two, dict(signatures=[key1, key1]), BELOW % (1, 2)),
            ("untrusted-beside-trusted", two, dict(keys=[key3, stranger]), BELOW % (1, 2)),
            ("unknown-key", one, dict(keys=[stranger]), NOT_SIGNED),
            ("unknown-keys-two", two, dict(keys=[stranger]), NOT_SIGNED),
            ("two-of-three", two, dict(keys=[key2, key3]), None),
            ("not-yet-expired", one, dict(keys=[key1], expires_at="2099-01-01T00:00:00Z"), None),
        ]
        for name, program, forging, message in cases:
            with self.subTest(case=name):
                site = os.path.join(self.sites, "refusal-" + name)
                shutil.rmtree(site, ignore_errors=True)
                e2e.clone_site(base, site)
                self.forge(site, **forging)
                fresh = self.fresh("refusal-%s-fresh" % name)
                copy = e2e.copy_game(installed, os.path.join(self.work, "games", "refusal-%s-installed" % name))
                for game, before in ((fresh, None), (copy, installed_state)):
                    run = e2e.run_update(game, self.server.url("refusal-" + name), program=program)
                    if message is None:
                        self.assertExit(run, 0)
                        self.assertMatchesClient(game, client)
                        continue
                    self.assertExit(run, e2e.EXIT_SECURITY)
                    self.assertEqual(run.stderr, "lanternix-update: %s (security)\n" % message, run.describe())
                    self.assertInstalledNothing(game, before)

    def test_a_frozen_mirror_is_passed_over_and_alone_refused(self):
        """The mirror kept release 1, which expired; the main source has moved on."""
        client = self.client("frozen")
        main = os.path.join(self.sites, "frozen-main")
        shutil.rmtree(main, ignore_errors=True)
        e2e.publish(main, client, "1.0.0", level=0)
        mirror = os.path.join(self.sites, "frozen-mirror")
        shutil.rmtree(mirror, ignore_errors=True)
        e2e.clone_site(main, mirror)
        e2e.resign_release(mirror, lambda payload: payload.update(expires_at="2021-06-30T12:00:00Z"))
        e2e.publish(main, client, "1.0.0", level=0)  # release 2, no expiry

        game = self.fresh("frozen-both")
        run = e2e.run_update(game, [self.server.url("frozen-mirror"), self.server.url("frozen-main")])
        self.assertExit(run, 0)
        self.assertMatchesClient(game, client)
        self.assertEqual(len(run.log_lines("WARN", "Ignoring the release from patch source 0: " +
                                           EXPIRED % "2021-06-30T12:00:00Z")), 1, run.describe())
        for name, before in (("frozen-alone-fresh", None), ("frozen-alone-installed", e2e.installed_state(game))):
            folder = self.fresh(name) if before is None else e2e.copy_game(game, os.path.join(self.work, "games", name))
            run = e2e.run_update(folder, self.server.url("frozen-mirror"))
            self.assertExit(run, e2e.EXIT_SECURITY)
            self.assertEqual(run.stderr, "lanternix-update: %s (security)\n" % (EXPIRED % "2021-06-30T12:00:00Z"))
            self.assertInstalledNothing(folder, before)

    # -- promote, resign and the upload order

    def test_an_upload_in_the_printed_order_and_promote_and_resign(self):
        site = os.path.join(self.sites, "origin")
        cdn = os.path.join(self.sites, "cdn")
        for folder in (site, cdn):
            shutil.rmtree(folder, ignore_errors=True)
        client = self.snapshot_client(self.client("refusals"), "origin")

        def upload(listing):
            """Copies the listed files to the CDN one at a time, in order, checking after each
            that the CDN never names an object it does not hold."""
            for path in listing.splitlines():
                self.assertFalse(path.startswith("."), path)
                target = os.path.join(cdn, path)
                os.makedirs(os.path.dirname(target), exist_ok=True)
                shutil.copyfile(os.path.join(site, path), target + ".part")
                os.replace(target + ".part", target)
                for channel in ("beta", "live"):
                    if os.path.exists(e2e.release_file(cdn, channel)):
                        _, payload = e2e.read_release(cdn, channel)
                        missing = reached_objects(cdn, payload) - e2e.site_objects(cdn)
                        self.assertEqual(missing, set(), "uploaded %s too early" % path)

        listing = e2e.publish(site, client, "1.0.0", level=0, channel="beta", extra=["--list-new"])
        self.assertEqual(listing.splitlines()[-2:], ["v2/channels/beta/history/1.json", "v2/channels/beta/release.json"])
        upload(listing)
        e2e.write_client(client, {"data/beta-fix.txt": b"fixed on beta\n"})
        upload(e2e.publish(site, client, "1.0.1", level=0, channel="beta", extra=["--list-new"]))
        self.assertIn("publication is sound", verify(cdn, "beta").stdout)

        # The build tested on beta goes live without a byte of content copied.
        objects = e2e.site_objects(site)
        promoted = e2e.publish_tool("promote", "--site", site, "--from", "beta", "--to", "live", "--key", e2e.TOOLS.key,
                                    "--list-new")
        self.assertEqual(promoted.stdout.splitlines(), ["v2/channels/live/history/1.json", "v2/channels/live/release.json"])
        self.assertEqual(e2e.site_objects(site), objects)
        upload(promoted.stdout)
        game = self.fresh("cdn")
        self.assertExit(e2e.run_update(game, self.server.url("cdn")), 0)
        self.assertMatchesClient(game, client)

        # The cron job: signed again with an expiry, objects untouched.
        resigned = e2e.publish_tool("resign", "--site", site, "--channel", "live", "--key", e2e.TOOLS.key,
                                    "--expires-in", "30", "--list-new")
        self.assertRegex(resigned.stderr, r"signed again channel live release 2: client 1\.0\.1, expires \d{4}-")
        upload(resigned.stdout)
        _, payload = e2e.read_release(cdn, "live")
        self.assertEqual(payload["sequence"], 2)
        self.assertIn("expires_at", payload)
        self.assertExit(e2e.run_update(game, self.server.url("cdn")), 0)
        self.assertEqual(e2e.site_objects(site), objects)

        # The README's recipe with rsync: objects first, then the release documents.
        mirror = os.path.join(self.sites, "rsync-mirror")
        shutil.rmtree(mirror, ignore_errors=True)
        os.makedirs(mirror)
        for arguments in (["--exclude", ".*", "--ignore-existing", site + "/v2/objects/", mirror + "/v2/objects/"],
                          ["--exclude", ".*", "--exclude", "release.json", site + "/v2/channels/", mirror + "/v2/channels/"],
                          ["--exclude", ".*", site + "/v2/channels/", mirror + "/v2/channels/"]):
            os.makedirs(arguments[-1], exist_ok=True)
            subprocess.run(["rsync", "-a"] + arguments, check=True)
        self.assertIn("publication is sound", verify(mirror, "live").stdout)
        self.assertFalse(os.path.exists(os.path.join(mirror, ".lanternix-work")))


if __name__ == "__main__":
    e2e.main("site_lifecycle_test")
