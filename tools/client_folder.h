// Reads a game client folder the way the launcher will see it, refusing what
// the launcher would refuse before anything is written.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace kaldren::patcher::publish {

struct ClientFile {
  std::string path;                 // UTF-8, '/'-separated, relative to the client folder
  std::filesystem::path location;   // where the bytes are
  std::uint64_t size = 0;
};

// All regular files below `folder`, sorted by path bytes. Throws ToolError listing
// every problem: unsafe names, names equal but for letter case or holding a character
// launchers may upper-case differently, links and special files, files over 16 GiB,
// more than 200000 files, a missing `executable`.
std::vector<ClientFile> scan_client_folder(const std::filesystem::path& folder, const std::string& executable);

}  // namespace kaldren::patcher::publish
