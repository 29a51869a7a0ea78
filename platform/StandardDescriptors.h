#pragma once

namespace platform {

// First thing in every program: opens /dev/null on any of descriptors 0-2
// that is closed, so that no file or port opened later takes one of them and
// receives what is meant for the console, and ignores SIGPIPE, so that a
// console whose reader has gone makes writes fail instead of ending the
// program. False when /dev/null cannot be opened (then nothing else is safe
// either; the caller ends).
bool secureStandardDescriptors();

} // namespace platform
