#pragma once
// Archives made by the service's own packer, for the job tests that feed an import.
#include <string>
#include <utility>
#include <vector>

namespace ostrivan::test_support {

// The bytes of an archive holding each (entry name, content) pair in order, for example
// ArchiveOf({{"programs\\P1.NC", "G0 X1"}}).
std::string ArchiveOf(const std::vector<std::pair<std::string, std::string>>& entries);

}  // namespace ostrivan::test_support
