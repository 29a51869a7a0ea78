#pragma once
#include <string>

namespace platform {

// The per-user data directory: $HOME/Veltra_Data (created when missing, a
// failure to create it ignored), or the folder of the executable when HOME
// is not set (nothing created). No trailing separator.
std::string dataDirectory();

// The folder that holds the running executable, without a trailing separator.
std::string executableDirectory();

} // namespace platform
