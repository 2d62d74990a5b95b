// The data folder's files on a drive that misbehaves: a damaged, oversized, unreadable
// file or a folder in its place is ignored with at most one warning, never a failure.
#include <gtest/gtest.h>

#include <functional>

#include "core/error.h"
#include "engine/launcher_state.h"
#include "support/log_reader.h"
#include "support/temp_folder.h"
#include "system/file_operations.h"
#include "system/memory_file_system.h"

namespace kaldren::patcher {
namespace {

namespace fs = std::filesystem;

TEST(StateFiles, WhatCannotBeReadIsIgnoredWithOneWarning) {
  const fs::path root = "/game";
  const auto write = [](MemoryFileSystem& disk, const fs::path& file, std::string_view bytes) {
    write_file_atomic(disk, file, bytes);
  };
  const struct {
    const char* name;
    fs::path file;
    std::function<void(MemoryFileSystem&, const fs::path&)> damage;
    std::string warning;  // the start of the one WARN line; empty: none
  } cases[] = {
      {"state damaged", state_file(root), [&](auto& d, auto& f) { write(d, f, "{\"schema\":2,"); },
       "Ignoring unreadable launcher state " + display_path(state_file(root)) + ": "},
      {"state over its cap", state_file(root), [&](auto& d, auto& f) { write(d, f, std::string(1048577, ' ')); },
       "Ignoring unreadable launcher state " + display_path(state_file(root)) + ": " +
           display_path(state_file(root)) + " is larger than expected"},
      {"state unreadable", state_file(root),
       [&](auto& d, auto& f) {
         write(d, f, "{}");
         d.set_unreadable(f);
       },
       "Ignoring unreadable launcher state " + display_path(state_file(root)) + ": " +
           win32_error_text("Could not open " + display_path(state_file(root)), 5)},
      {"state is a folder", state_file(root), [](auto& d, auto& f) { create_folders(d, f); }, ""},
      {"index damaged", index_file(root), [&](auto& d, auto& f) { write(d, f, R"({"files":[["a",1,2]]})"); },
       "Ignoring unreadable file index " + display_path(index_file(root)) + ": short index entry"},
      {"index is a folder", index_file(root), [](auto& d, auto& f) { create_folders(d, f); }, ""},
      {"saved manifest unreadable", installed_manifest_file(root),
       [&](auto& d, auto& f) {
         write(d, f, "{}");
         d.set_unreadable(f);
       },
       "Could not read the saved manifest: " +
           win32_error_text("Could not open " + display_path(installed_manifest_file(root)), 5)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryFileSystem disk;
    create_folders(disk, data_folder(root));
    c.damage(disk, c.file);
    test::TempFolder logs;
    test::LogReader log(logs / "log.txt");
    EXPECT_TRUE(load_state(disk, root).highest_sequences.empty());
    EXPECT_TRUE(load_index(disk, root).empty());
    EXPECT_FALSE(load_saved_manifest(disk, root, Sha256Digest{}));
    const std::vector<std::string> warnings = log.at("WARN");
    if (c.warning.empty()) {
      EXPECT_TRUE(warnings.empty());
    } else {
      ASSERT_EQ(warnings.size(), 1u);
      EXPECT_TRUE(warnings[0].starts_with(c.warning)) << warnings[0];
    }
  }
}

}  // namespace
}  // namespace kaldren::patcher
