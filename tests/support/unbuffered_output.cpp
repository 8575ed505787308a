// Linked into every test program: its standard output is unbuffered, so that
// a program ended from outside still shows how far it got (buffered output
// to a pipe would be lost with it).
#include <cstdio>

namespace {

const int unbuffered = std::setvbuf(stdout, nullptr, _IONBF, 0);

}  // namespace
