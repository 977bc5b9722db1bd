// Waiting for another thread's effect in a test without sleeping blindly.
#pragma once

#include <chrono>
#include <functional>

namespace QSTesting {

// Polls `condition` every millisecond until it holds or `timeout` has
// passed; checks it once more at the deadline. True when it held.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

}  // namespace QSTesting
