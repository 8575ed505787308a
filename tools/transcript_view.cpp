// tovix_transcript <file>: prints a UI session transcript with every channel
// message decoded. Reads standard input when no file is named.
#include <fstream>
#include <iostream>
#include <string>

#include "tools/transcript_render.h"

int main(int argc, char** argv) {
  std::ifstream file;
  std::istream* in = &std::cin;
  if (argc > 1) {
    file.open(argv[1], std::ios::binary);
    if (!file) {
      std::cerr << "cannot open " << argv[1] << "\n";
      return 1;
    }
    in = &file;
  }
  std::string line;
  while (std::getline(*in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::cout << transcript::RenderLine(line) << "\n";
  }
  return 0;
}
