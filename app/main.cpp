#include <cstdio>

// The window arrives with the application shell; until then the program only says so.
int main() {
  std::puts("Tessel: the window is not built yet. Run the tests to exercise what exists.");
  return 0;
}
