// A waiting front end for a Linux compiler under Wine. Wine can start Unix programs, but
// cmd cannot wait for them; this program starts ccbridge.sh (next to it) with its own
// arguments and waits until the script leaves its exit status in a file.
#include <windows.h>

#include <cstdio>
#include <cstring>

int main() {
  char script[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, script, MAX_PATH - 4);
  char* dot = std::strrchr(script, '.');
  if (n == 0 || dot == nullptr) return 2;
  std::strcpy(dot, ".sh");

  // Everything after our own name: the compiler's arguments, as given.
  const char* tail = GetCommandLineA();
  bool quoted = false;
  for (; *tail != 0 && (quoted || (*tail != ' ' && *tail != '\t')); ++tail) {
    if (*tail == '"') quoted = !quoted;
  }
  static char line[32768];
  std::snprintf(line, sizeof line, "\"%s\"%s", script, tail);

  const char* done = "ccbridge.status";
  DeleteFileA(done);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessA(nullptr, line, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &process)) {
    std::fprintf(stderr, "ccbridge: cannot start %s\n", script);
    return 2;
  }
  for (int waited = 0; GetFileAttributesA(done) == INVALID_FILE_ATTRIBUTES; waited += 5) {
    if (waited > 600000) return 2;
    Sleep(5);
  }
  int status = 2;
  if (FILE* f = std::fopen(done, "r")) {
    if (std::fscanf(f, "%d", &status) != 1) status = 2;
    std::fclose(f);
  }
  DeleteFileA(done);
  return status;
}
