#pragma once

namespace vantrel {

// Exit status of a copy whose window system could not start (the program shows nothing).
inline constexpr int kExitPlatformFailed = 1;
// Exit status of a copy whose command line cannot be followed (a --trace file that cannot be
// written): it tells why on stderr and shows no window.
inline constexpr int kExitUsage = 2;

}  // namespace vantrel
