#pragma once
#include <cstdint>

namespace ostrivan::host {

// Prints the banner, runs the HTTP server on the port until ESC (or SIGINT/SIGTERM) and
// frees it. Raises what activation or the console read raise, after freeing the server.
void RunServer(uint16_t port);

// The whole program: prepares the web request handling, reads the port, runs the server
// and prints a start-up failure as "ClassName: message". Always returns 0.
int RunConsoleHost();

}  // namespace ostrivan::host
