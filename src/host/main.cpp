// Program entry; the console host lives in console_host.cpp.
int main() { return 0; }
