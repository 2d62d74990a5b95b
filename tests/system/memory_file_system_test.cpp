// The in-memory drive answers as Windows does where the launcher relies on it, and its
// faults and power cuts follow the model its header states. The file operations run
// over it here, so their policy is tested natively too.
#include "system/memory_file_system.h"

#include <gtest/gtest.h>

#include "core/error.h"
#include "support/failure_of.h"
#include "support/log_reader.h"
#include "support/temp_folder.h"
#include "system/file_operations.h"

namespace kaldren::patcher {
namespace {

namespace fs = std::filesystem;
using test::failure_of;
using Files = std::map<std::string, std::string>;

const fs::path kRoot = fs::path("/drive") / "game";

class MemoryFileSystemTest : public ::testing::Test {
 protected:
  MemoryFileSystemTest() { EXPECT_EQ(create_folders(disk_, kRoot), 0u); }

  fs::path at(const char* relative) const { return kRoot / fs::path(relative).make_preferred(); }
  void write(const char* relative, std::string_view bytes) { write_file_atomic(disk_, at(relative), bytes); }
  std::string read(const char* relative) { return read_file(disk_, at(relative), 1 << 20); }
  std::unique_ptr<OpenFile> open(const char* relative, OpenRequest::Access access, unsigned share,
                                 OpenRequest::Disposition disposition = OpenRequest::Disposition::open_existing) {
    std::unique_ptr<OpenFile> file;
    EXPECT_EQ(disk_.open(at(relative), {access, share, disposition}, file), 0u) << relative;
    return file;
  }

  MemoryFileSystem disk_;
};

TEST_F(MemoryFileSystemTest, AnswersWithTheCodesOfWindows) {
  write("file.txt", "bytes");
  write("folder/inner.txt", "x");
  disk_.set_read_only(at("file.txt"), false);
  write("locked.txt", "r");
  disk_.set_read_only(at("locked.txt"), true);
  write("hidden.txt", "h");
  disk_.set_hidden(at("hidden.txt"), true);
  std::unique_ptr<OpenFile> none;
  const struct {
    const char* name;
    std::function<SystemCode()> call;
    SystemCode code;
  } cases[] = {
      {"status of a missing file", [&] { FileStatus s; return disk_.status(at("missing"), s); }, 2},
      {"status below a missing folder", [&] { FileStatus s; return disk_.status(at("no/such"), s); }, 3},
      {"status below a file", [&] { FileStatus s; return disk_.status(at("file.txt/x"), s); }, 3},
      {"names differ in case only", [&] { FileStatus s; return disk_.status(at("FOLDER/Inner.TXT"), s); }, 0},
      {"folder over a file", [&] { return disk_.create_folder(at("FILE.txt")); }, 183},
      {"folder in a missing folder", [&] { return disk_.create_folder(at("a/b")); }, 3},
      {"remove a folder with files", [&] { return disk_.remove_folder(at("folder")); }, 145},
      {"remove a file as a folder", [&] { return disk_.remove_folder(at("file.txt")); }, 267},
      {"open a folder", [&] { return disk_.open(at("folder"), {}, none); }, 5},
      {"open a missing file", [&] { return disk_.open(at("missing"), {}, none); }, 2},
      {"write a read-only file",
       [&] { return disk_.open(at("locked.txt"), {OpenRequest::Access::write}, none); }, 5},
      {"delete a read-only file", [&] { return disk_.remove_file(at("locked.txt")); }, 5},
      {"delete a folder as a file", [&] { return disk_.remove_file(at("folder")); }, 5},
      {"move over a folder", [&] { return disk_.move(at("file.txt"), at("folder")); }, 5},
      {"move over a read-only file", [&] { return disk_.move(at("file.txt"), at("locked.txt")); }, 5},
      {"move a missing file", [&] { return disk_.move(at("missing"), at("x")); }, 2},
      {"copy into a missing folder", [&] { return disk_.copy(at("file.txt"), at("no/x")); }, 3},
      {"copy over a hidden file", [&] { return disk_.copy(at("file.txt"), at("hidden.txt")); }, 5},
      {"create anew over a hidden file",
       [&] {
         return disk_.open(at("hidden.txt"), {OpenRequest::Access::write, 0, OpenRequest::Disposition::create_always},
                           none);
       },
       5},
      {"move over a hidden file", [&] { return disk_.move(at("folder/inner.txt"), at("hidden.txt")); }, 0},
      {"list a missing folder", [&] { return disk_.list(at("missing")).open_error; }, 3},
      {"list a file", [&] { return disk_.list(at("file.txt")).open_error; }, 267},
  };
  for (const auto& c : cases) EXPECT_EQ(c.call(), c.code) << c.name;
  // Through the operations: messages and categories as on Windows.
  const PatchError error = failure_of([&] { read_file(disk_, at("missing"), 10); });
  EXPECT_EQ(error.category(), ErrorCategory::io);
  EXPECT_EQ(std::string(error.what()), win32_error_text("Could not open " + display_path(at("missing")), 2));
}

// What Windows refuses to overwrite (read-only, hidden, system) is cleared first: none
// of it is a lock, so nothing is retried, and the file ends as the installed one.
TEST_F(MemoryFileSystemTest, ProtectedTargetsAreReplacedCopiedOverAndDeletedAtOnce) {
  const struct {
    const char* name;
    bool read_only;
    bool hidden;
  } targets[] = {{"read-only", true, false}, {"hidden", false, true}, {"hidden and read-only", true, true}};
  const struct {
    const char* name;
    std::function<void(MemoryFileSystem&, const fs::path&, const fs::path&)> operation;
    const char* after;
  } operations[] = {
      {"replace", [](auto& d, auto& s, auto& t) { replace_file(d, s, t); }, "new"},
      {"copy", [](auto& d, auto& s, auto& t) { copy_file(d, s, t); }, "new"},
      {"delete", [](auto& d, auto&, auto& t) { EXPECT_TRUE(delete_file(d, t)); }, nullptr},
  };
  for (const auto& target : targets) {
    for (const auto& operation : operations) {
      SCOPED_TRACE(std::string(target.name) + " target, " + operation.name);
      write("source", "new");
      write("target", "old");
      disk_.set_read_only(at("target"), target.read_only);
      disk_.set_hidden(at("target"), target.hidden);
      const std::uint64_t pauses = disk_.pauses();
      operation.operation(disk_, at("source"), at("target"));
      EXPECT_EQ(disk_.pauses(), pauses) << "retried as if locked";
      FileStatus status;
      if (operation.after) {
        EXPECT_EQ(read("target"), operation.after);
        ASSERT_EQ(disk_.status(at("target"), status), 0u);
        EXPECT_FALSE(status.hidden);
      } else {
        EXPECT_EQ(disk_.status(at("target"), status), 2u);
      }
    }
  }
}

TEST_F(MemoryFileSystemTest, HeldFilesFollowTheSharingRules) {
  write("a.txt", "a");
  {
    auto reader = open("a.txt", OpenRequest::Access::read, OpenRequest::share_read | OpenRequest::share_write);
    auto writer = open("a.txt", OpenRequest::Access::write, OpenRequest::share_read);
    std::unique_ptr<OpenFile> third;
    EXPECT_EQ(disk_.open(at("a.txt"), {OpenRequest::Access::read, OpenRequest::share_read}, third), 32u)
        << "a reader that would not share writing with the open writer";
    EXPECT_EQ(disk_.remove_file(at("a.txt")), 32u) << "no one shares deleting";
  }
  {
    auto both = open("a.txt", OpenRequest::Access::read_write, OpenRequest::share_read | OpenRequest::share_write);
    std::unique_ptr<OpenFile> other;
    EXPECT_EQ(disk_.open(at("a.txt"), {OpenRequest::Access::read, OpenRequest::share_read}, other), 32u)
        << "a reader that would not share writing with the open reader-writer";
    EXPECT_EQ(disk_.open(at("a.txt"), {OpenRequest::Access::write, OpenRequest::share_write}, other), 32u)
        << "a writer that would not share reading with it";
    EXPECT_EQ(disk_.open(at("a.txt"), {OpenRequest::Access::write, OpenRequest::share_read | OpenRequest::share_write},
                         other),
              0u);
    std::uint8_t byte = 0;
    std::size_t count = 0;
    EXPECT_EQ(other->read(std::span(&byte, 1), count), 5u) << "a handle opened to write only cannot read";
  }
  auto shared = open("a.txt", OpenRequest::Access::read, OpenRequest::share_read | OpenRequest::share_delete);
  write("b.txt", "b");
  EXPECT_EQ(disk_.move(at("b.txt"), at("a.txt")), 0u) << "the reader shares deleting";
  std::uint8_t byte = 0;
  std::size_t count = 0;
  EXPECT_EQ(shared->read(std::span(&byte, 1), count), 0u);
  EXPECT_EQ(byte, 'a') << "an open file keeps its bytes when its name goes";
}

TEST_F(MemoryFileSystemTest, LockedFilesAreRetriedUntilReleased) {
  const struct {
    const char* name;
    std::function<void()> operation;  // on game.exe
    std::string failure;              // its message's context when the file stays held
    bool names_holder;                // the message names the program the drive says holds it
  } operations[] = {
      {"replace", [&] { replace_file(disk_, at("staged"), at("game.exe")); }, "Could not replace ", true},
      {"copy", [&] { copy_file(disk_, at("staged"), at("game.exe")); }, "Could not copy to ", true},
      {"delete", [&] { delete_file(disk_, at("game.exe")); }, "Could not delete ", true},
      {"flush", [&] { flush_file(disk_, at("game.exe")); }, "Could not open ", false},
  };
  const std::vector<std::string> holders{"Kaldren Morvale (pid 77)", "a program (pid 78)"};
  for (const auto& operation : operations) {
    for (const bool released : {true, false}) {
      SCOPED_TRACE(std::string(operation.name) + (released ? ", released" : ", held"));
      write("game.exe", "old");
      write("staged", "new");
      auto holder = open("game.exe", OpenRequest::Access::read, OpenRequest::share_none);
      const std::uint64_t pauses = disk_.pauses();
      disk_.on_pause([&] {
        if (released && disk_.pauses() - pauses == 3) holder.reset();
      });
      test::TempFolder logs;
      test::LogReader log(logs / "log.txt");
      if (released) {
        operation.operation();
        EXPECT_EQ(disk_.pauses() - pauses, 3u);
      } else {
        const PatchError error = failure_of(operation.operation);
        EXPECT_EQ(error.category(), ErrorCategory::file_in_use);
        EXPECT_EQ(std::string(error.what()), win32_error_text(operation.failure + display_path(at("game.exe")), 32));
        EXPECT_EQ(disk_.pauses() - pauses, 24u);
      }
      EXPECT_EQ(log.at("DEBUG"), std::vector<std::string>{display_path(at("game.exe")) + " is locked; retrying"});
      if (!released) {
        // Where the system can tell who holds the file, the player learns what to close.
        const std::string plain = failure_of(operation.operation).what();
        disk_.set_programs_using(at("game.exe"), holders);
        const std::string named = failure_of(operation.operation).what();
        disk_.set_programs_using(at("game.exe"), {});
        const std::string users = "; in use by " + holders[0] + ", " + holders[1];
        EXPECT_EQ(named, plain + (operation.names_holder ? users : ""));
      }
      disk_.on_pause({});
    }
  }
}

// A drive whose open files cannot tell their size, as a broken network share answers.
class SizeUnknown final : public FileSystem {
 public:
  explicit SizeUnknown(FileSystem& inner) : inner_(inner) {}
  SystemCode status(const fs::path& p, FileStatus& s) override { return inner_.status(p, s); }
  SystemCode set_read_only(const fs::path& p, bool r) override { return inner_.set_read_only(p, r); }
  SystemCode set_hidden(const fs::path& p, bool h) override { return inner_.set_hidden(p, h); }
  SystemCode create_folder(const fs::path& p) override { return inner_.create_folder(p); }
  SystemCode remove_folder(const fs::path& p) override { return inner_.remove_folder(p); }
  SystemCode move(const fs::path& a, const fs::path& b) override { return inner_.move(a, b); }
  SystemCode copy(const fs::path& a, const fs::path& b) override { return inner_.copy(a, b); }
  SystemCode remove_file(const fs::path& p) override { return inner_.remove_file(p); }
  FolderContents list(const fs::path& p) override { return inner_.list(p); }
  SystemCode free_space(const fs::path& p, std::uint64_t& b) override { return inner_.free_space(p, b); }
  bool long_paths_enabled() override { return false; }
  std::uint32_t process_id() override { return 1; }
  void pause(std::chrono::milliseconds) override {}
  std::vector<std::string> programs_using(const std::vector<std::filesystem::path>&) override { return {}; }
  SystemCode open(const fs::path& p, const OpenRequest& r, std::unique_ptr<OpenFile>& file) override {
    struct NoSize final : OpenFile {
      std::unique_ptr<OpenFile> inner;
      SystemCode read(std::span<std::uint8_t> b, std::size_t& n) override { return inner->read(b, n); }
      SystemCode write(std::span<const std::uint8_t> b) override { return inner->write(b); }
      SystemCode flush() override { return inner->flush(); }
      SystemCode size(std::uint64_t&) override { return 1117; }  // an I/O device error
      SystemCode truncate(std::uint64_t b) override { return inner->truncate(b); }
      SystemCode seek(std::uint64_t b) override { return inner->seek(b); }
    };
    auto wrapped = std::make_unique<NoSize>();
    const SystemCode error = inner_.open(p, r, wrapped->inner);
    if (error == 0) file = std::move(wrapped);
    return error;
  }

 private:
  FileSystem& inner_;
};

TEST_F(MemoryFileSystemTest, ListingAndSizingFailuresNameTheirPath) {
  write("data/a.pak", "a");
  disk_.set_unreadable(at("data"));
  PatchError error = failure_of([&] { list_files(disk_, kRoot, {"", "data"}); });
  EXPECT_EQ(error.category(), ErrorCategory::io);
  EXPECT_EQ(std::string(error.what()), win32_error_text("Could not list " + display_path(at("data")), 5));

  write("state.json", "{}");
  SizeUnknown broken(disk_);
  error = failure_of([&] { read_file(broken, at("state.json"), 100); });
  EXPECT_EQ(error.category(), ErrorCategory::io);
  EXPECT_EQ(std::string(error.what()), win32_error_text("Could not size " + display_path(at("state.json")), 1117));
}

TEST_F(MemoryFileSystemTest, AFullDriveFailsTheWriteAndKeepsTheOldFile) {
  write("state.json", "old");
  disk_.set_capacity(3 + 10);
  const PatchError error = failure_of([&] { write("state.json", std::string(11, 'n')); });
  EXPECT_EQ(error.category(), ErrorCategory::disk_space);
  EXPECT_EQ(read("state.json"), "old");
  EXPECT_EQ(disk_.files_below(kRoot), (Files{{"state.json", "old"}})) << "no temporary file is left";
  EXPECT_EQ(free_space(disk_, at("new/folder")), 10u) << "asked for the nearest existing folder";
}

TEST_F(MemoryFileSystemTest, OperationsAreNumberedAndCanFail) {
  const std::uint64_t start = disk_.operations();
  write("a.txt", "a");  // create, write, flush, move
  EXPECT_EQ(disk_.operations() - start, 4u);
  disk_.fail_operation(disk_.operations() + 2, 112);
  EXPECT_EQ(failure_of([&] { write("a.txt", "b"); }).category(), ErrorCategory::disk_space);
  write("a.txt", "c");
  EXPECT_EQ(read("a.txt"), "c") << "a fault without stickiness hits once";
  disk_.fail_operation(disk_.operations() + 1, 5, true);
  EXPECT_EQ(failure_of([&] { delete_file(disk_, at("a.txt")); }).category(), ErrorCategory::file_in_use);
  disk_.clear_faults();
  EXPECT_TRUE(delete_file(disk_, at("a.txt")));
}

TEST_F(MemoryFileSystemTest, APowerCutKeepsWhatReachedTheDisk) {
  write("flushed.txt", "durable");  // flushed and moved: all durable
  disk_.create_folder(at("made"));  // a name change after the last write-through point
  {
    auto file = open("made-later.txt", OpenRequest::Access::write, OpenRequest::share_none,
                     OpenRequest::Disposition::create_always);
    ASSERT_EQ(file->write(std::span(reinterpret_cast<const std::uint8_t*>("lost"), 4)), 0u);
  }
  copy_file(disk_, at("flushed.txt"), at("copied.txt"));  // flushes the copy: everything so far is durable
  {
    auto file = open("made-later.txt", OpenRequest::Access::write, OpenRequest::share_none);
    ASSERT_EQ(file->write(std::span(reinterpret_cast<const std::uint8_t*>("LOST"), 4)), 0u);
  }
  ASSERT_EQ(disk_.copy(at("flushed.txt"), at("unflushed-copy.txt")), 0u);
  write("flushed.txt", "replaced");  // a write-through point: the unflushed copy's name is durable

  disk_.cut_power_before(disk_.operations() + 1);
  EXPECT_EQ(failure_of([&] { delete_file(disk_, at("copied.txt")); }).category(), ErrorCategory::io);
  EXPECT_TRUE(disk_.power_is_cut());
  disk_.restart();
  EXPECT_EQ(disk_.files_below(kRoot), (Files{{"copied.txt", "durable"},
                                             {"flushed.txt", "replaced"},
                                             {"made-later.txt", std::string(4, '\0')},
                                             {"unflushed-copy.txt", std::string(7, '\0')}}));
  FileStatus status;
  EXPECT_EQ(disk_.status(at("made"), status), 0u);
  EXPECT_TRUE(status.folder);
}

}  // namespace
}  // namespace kaldren::patcher
