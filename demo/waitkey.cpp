// The key wait: flush the console input, then read one key with msvcrt's unbuffered input.
#include "waitkey.hpp"

#include <conio.h>
#include <windows.h>

namespace demo {

Key WaitKey() {
  FlushConsoleInputBuffer(GetStdHandle(STD_INPUT_HANDLE));
  const int code = _getch();
  // 0 and 0xE0 lead the two-code sequence of an extended key: take its second code too.
  if (code == 0 || code == 0xE0) return {static_cast<std::uint32_t>(_getch()), 1};
  return {static_cast<std::uint32_t>(code), 0};
}

}  // namespace demo
