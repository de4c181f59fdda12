// A stand-in service image: runs until terminated.
#include <unistd.h>

int main() {
  for (int i = 0; i < 600; ++i) sleep(1);
  return 0;
}
