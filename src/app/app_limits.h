#pragma once

#include <chrono>

namespace vantrel {

// How often a copy that has handed out its object checks that it is still on the bus. A lost
// bus connection means its holder can never release the object, and a hidden window would
// then live on unseen; one second is quick enough for a technician and costs nothing.
inline constexpr std::chrono::milliseconds kBusCheckInterval{1000};

// Exit status of a copy whose window system could not start (the program shows nothing).
inline constexpr int kExitPlatformFailed = 1;

}  // namespace vantrel
