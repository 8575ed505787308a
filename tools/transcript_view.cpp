// tovix_transcript [<file>]: prints a UI session transcript with every
// channel message decoded (standard input when no file is named).
// tovix_transcript --call <method> [<string argument>]: prints the hex of a
// standard-codec method call, for writing UI scripts.
#include <fstream>
#include <iostream>
#include <memory>
#include <string>

#include "channels/method_call.h"
#include "channels/standard_codec.h"
#include "tools/transcript_render.h"

namespace {

int PrintCall(int argc, char** argv) {
  auto arguments = std::make_unique<flutter::EncodableValue>();
  if (argc > 3) *arguments = flutter::EncodableValue(std::string(argv[3]));
  flutter::MethodCall call(argv[2], std::move(arguments));
  auto bytes = flutter::StandardMethodCodec::GetInstance().EncodeMethodCall(call);
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (uint8_t byte : *bytes) {
    hex.push_back(kDigits[byte >> 4]);
    hex.push_back(kDigits[byte & 15]);
  }
  std::cout << hex << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2 && std::string(argv[1]) == "--call") return PrintCall(argc, argv);
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
