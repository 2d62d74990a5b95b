// Checks a publication as a launcher would read it, object by object.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace kaldren::patcher::publish {

// Verifies the channel's release with the public keys (130 hex characters each; a
// signature by any of them will do), that it has not expired, its manifest, and that
// every object it reaches exists with its stored size and digest and unpacks to its
// content size and digest. Returns one line per problem (empty: all good).
std::vector<std::string> check_site(const std::filesystem::path& site, const std::string& channel,
                                    const std::vector<std::string>& key_hexes, unsigned threads,
                                    const std::function<void(const std::string&)>& progress);
std::vector<std::string> check_site(const std::filesystem::path& site, const std::string& channel,
                                    const std::string& key_hex, unsigned threads,
                                    const std::function<void(const std::string&)>& progress);

}  // namespace kaldren::patcher::publish
