#pragma once
// Small text helpers of the engine. Trimming, ASCII letter-case comparisons and hex
// digits are the shared ones (common/text.h).
#include <string>
#include <string_view>
#include <vector>

#include "common/text.h"

namespace ostrivan::web {

std::vector<std::string> SplitString(std::string_view text, char separator);

}  // namespace ostrivan::web
