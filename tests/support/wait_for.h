#pragma once
// Waiting in a test for a state another thread or process brings about: asked again
// every few milliseconds, never longer than a limit, so a fault fails the test instead
// of hanging it.
#include <chrono>
#include <functional>

namespace ostrivan::test_support {

// true as soon as condition holds; false once limit has passed without it (asked one
// last time then).
bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = std::chrono::seconds(20));

}  // namespace ostrivan::test_support
