/* The sample program that the example build script compiles and times. */
#include <stdio.h>

int main(void) {
  puts("Hello from a timed build.");
  return 0;
}
