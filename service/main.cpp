#include "host.h"

int main(int argc, char** argv) { return tarvik_main(argc, argv); }
