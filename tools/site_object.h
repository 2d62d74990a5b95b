// Reading a publication's objects back from the site folder, checked as a launcher
// checks them.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "protocol/release.h"

namespace kaldren::patcher::publish {

// Checks one stored object; returns the problem (naming it as `name`), or "" when it
// is sound. When `content` is given, the unpacked bytes are kept there.
std::string check_site_object(const std::filesystem::path& site, const ObjectRef& ref, const std::string& name,
                              std::string* content);

// The content of a document object (manifest, chunk list) when it is present and
// sound; nothing otherwise.
std::optional<std::string> read_site_document(const std::filesystem::path& site, const ObjectRef& ref);

}  // namespace kaldren::patcher::publish
