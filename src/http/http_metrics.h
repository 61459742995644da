#pragma once
// Process-wide counts of the HTTP layer for the service's metrics: replies by status
// code, callers refused by the allow-list, connections open now.
#include <cstdint>
#include <map>

namespace ostrivan::http {

// One reply's status line was written.
void CountReply(int status);
// A caller was refused before its request was read further.
void CountRefusal();
void CountConnectionOpened();
void CountConnectionClosed();

std::map<int, std::uint64_t> ReplyCounts();
std::uint64_t RefusalCount();
std::int64_t OpenConnectionCount();

}  // namespace ostrivan::http
