// The transport for the configured patch sources.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "transport/transport.h"

namespace kaldren::patcher {

// One address: that source alone; several: every source behind fail-over, in order.
// Throws configuration "No patch server is configured" for none, and the address
// errors of the single-source transport.
std::unique_ptr<Transport> make_transport(const std::vector<std::wstring>& sources);

}  // namespace kaldren::patcher
