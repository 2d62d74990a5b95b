// Documents of a publication (manifests, chunk lists) read back from the site folder,
// checked as a launcher checks them.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "protocol/release.h"

namespace kaldren::patcher::publish {

// The content of a document object when it is present and sound; nothing otherwise.
std::optional<std::string> read_site_document(const std::filesystem::path& site, const ObjectRef& ref);

}  // namespace kaldren::patcher::publish
