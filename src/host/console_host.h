#pragma once
#include <cstdint>

namespace ostrivan::host {

// Prints the banner, runs the HTTP server on the port until ESC (or SIGINT/SIGTERM) and
// frees it. Raises what activation or the console read raise, after freeing the server.
// As a service it reads no keys and waits for SIGTERM or SIGINT alone.
void RunServer(uint16_t port, bool service = false);

// The whole program: prepares the web request handling, reads the port, runs the server
// and prints a start-up failure as "ClassName: message". Returns 0, except for a
// start-up failure as a service: 1, so that the service manager sees it and may restart.
int RunConsoleHost(bool service = false);

}  // namespace ostrivan::host
