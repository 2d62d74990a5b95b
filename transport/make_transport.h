// The transport for the configured patch sources.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "system/file_system.h"
#include "transport/transport.h"

namespace kaldren::patcher {

// One address: that source alone; several: every source behind fail-over, in order.
// A "file:" address is a folder read through `fs` (FolderTransport), any other a server
// (HttpTransport), so folders and servers mix in one list. Throws configuration
// "No patch server is configured" for none, and the address errors of either
// transport. Downloads are written to `fs`.
std::unique_ptr<Transport> make_transport(const std::vector<std::wstring>& sources,
                                          FileSystem& fs = system_file_system());

}  // namespace kaldren::patcher
