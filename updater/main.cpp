#include <cstdio>

int main() {
  std::puts("Corvantis Update and Maintenance Application");
  return 0;
}
