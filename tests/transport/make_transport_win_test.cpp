#include "transport/make_transport.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace kaldren::patcher {
namespace {

TEST(MakeTransport, OneSourceAloneSeveralBehindFailOver) {
  const std::string bad_address =
      "The patch server address must be an https:// URL (http:// is allowed only for localhost)";
  const std::string bad_folder = "The patch folder address must be file:///D:/folder or file://server/share/folder";
  const struct {
    std::vector<std::wstring> sources;
    std::string name;  // or the error:
    ErrorCategory category;
    std::string message;
    std::uint64_t count;
  } cases[] = {
      {{}, "", ErrorCategory::configuration, "No patch server is configured", 0},
      {{L"https://patch.kaldren.example"}, "https://patch.kaldren.example", {}, "", 1},
      {{L"https://patch.kaldren.example", L"https://mirror.kaldren.example/lanternix/"},
       "mirrors https://patch.kaldren.example, https://mirror.kaldren.example/lanternix/", {}, "", 2},
      {{L"https://a.example", L"http://localhost:8080", L"https://c.example"},
       "mirrors https://a.example, http://localhost:8080, https://c.example", {}, "", 3},
      {{L"file:///D:/kaldren"}, "file:///D:/kaldren", {}, "", 1},
      {{L"file:///D:/kaldren", L"https://a.example", L"file://server/share/pub"},
       "mirrors file:///D:/kaldren, https://a.example, file://server/share/pub", {}, "", 3},
      {{L"https://a.example", L"file:///D:/../x"}, "", ErrorCategory::configuration, bad_folder, 0},
      {{L"https://a.example", L"ftp://b.example"}, "", ErrorCategory::configuration, bad_address, 0},
      {{L"http://patch.kaldren.example"}, "", ErrorCategory::configuration, bad_address, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sources.size());
    SCOPED_TRACE(c.name + c.message);
    try {
      const std::unique_ptr<Transport> transport = make_transport(c.sources);
      EXPECT_EQ(transport->name(), c.name);
      EXPECT_EQ(transport->source_count(), c.count);
    } catch (const PatchError& error) {
      EXPECT_TRUE(c.name.empty()) << error.what();
      EXPECT_EQ(error.category(), c.category);
      EXPECT_EQ(error.what(), c.message);
    }
  }
}

}  // namespace
}  // namespace kaldren::patcher
