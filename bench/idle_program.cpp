// The smallest Windows program that stays alive: a baseline for what any
// process costs (under Wine, the loader and Wine's own DLLs take most of it).
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  Sleep(INFINITE);
  return 0;
}
