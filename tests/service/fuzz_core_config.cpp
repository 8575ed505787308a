// libFuzzer target: any bytes given to the configuration check. It must
// neither crash nor overflow the stack; a refusal has a pointer (empty only
// for a text that is not an object); its verdict must not depend on
// trailing whitespace; a valid text stays valid as the element of an array;
// and a valid object or array cut short by its last byte is not valid.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "service/config_check/core_config_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const CoreConfigVerdict verdict = CheckCoreConfig(text);
  // A refusal points at a member, or (empty) at a whole text that is no object.
  const bool refused = verdict.kind == CoreConfigVerdict::FileOutsideFolder ||
                       verdict.kind == CoreConfigVerdict::OptionNotAllowed;
  const std::size_t first = text.find_first_not_of(" \t\r\n");
  const bool object = first != std::string::npos && text[first] == '{';
  if (refused ? (verdict.pointer.empty() ? object : verdict.pointer[0] != '/')
              : !verdict.pointer.empty()) {
    std::abort();
  }

  const CoreConfigVerdict spaced = CheckCoreConfig(text + " \r\n\t");
  if (spaced.kind != verdict.kind || spaced.pointer != verdict.pointer) std::abort();

  const bool valid = verdict.kind != CoreConfigVerdict::NotJson;
  // Short enough that one more level stays within the nesting bound.
  if (valid && size < kMaxCoreConfigDepth - 1 &&
      CheckCoreConfig("[0," + text + "]").kind == CoreConfigVerdict::NotJson) {
    std::abort();
  }

  const std::size_t last = text.find_last_not_of(" \t\r\n");
  if (valid && (text[last] == '}' || text[last] == ']') &&
      CheckCoreConfig(std::string_view(text).substr(0, last)).kind != CoreConfigVerdict::NotJson) {
    std::abort();
  }
  return 0;
}
