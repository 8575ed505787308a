// Linked into every test program.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

// Standard output is unbuffered, so that a program ended from outside still
// shows how far it got (buffered output to a pipe would be lost with it).
const int unbuffered = std::setvbuf(stdout, nullptr, _IONBF, 0);

// The Wine runner names a file in TOVIX_FINISH_MARK and takes a program that
// exits with 0 but has not made it for one that was ended from outside: under
// Wine such a program's exit code is 0 too. Made once the last test has
// ended, whatever its result (the exit code tells that).
class FinishMark : public testing::EmptyTestEventListener {
 public:
  explicit FinishMark(std::string path) : path_(std::move(path)) {}
  void OnTestProgramEnd(const testing::UnitTest&) override { std::ofstream(path_) << "finished\n"; }

 private:
  std::string path_;
};

bool ListenForTheEnd() {
  const char* path = std::getenv("TOVIX_FINISH_MARK");
  if (path == nullptr || *path == '\0') return false;
  testing::UnitTest::GetInstance()->listeners().Append(new FinishMark(path));
#ifdef _WIN32
  // Not for the programs this one starts: a child's end is not this one's.
  _putenv("TOVIX_FINISH_MARK=");
#endif
  return true;
}

const bool listening = ListenForTheEnd();

}  // namespace
