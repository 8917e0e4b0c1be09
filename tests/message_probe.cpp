// Formats event ID from the message table of MODULE with the given insertion
// strings, as Event Viewer does, and prints the text on one line.
// Usage: message-probe MODULE ID-IN-HEX [STRING...]
// Exits 1, printing the failing call and its error, when there is no text.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::printf("usage: message-probe MODULE ID [STRING...]\n");
    return 2;
  }
  HMODULE module = LoadLibraryExA(argv[1], nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (module == nullptr) {
    std::printf("LoadLibraryEx failed (%lu)\n", GetLastError());
    return 1;
  }
  DWORD id = static_cast<DWORD>(std::strtoul(argv[2], nullptr, 16));
  char text[1024];
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module, id, 0,
                                text, sizeof text, reinterpret_cast<va_list*>(argv + 3));
  if (length == 0) {
    std::printf("FormatMessage failed (%lu)\n", GetLastError());
    return 1;
  }
  std::printf("[%s]\n", text);
  return 0;
}
