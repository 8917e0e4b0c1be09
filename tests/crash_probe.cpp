// Installs the product's crash handler and then faults, so that the crash
// report and its log line can be tested without a crash switch in the product.
//   crash-probe          faults on the main thread
//   crash-probe thread   faults on a thread made by start_thread, as the
//                        hosts-file writer is
#include <cstdio>
#include <cstring>

#include "platform.h"

namespace {

// Left uninstrumented in the sanitizer build: there the sanitizers would
// report the store themselves instead of letting it fault.
__attribute__((no_sanitize("address", "undefined"))) void fault() {
  // Both volatiles matter: the compiler may neither assume the pointer is
  // null nor drop a store it could prove to be undefined.
  volatile int* volatile target = nullptr;
  *target = 1;
}

void announce_and_fault(void*) {
  std::fprintf(stderr, "crash-probe: faulting now\n");
  std::fflush(stderr);
  fault();
}

}  // namespace

int main(int argc, char** argv) {
  install_crash_handler();
  if (argc > 1 && std::strcmp(argv[1], "thread") == 0) {
    if (!start_thread(announce_and_fault, nullptr)) {
      std::fprintf(stderr, "crash-probe: no thread\n");
      return 2;
    }
    // The fault ends the process; this thread only waits for it.
    for (;;) sleep_ms(1000);
  }
  announce_and_fault(nullptr);
  return 0;
}
