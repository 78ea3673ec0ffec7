#pragma once
// Small helpers shared by the chat layers. Stateless; any thread.

#include <string_view>

namespace ChatUtil {

// Idle time-out text "D:H:M" in minutes; any other form means seven days.
constexpr int kDefaultTimeoutMinutes = 10080;
int convertToMinute(std::string_view text);

}  // namespace ChatUtil
