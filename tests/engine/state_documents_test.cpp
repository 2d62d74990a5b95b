#include <string>

#include <gtest/gtest.h>

#include "core/error.h"
#include "core/text.h"
#include "engine/launcher_state.h"
#include "protocol/encoding.h"
#include "protocol/json.h"

namespace kaldren::patcher {
namespace {

const std::string kDigest(64, 'a');
const std::string kRecord = R"({"sequence":7,"version":"1.2.3","manifest_sha256":")" + kDigest +
                            R"(","executable":"bin/64/Kaldren.exe"})";

std::string json_error(std::string_view document, bool index) {
  try {
    if (index)
      parse_index(document);
    else
      parse_state(document);
  } catch (const JsonError& e) {
    return e.what();
  } catch (const PatchError& e) {
    return std::string("PatchError: ") + e.what();
  }
  return "";
}

TEST(StateDocument, FreshStateHasSchemaChannelAndEmptySequences) {
  EXPECT_EQ(serialize_state(LauncherState{}), R"({"schema":2,"channel":"","highest_sequences":{}})");
}

TEST(StateDocument, RoundTripKeepsEveryField) {
  LauncherState state;
  state.channel = "live";
  record_sequence(state, "live", 9);
  record_sequence(state, "beta", 3);
  ReleaseRecord record{9, {1, 2, 3}, {}, "bin/64/Kaldren.exe"};
  record.manifest_sha256[0] = 0xAB;
  state.installed = record;
  record.sequence = 10;
  state.pending = record;
  std::string text = serialize_state(state);
  // Channels in byte order; records only when present.
  EXPECT_NE(text.find(R"("highest_sequences":{"beta":3,"live":9})"), std::string::npos) << text;
  LauncherState back = parse_state(text);
  EXPECT_EQ(back.channel, "live");
  EXPECT_EQ(back.highest_sequences, state.highest_sequences);
  EXPECT_EQ(back.installed, state.installed);
  EXPECT_EQ(back.pending, state.pending);
}

TEST(StateDocument, RepeatedChannelKeepsLaterValueAndSequencesNeverDrop) {
  LauncherState state = parse_state(R"({"schema":2,"highest_sequences":{"live":5,"live":3}})");
  EXPECT_EQ(highest_sequence(state, "live"), 3u);
  record_sequence(state, "live", 2);
  EXPECT_EQ(highest_sequence(state, "live"), 3u);
  record_sequence(state, "live", 4);
  EXPECT_EQ(highest_sequence(state, "live"), 4u);
  EXPECT_EQ(highest_sequence(state, "beta"), std::nullopt);
}

TEST(StateDocument, UnknownMembersAndMissingSchemaAreAccepted) {
  LauncherState state = parse_state(R"({"extra":[1,{"a":true}],"channel":"live","installed":)" + kRecord + "} \r\n");
  EXPECT_EQ(state.channel, "live");
  ASSERT_TRUE(state.installed);
  EXPECT_EQ(state.installed->sequence, 7u);
}

TEST(StateDocument, DamagedDocumentsFailWithTheirReason) {
  struct Case {
    std::string document;
    std::string error;
  } cases[] = {
      {R"({"schema":1})", "unsupported state schema"},
      {R"({"schema":2}x)", "trailing data"},
      {R"({"installed":{}})", "incomplete release record"},
      {R"({"installed":{"sequence":1,"version":"1.0.0","manifest_sha256":")" + kDigest + R"("}})",
       "incomplete release record"},
      {R"({"pending":{"sequence":1,"version":"1.0.0","manifest_sha256":")" + std::string(64, 'A') +
           R"(","executable":"a"}})",
       "invalid manifest digest"},
      {R"({"pending":{"sequence":1,"version":"1.0.0","manifest_sha256":")" + kDigest +
           R"(","executable":"../a"}})",
       "invalid executable path"},
      {R"({"installed":{"version":"1.0"}})", "PatchError: Invalid version \"1.0\" (expected major.minor.patch)"},
      {R"({"highest_sequences":{"live":-1}})", "Expected unsigned JSON integer"},
      {"", "Unexpected end of JSON input"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.document);
    EXPECT_EQ(json_error(c.document, false), c.error);
  }
}

TEST(IndexDocument, RoundTripSortsByPathBytesWithoutWhitespace) {
  FileIndex index;
  IndexEntry b{"b.txt", 2, 20, {}};
  IndexEntry a{"A/x.dat", 1, 10, {}};
  a.sha256[31] = 1;
  index.emplace(fold_path_case(to_utf16(b.path)), b);
  index.emplace(fold_path_case(to_utf16(a.path)), a);
  std::string text = serialize_index(index);
  EXPECT_EQ(text, R"({"schema":2,"files":[["A/x.dat",1,10,")" + to_hex(a.sha256) + R"("],["b.txt",2,20,")" +
                      to_hex(b.sha256) + R"("]]})");
  FileIndex back = parse_index(text);
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back.at(fold_path_case(L"a/X.DAT")), a);
}

TEST(IndexDocument, CaseTwinsEndAsTheLaterEntryAndTrailingBytesAreIgnored) {
  FileIndex index = parse_index(R"({"files":[["Data/A.txt",1,1,")" + kDigest + R"("],["data/a.TXT",2,2,")" + kDigest +
                                R"("]]}garbage)");
  ASSERT_EQ(index.size(), 1u);
  EXPECT_EQ(index.begin()->second.path, "data/a.TXT");
  EXPECT_EQ(index.begin()->second.size, 2u);
}

TEST(IndexDocument, DamagedEntriesFailTheWholeIndex) {
  struct Case {
    std::string document;
    std::string error;
  } cases[] = {
      {R"({"schema":3,"files":[]})", "unsupported index schema"},
      {R"({"files":[["a",1,2]]})", "short index entry"},
      {R"({"files":[[]]})", "short index entry"},
      {R"({"files":[["a",1,2,")" + kDigest + R"(",5]]})", "invalid index entry"},
      {R"({"files":[["a",1,2,"abc"]]})", "invalid index entry"},
      {R"({"files":[["a/../b",1,2,")" + kDigest + R"("]]})", "invalid index entry"},
      {R"({"files":[["Lanternix/state.json",1,2,")" + kDigest + R"("]]})", "invalid index entry"},
      {R"({"files":[["a","1",2,")" + kDigest + R"("]]})", "Expected unsigned JSON integer"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.document);
    EXPECT_EQ(json_error(c.document, true), c.error);
  }
}

}  // namespace
}  // namespace kaldren::patcher
