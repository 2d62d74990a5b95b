#include "engine/file_assembly.h"

#include <algorithm>
#include <map>
#include <memory>

#include "core/error.h"
#include "core/text.h"
#include "system/file_operations.h"

namespace kaldren::patcher {
namespace {

// A local file that no longer gives what was found in it.
struct SourceUnreadable {};

// Copies `size` bytes from the file's position to `output`, feeding `hash` on the way.
// A read that fails or ends early throws SourceUnreadable for a `local` input.
void copy_bytes(OpenFile& input, const std::filesystem::path& input_path, bool local, std::uint64_t size,
                OpenFile& output, const std::filesystem::path& output_path, Sha256& hash, std::stop_token stop,
                std::span<std::uint8_t> buffer, const ByteProgress& progress) {
  while (size > 0) {
    throw_if_stopped(stop);
    std::size_t read = 0;
    const std::span<std::uint8_t> step = buffer.first(static_cast<std::size_t>(std::min<std::uint64_t>(size, buffer.size())));
    const SystemCode error = input.read(step, read);
    if (local && (error != 0 || read == 0)) throw SourceUnreadable{};
    if (error != 0) throw_win32(ErrorCategory::io, "Could not read " + display_path(input_path), error);
    if (read == 0) throw PatchError(ErrorCategory::io, display_path(input_path) + " is shorter than expected");
    const std::span<const std::uint8_t> bytes(step.data(), read);
    hash.update(bytes);
    write_bytes(output, output_path, bytes);
    if (progress) progress(read);
    size -= read;
  }
}

// The local sources opened once each and read where the pieces say.
class Sources {
 public:
  Sources(FileSystem& fs, const std::vector<std::filesystem::path>& paths) : fs_(fs), paths_(paths) {}

  OpenFile& at(std::uint32_t source, std::uint64_t offset) {
    auto& slot = open_[source];
    if (!slot.file) slot.file = open_for_read(fs_, paths_.at(source));
    if (slot.position != offset) {
      if (const SystemCode error = slot.file->seek(offset); error != 0) {
        throw_win32(ErrorCategory::io, "Could not read " + display_path(paths_[source]), error);
      }
    }
    return *slot.file;
  }
  void advanced(std::uint32_t source, std::uint64_t to) { open_[source].position = to; }
  const std::filesystem::path& path(std::uint32_t source) const { return paths_.at(source); }

 private:
  struct Open {
    std::unique_ptr<OpenFile> file;
    std::uint64_t position = 0;
  };
  FileSystem& fs_;
  const std::vector<std::filesystem::path>& paths_;
  std::map<std::uint32_t, Open> open_;
};

// After a whole-file mismatch: true when some local piece no longer holds its chunk.
bool local_piece_changed(FileSystem& fs, const AssemblyPlan& plan, std::stop_token stop,
                         std::span<std::uint8_t> buffer) {
  Sources sources(fs, plan.sources);
  for (const ChunkUse& use : plan.chunks) {
    if (use.source == ChunkUse::kStaged) continue;
    try {
      OpenFile& input = sources.at(use.source, use.offset);
      Sha256 hash;
      std::uint64_t left = use.size;
      while (left > 0) {
        throw_if_stopped(stop);
        std::size_t read = 0;
        const auto step = buffer.first(static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer.size())));
        if (input.read(step, read) != 0 || read == 0) return true;
        hash.update(std::span<const std::uint8_t>(step.data(), read));
        left -= read;
      }
      sources.advanced(use.source, use.offset + use.size);
      if (hash.finish() != use.sha256) return true;
    } catch (const PatchError& error) {
      if (error.category() == ErrorCategory::cancelled) throw;
      return true;
    }
  }
  return false;
}

void delete_quietly(FileSystem& fs, const std::filesystem::path& path) noexcept {
  try {
    delete_file(fs, path);
  } catch (...) {
  }
}


// Writes every piece to `building`, hashing it; false when a local piece could not be
// read as found. The output is closed when it returns.
bool write_pieces(FileSystem& fs, const ObjectStore& store, const AssemblyPlan& plan,
                  const std::filesystem::path& building, Sha256& hash, std::stop_token stop,
                  std::span<std::uint8_t> buffer, const ByteProgress& progress) {
  const std::unique_ptr<OpenFile> output = open_for_write(fs, building);
  Sources sources(fs, plan.sources);
  for (const ChunkUse& use : plan.chunks) {
    if (use.source == ChunkUse::kStaged) {
      const ObjectRef chunk{use.sha256, use.size, {}, 0, false};
      const std::filesystem::path staged = store.staged_path(chunk);
      copy_bytes(*open_for_read(fs, staged), staged, false, use.size, *output, building, hash, stop, buffer, progress);
      continue;
    }
    // A local file that vanished or shrank since it was cut: the file is fetched whole.
    OpenFile* input = nullptr;
    try {
      input = &sources.at(use.source, use.offset);
    } catch (const PatchError& error) {
      if (error.category() == ErrorCategory::cancelled) throw;
      return false;
    }
    try {
      copy_bytes(*input, sources.path(use.source), true, use.size, *output, building, hash, stop, buffer, progress);
    } catch (const SourceUnreadable&) {
      return false;
    }
    sources.advanced(use.source, use.offset + use.size);
  }
  flush_bytes(*output, building);
  return true;
}

}  // namespace

AssemblyOutcome assemble_file(FileSystem& fs, const ObjectStore& store, const AssemblyPlan& plan,
                              std::stop_token stop, std::span<std::uint8_t> buffer, const ByteProgress& progress) {
  const std::filesystem::path target = store.staged_path(plan.object);
  std::filesystem::path building = target;
  building += ".tmp";
  if (const SystemCode error = create_folders(fs, target.parent_path()); error != 0) {
    throw PatchError(ErrorCategory::io,
                     "Could not create " + display_path(target.parent_path()) + ": " + system_message(error));
  }
  Sha256 hash;
  bool complete = false;
  try {
    complete = write_pieces(fs, store, plan, building, hash, stop, buffer, progress);
  } catch (...) {
    delete_quietly(fs, building);
    throw;
  }
  if (!complete) {
    delete_quietly(fs, building);
    return AssemblyOutcome::local_changed;
  }
  if (hash.finish() != plan.object.sha256) {
    delete_quietly(fs, building);
    if (plan.whole_copy || local_piece_changed(fs, plan, stop, buffer)) return AssemblyOutcome::local_changed;
    throw PatchError(ErrorCategory::security,
                     "An assembled file failed verification (" + plan.name + "). The publication is inconsistent.");
  }
  if (fs.move(building, target) != 0) {
    try {
      replace_file(fs, building, target);
    } catch (...) {
      delete_quietly(fs, building);
      throw;
    }
  }
  return AssemblyOutcome::staged;
}

}  // namespace kaldren::patcher
