// HttpTransport against nginx serving a folder the test fills (nginx_tests.sh and
// https_tests.sh start it): large resumed downloads, parallel downloads, HTTPS.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/error.h"
#include "core/text.h"
#include "transport/http_transport.h"
#include "support/log_reader.h"
#include "support/temp_folder.h"
#include "transport/server_fixture.h"

namespace kaldren::patcher {
namespace {

std::string random_bytes(std::size_t size, unsigned seed) {
  std::mt19937 engine(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(engine() & 0xFF);
  return bytes;
}

std::filesystem::path site() { return test::required_environment(L"LANTERNIX_TEST_SITE"); }

// Publishes `bytes` under the served folder at the publication path.
void publish(const std::string& path, std::string_view bytes) { test::write_bytes(site() / path, bytes); }

std::string access_log() { return test::read_bytes(test::required_environment(L"LANTERNIX_TEST_ACCESS_LOG")); }

// Random bytes published as v2/objects/<name>, and a partial file to download them to.
struct PublishedObject {
  PublishedObject(const std::string& name, std::size_t size, unsigned seed)
      : path("v2/objects/" + name), object(random_bytes(size, seed)), part(folder.path() / (name + ".part")) {
    publish(path, object);
  }
  const std::string path;
  const std::string object;
  test::TempFolder folder;
  const std::filesystem::path part;
};

TEST(Nginx, AStoppedLargeDownloadResumesWhereItStopped) {
  constexpr std::size_t kSize = 8 * 1024 * 1024 + 12345;
  const PublishedObject published("large.bin", kSize, 1);
  const std::string& object = published.object;
  const std::filesystem::path& part = published.part;
  HttpTransport transport(test::local_address(L"http://127.0.0.1", L""), 2, 2000);

  std::stop_source stop;
  const auto stop_after_three_mib = [&](std::uint64_t bytes) {
    if (bytes >= 3 * 1024 * 1024) stop.request_stop();
  };
  try {
    transport.download("v2/objects/large.bin", part, kSize, stop.get_token(), stop_after_three_mib, 0);
    FAIL() << "not stopped";
  } catch (const PatchError& error) {
    EXPECT_EQ(error.category(), ErrorCategory::cancelled);
  }
  const std::uint64_t kept = std::filesystem::file_size(part);
  EXPECT_GE(kept, 3u * 1024 * 1024);
  EXPECT_LT(kept, kSize);
  EXPECT_EQ(test::read_bytes(part), object.substr(0, kept));

  std::vector<std::uint64_t> progress;
  transport.download("v2/objects/large.bin", part, kSize, {},
                     [&](std::uint64_t bytes) { progress.push_back(bytes); }, 0);
  EXPECT_EQ(test::read_bytes(part), object);
  ASSERT_FALSE(progress.empty());
  EXPECT_GT(progress.front(), kept);
  EXPECT_EQ(progress.back(), kSize);
  EXPECT_NE(access_log().find("\"GET /v2/objects/large.bin HTTP/1.1\" \"bytes=" + std::to_string(kept) + "-\" 206"),
            std::string::npos)
      << access_log();
}

TEST(Nginx, ATruncatedPartialFileResumesFromItsLength) {
  constexpr std::size_t kSize = 3 * 1024 * 1024 + 7;
  const PublishedObject published("truncated.bin", kSize, 2);
  const std::string& object = published.object;
  const std::filesystem::path& part = published.part;
  test::write_bytes(part, object.substr(0, 1234567));
  HttpTransport transport(test::local_address(L"http://127.0.0.1", L"/"), 1, 2000);
  transport.download("v2/objects/truncated.bin", part, kSize, {}, {}, 0);
  EXPECT_EQ(test::read_bytes(part), object);
  EXPECT_NE(access_log().find("\"GET /v2/objects/truncated.bin HTTP/1.1\" \"bytes=1234567-\" 206"),
            std::string::npos);
}

TEST(Nginx, EightParallelDownloadsOnOneTransport) {
  constexpr int kCount = 8;
  std::vector<std::string> objects;
  for (int i = 0; i < kCount; ++i) {
    objects.push_back(random_bytes(1024 * 1024 + static_cast<std::size_t>(i) * 300001, 100 + i));
    publish("v2/objects/parallel" + std::to_string(i) + ".bin", objects.back());
  }
  test::TempFolder folder;
  HttpTransport transport(test::local_address(L"http://localhost", L""), 2, 2000);
  std::vector<std::string> errors(kCount);
  {
    std::vector<std::jthread> workers;
    for (int i = 0; i < kCount; ++i) {
      workers.emplace_back([&, i] {
        try {
          transport.download("v2/objects/parallel" + std::to_string(i) + ".bin",
                             folder.path() / ("parallel" + std::to_string(i) + ".part"), objects[i].size(), {},
                             {}, 0);
        } catch (const PatchError& error) {
          errors[i] = error.what();
        }
      });
    }
  }
  for (int i = 0; i < kCount; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(errors[i], "");
    EXPECT_TRUE(test::read_bytes(folder.path() / ("parallel" + std::to_string(i) + ".part")) == objects[i]);
  }
}

// With the test certificate authority trusted by the system (https_tests.sh).
TEST(Https, TrustedDocumentsAndObjectsArriveOverTls) {
  const std::string document = R"({"channel":"live"})";
  publish("v2/channels/live/release.json", document);
  const std::string object = random_bytes(700000, 3);
  publish("v2/objects/tls.bin", object);
  std::vector<const wchar_t*> hosts{L"https://localhost"};
  // Wine checks a certificate's DNS names only, not its IP addresses.
  if (!test::running_under_wine()) hosts.push_back(L"https://127.0.0.1");
  for (const wchar_t* host : hosts) {
    SCOPED_TRACE(to_utf8(host));
    HttpTransport transport(test::local_address(host, L"/"), 1, 2000);
    EXPECT_EQ(transport.fetch("v2/channels/live/release.json", 1024, {}), document);
    test::TempFolder folder;
    test::write_bytes(folder.path() / L"tls.part", object.substr(0, 1000));
    transport.download("v2/objects/tls.bin", folder.path() / L"tls.part", object.size(), {}, {}, 0);
    EXPECT_TRUE(test::read_bytes(folder.path() / L"tls.part") == object);
  }
}

// After the test certificate authority was removed again: the same server is refused.
TEST(Https, UntrustedCertificateIsRefused) {
  HttpTransport transport(test::local_address(L"https://localhost", L""), 1, 2000);
  try {
    transport.fetch("v2/channels/live/release.json", 1024, {});
    FAIL() << "an untrusted server was accepted";
  } catch (const PatchError& error) {
    EXPECT_EQ(error.category(), ErrorCategory::network);
    const std::string message = error.what();
    // 12175: ERROR_WINHTTP_SECURE_FAILURE; 12157: ERROR_WINHTTP_SECURE_CHANNEL_ERROR.
    const bool secure_failure = message.find("(Win32 error 12175)") != std::string::npos ||
                                message.find("(Win32 error 12157)") != std::string::npos;
    EXPECT_TRUE(secure_failure) << message;
    const std::string prefix = "Could not reach the patch server for v2/channels/live/release.json";
    EXPECT_EQ(message.substr(0, prefix.size()), prefix);
  }
}

}  // namespace
}  // namespace kaldren::patcher
