#pragma once

namespace vantrel {

// Exit status of a copy whose window system could not start (the program shows nothing).
inline constexpr int kExitPlatformFailed = 1;

}  // namespace vantrel
