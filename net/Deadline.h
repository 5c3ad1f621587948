#pragma once
// Milliseconds left until a deadline, as poll() takes them. Never negative: a deadline that has
// just passed means "do not wait", never poll's -1, "wait for ever".

#include <algorithm>
#include <chrono>
#include <climits>

inline int msUntil(std::chrono::steady_clock::time_point deadline,
                   std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now()) {
    // Rounded up, so a wait that timed out has really reached the deadline.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}
