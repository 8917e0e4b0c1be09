// Installs the product's crash handler and then faults, so that the crash
// report and its log line can be tested without a crash switch in the product.
#include <cstdio>

#include "platform.h"

// Left uninstrumented in the sanitizer build: there the sanitizers would
// report the store themselves instead of letting it fault.
__attribute__((no_sanitize("address", "undefined"))) void fault() {
  // Both volatiles matter: the compiler may neither assume the pointer is
  // null nor drop a store it could prove to be undefined.
  volatile int* volatile target = nullptr;
  *target = 1;
}

int main() {
  install_crash_handler();
  std::fprintf(stderr, "crash-probe: faulting now\n");
  std::fflush(stderr);
  fault();
  return 0;
}
