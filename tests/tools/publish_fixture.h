// The publishing tool's tests share one fixture: a small client, a fresh site and a
// signing key in a scratch folder of their own.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <functional>
#include <fstream>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "core/error.h"
#include "core/version.h"
#include "protocol/manifest.h"
#include "tools/site_object.h"
#include "protocol/release.h"
#include "tools/publication.h"
#include "tools/signing_key.h"
#include "tools/site_check.h"

namespace kaldren::patcher::publish::test {

namespace fs = std::filesystem;

inline std::string read_all(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void write_all(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string random_bytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (auto& c : bytes) c = static_cast<char>(random());
  return bytes;
}

inline std::size_t count_files(const fs::path& folder) {
  std::size_t n = 0;
  if (!fs::exists(folder)) return 0;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) n += entry.is_regular_file();
  return n;
}

class PublishTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("lanternix-publish-test-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_);
    key_ = root_ / "key.pem";
    SigningKey::generate().save_new(key_);
    write_all(client() / "bin/64/Kaldren.exe", random_bytes(70000, 1));     // incompressible
    write_all(client() / "data/text.txt", std::string(200000, 'k'));         // compressible
    write_all(client() / "data/copy.txt", std::string(200000, 'k'));         // same content
    write_all(root_ / "launcher.exe", random_bytes(5000, 2));
  }
  void TearDown() override { fs::remove_all(root_); }

  fs::path client() const { return root_ / "client"; }
  fs::path site() const { return root_ / "site"; }

  PublishRequest request(const std::string& version = "1.0.0") const {
    PublishRequest r;
    r.site = site();
    r.channel = "live";
    r.client = client();
    r.version = version;
    r.executable = "bin/64/Kaldren.exe";
    r.launcher = root_ / "launcher.exe";
    r.launcher_version = "0.1.0";
    r.keys = {key_};
    r.threads = 2;
    r.published_at = "2026-12-08T00:00:00Z";
    r.chunk_params.average = 0;  // whole objects; chunk lists have tests of their own
    return r;
  }

  PublishSummary publish(const PublishRequest& r) {
    return publish_client(r, [](const std::string&) {});
  }

  std::vector<ReleaseKey> keys() const { return {parse_release_key(SigningKey::load(key_).public_key_hex())}; }

  Release current_release() const {
    return verify_release(read_all(site() / release_path("live")), keys());
  }

  // The content of an object on the site, checked as a launcher checks it ("" when unsound).
  std::string object_content(const ObjectRef& ref) const { return read_site_document(site(), ref).value_or(""); }

  ClientManifest current_manifest() const {
    return parse_client_manifest(object_content(current_release().client.manifest));
  }

  // Replaces the live release with one whose manifest entries `change` edits, signed
  // with the test key: a publication the tool itself would never write.
  void rewrite_manifest(const std::function<void(std::vector<ManifestFile>&)>& change) {
    Release release = current_release();
    ClientManifest manifest = current_manifest();
    change(manifest.files);
    std::string bytes = write_client_manifest(version_text(manifest.version), manifest.files);
    ObjectRef ref{sha256(bytes), bytes.size(), sha256(bytes), bytes.size(), false};
    write_all(site() / object_path(ref), bytes);
    std::string payload = write_release_payload(
        {"live", release.sequence + 1, release.published_at, version_text(release.client.version),
         release.client.executable, release.client.file_count, release.client.install_size,
         release.client.download_size, ref, version_text(release.launcher.version), release.launcher.file});
    std::vector<SigningKey> keys;
    keys.push_back(SigningKey::load(key_));
    write_all(site() / release_path("live"), sign_release(payload, keys));
  }

  std::vector<std::string> check() const {
    return check_site(site(), "live", SigningKey::load(key_).public_key_hex(), 2, [](const std::string&) {});
  }

  fs::path root_;
  fs::path key_;
};

}  // namespace kaldren::patcher::publish::test
