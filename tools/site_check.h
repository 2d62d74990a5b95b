// Checks a publication as a launcher would read it, object by object.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace kaldren::patcher::publish {

// Verifies the channel's release with the public key (130 hex characters), its
// manifest, and that every object exists with its stored size and digest and
// unpacks to its content size and digest. Returns one line per problem (empty: all good).
std::vector<std::string> check_site(const std::filesystem::path& site, const std::string& channel,
                                    const std::string& key_hex, unsigned threads,
                                    const std::function<void(const std::string&)>& progress);

}  // namespace kaldren::patcher::publish
