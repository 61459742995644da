#include "host/console_host.h"

int main() { return ostrivan::host::RunConsoleHost(); }
