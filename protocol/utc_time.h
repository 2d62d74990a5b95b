// UTC times as the release documents spell them ("2027-01-31T00:00:00Z"), converted
// to and from seconds since 1970-01-01T00:00:00Z.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kaldren::patcher {

// Exactly "YYYY-MM-DDTHH:MM:SSZ" of a real date, years 1970 to 9999; nothing otherwise.
std::optional<std::int64_t> parse_utc_time(std::string_view text);

// The same form for `seconds` (0 to the end of 9999).
std::string utc_time_text(std::int64_t seconds);

}  // namespace kaldren::patcher
