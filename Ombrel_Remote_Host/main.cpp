// ombrel-host: the host program.
#include <cstdio>

int main() {
  std::printf("Ombrel Remote host: not built yet\n");
  return 0;
}
