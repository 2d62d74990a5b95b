// Reads one published object back as a launcher would: present, of its stored size
// and digest, and unpacking to its content size and digest.
#pragma once

#include <filesystem>
#include <string>

#include "protocol/release.h"

namespace kaldren::patcher::publish {

// Returns the problem ("<name>: object ... is missing" and so on), or "" when the object
// is sound. When `content` is given, the unpacked bytes are kept there (a manifest).
std::string check_object(const std::filesystem::path& site, const ObjectRef& ref, const std::string& name,
                         std::string* content);

}  // namespace kaldren::patcher::publish
