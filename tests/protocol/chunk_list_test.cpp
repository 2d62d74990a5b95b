#include "protocol/chunk_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "core/error.h"

namespace kaldren::patcher {
namespace {

const ChunkParams kSmall = {64, 256, 1024, 2, 4, 16};

std::string random_bytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

// Cuts `data` as the publisher does; the lengths of its chunks.
std::vector<std::size_t> cut(std::string_view data, const ChunkParams& params) {
  std::vector<std::size_t> lengths;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.data());
  for (std::size_t offset = 0; offset < data.size();) {
    lengths.push_back(chunk_length({bytes + offset, std::min<std::size_t>(data.size() - offset, params.max)}, params));
    offset += lengths.back();
  }
  return lengths;
}

TEST(Chunking, CutsWithinBoundsAndResynchronisesAfterAnEdit) {
  const std::string data = random_bytes(200000, 1);
  const std::vector<std::size_t> lengths = cut(data, kSmall);
  std::size_t total = 0;
  for (std::size_t i = 0; i < lengths.size(); ++i) {
    total += lengths[i];
    EXPECT_LE(lengths[i], kSmall.max);
    if (i + 1 < lengths.size()) {
      EXPECT_GE(lengths[i], kSmall.min) << i;
    }
  }
  EXPECT_EQ(total, data.size());
  // Sizes gather around the average: about size / average chunks.
  EXPECT_GT(lengths.size(), data.size() / (2 * kSmall.average));
  EXPECT_LT(lengths.size(), data.size() / (kSmall.average / 2));

  // An insertion near the start shifts everything after it, yet the cut points come
  // back: the chunks of the end are the same.
  std::string edited = data;
  edited.insert(1000, "inserted bytes");
  const std::vector<std::size_t> after = cut(edited, kSmall);
  const auto ends = [](const std::vector<std::size_t>& chunk_lengths) {
    std::vector<std::size_t> at;
    for (const std::size_t length : chunk_lengths) at.push_back((at.empty() ? 0 : at.back()) + length);
    return at;
  };
  const std::vector<std::size_t> before = ends(lengths);
  std::size_t shared = 0;
  for (const std::size_t end : ends(after)) {
    if (end > 1014 && std::binary_search(before.begin(), before.end(), end - 14)) ++shared;
  }
  EXPECT_GT(shared, lengths.size() * 9 / 10);
}

TEST(Chunking, TableOfEdges) {
  const std::string random = random_bytes(4096, 2);
  const std::string zeros(4096, '\0');
  const struct {
    std::string data;
    std::vector<std::size_t> expected;  // empty: only the bounds are checked
  } cases[] = {
      {"", {}},
      {std::string(1, 'x'), {1}},
      {random.substr(0, 64), {64}},   // up to min: one chunk
      {random.substr(0, 65), {}},
      {zeros, {1024, 1024, 1024, 1024}},  // no cut point in a constant run: max each
      {zeros.substr(0, 1030), {1024, 6}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.data.size());
    const std::vector<std::size_t> lengths = cut(c.data, kSmall);
    if (!c.expected.empty() || c.data.empty()) {
      EXPECT_EQ(lengths, c.expected);
    }
    std::size_t total = 0;
    for (const std::size_t length : lengths) total += length;
    EXPECT_EQ(total, c.data.size());
  }
  // Pages: never above page_max, never below page_min but by the digest rule.
  Sha256Digest digest{};
  EXPECT_FALSE(ends_page(digest, 1, kSmall));
  EXPECT_TRUE(ends_page(digest, 2, kSmall));  // an all-zero tail meets the rule
  digest[31] = 1;
  EXPECT_FALSE(ends_page(digest, 15, kSmall));
  EXPECT_TRUE(ends_page(digest, 16, kSmall));
  EXPECT_TRUE(valid_chunk_params(default_chunk_params()));
  for (const ChunkParams bad : {ChunkParams{32, 256, 1024, 2, 4, 16}, ChunkParams{64, 300, 1024, 2, 4, 16},
                                ChunkParams{64, 256, 2097152, 2, 4, 16}, ChunkParams{64, 256, 1024, 0, 4, 16},
                                ChunkParams{64, 256, 1024, 2, 4, 9000}, ChunkParams{512, 256, 1024, 2, 4, 16}}) {
    EXPECT_FALSE(valid_chunk_params(bad));
  }
}

ChunkIndex sample_index() {
  ChunkIndex index;
  index.params = kSmall;
  index.size = 700;
  ObjectRef page;
  page.sha256 = page.stored_sha256 = sha256("page");
  page.size = page.stored_size = 4;
  index.pages = {{page, 3, 500, sha256("fingerprint")}, {page, 2, 200, sha256("another")}};
  index.seeds = {"data/other.pak"};
  return index;
}

TEST(ChunkList, DocumentsRoundTripAndLaterFormatsAreSkipped) {
  const ChunkIndex index = sample_index();
  const ChunkIndex read = parse_chunk_index(write_chunk_index(index));
  EXPECT_TRUE(read.supported);
  EXPECT_EQ(read.params, index.params);
  EXPECT_EQ(read.size, 700u);
  ASSERT_EQ(read.pages.size(), 2u);
  EXPECT_EQ(read.pages[1].span, 200u);
  EXPECT_EQ(read.pages[0].fingerprint, sha256("fingerprint"));
  EXPECT_EQ(read.seeds, index.seeds);

  ChunkPage page;
  ObjectRef plain;
  plain.sha256 = plain.stored_sha256 = sha256("a");
  plain.size = plain.stored_size = 300;
  ObjectRef packed = plain;
  packed.stored_sha256 = sha256("packed");
  packed.stored_size = 20;
  packed.compressed = true;
  page.chunks = {plain, packed};
  EXPECT_EQ(parse_chunk_page(write_chunk_page(page)).chunks, page.chunks);

  EXPECT_FALSE(parse_chunk_index(R"({"schema":2,"kind":"chunk-index","anything":[1]})").supported);
  EXPECT_FALSE(parse_chunk_index(R"({"kind":"chunk-index","schema":1,"method":"other","size":1})").supported);
}

TEST(ChunkList, MalformedDocumentsAreServerErrors) {
  const std::string prefix = "The patch server sent a malformed update description: ";
  const struct {
    std::string document;
    bool page;
    std::string detail;
  } cases[] = {
      {R"({"schema":1,"kind":"chunk-page"})", true, "the chunk page is missing a field"},
      {R"({"schema":1,"kind":"chunk-page","chunks":[["aa",1]]})", true, "a chunk digest is not a lowercase SHA-256"},
      {R"({"schema":1,"kind":"chunk-page","chunks":[[")" + to_hex(sha256("x")) + R"("]]})", true,
       "a chunk entry is too short"},
      {R"({"schema":1,"kind":"chunk-page","chunks":[[")" + to_hex(sha256("x")) + R"(",1,")" +
           to_hex(sha256("y")) + R"(",1,5]]})",
       true, "a chunk entry is too long"},
      {R"({"schema":3,"kind":"chunk-page","chunks":[]})", true, "the chunk page has an unknown format"},
      {R"({"schema":1,"kind":"manifest","chunks":[]})", true, "the chunk page has the wrong kind"},
      {R"({"schema":1,"kind":"chunk-page","chunks":[]} x)", true, "trailing data after the chunk page"},
      {R"({"schema":1,"kind":"chunk-index","method":"gear-1","size":1})", false, "the chunk index is missing a field"},
      {R"({"schema":1,"kind":"chunk-index","min":4294967296})", false, "a chunk list parameter is out of range"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.document);
    try {
      if (c.page) {
        parse_chunk_page(c.document);
      } else {
        parse_chunk_index(c.document);
      }
      ADD_FAILURE() << "accepted";
    } catch (const PatchError& error) {
      EXPECT_EQ(error.category(), ErrorCategory::server);
      EXPECT_EQ(error.what(), prefix + c.detail);
    }
  }
}

TEST(ChunkList, ValidationRefusesListsThatDoNotDescribeTheFile) {
  const auto refused = [](const std::function<void(ChunkIndex&)>& change) -> std::string {
    ChunkIndex index = sample_index();
    change(index);
    try {
      validate_chunk_index(index, "data/a.pak", 700);
      return "";
    } catch (const PatchError& error) {
      EXPECT_EQ(error.category(), ErrorCategory::security);
      return error.what();
    }
  };
  EXPECT_EQ(refused([](ChunkIndex&) {}), "");
  EXPECT_EQ(refused([](ChunkIndex& i) { i.pages[1].span = 201; }),
            "The chunk list of data/a.pak does not add up to the file's size");
  EXPECT_EQ(refused([](ChunkIndex& i) { i.size = 699; }), "The chunk list of data/a.pak describes a file of another size");
  EXPECT_EQ(refused([](ChunkIndex& i) { i.pages[0].chunks = 1000000000; }),
            "The chunk list of data/a.pak has a page outside the format's bounds");
  EXPECT_EQ(refused([](ChunkIndex& i) { i.pages[0].chunks = 0; }),
            "The chunk list of data/a.pak has a page outside the format's bounds");
  EXPECT_EQ(refused([](ChunkIndex& i) { i.params.max = 1 << 30; }),
            "The chunk list of data/a.pak declares chunk sizes outside the format's bounds");
  EXPECT_EQ(refused([](ChunkIndex& i) { i.seeds = {"../outside"}; }),
            "The patch names an unsafe file path: \"../outside\"");

  // A page must list what its index entry says, in sizes its parameters allow.
  ChunkPage page;
  for (const std::uint64_t size : {300, 100, 100}) {
    ObjectRef chunk;
    chunk.sha256 = chunk.stored_sha256 = sha256(std::to_string(size) + std::to_string(page.chunks.size()));
    chunk.size = chunk.stored_size = size;
    page.chunks.push_back(chunk);
  }
  ChunkPageRef entry{{}, 3, 500, page_fingerprint(page.chunks)};
  EXPECT_NO_THROW(validate_chunk_page(page, entry, kSmall, false, "a"));
  ChunkPage swapped = page;
  std::swap(swapped.chunks[0], swapped.chunks[1]);
  EXPECT_THROW(validate_chunk_page(swapped, entry, kSmall, false, "a"), PatchError);  // the fingerprint tells
  ChunkPage tiny = page;
  tiny.chunks[2].size = tiny.chunks[2].stored_size = 10;
  ChunkPageRef tiny_entry{{}, 3, 410, page_fingerprint(tiny.chunks)};
  EXPECT_THROW(validate_chunk_page(tiny, tiny_entry, kSmall, false, "a"), PatchError);  // short before the end
  EXPECT_NO_THROW(validate_chunk_page(tiny, tiny_entry, kSmall, true, "a"));           // the file's last chunk
}

}  // namespace
}  // namespace kaldren::patcher
