// UTF-16 (Windows) to UTF-8 (everything that leaves the host). Any thread.
#pragma once

#include <string>
#include <string_view>

// WideCharToMultiByte(CP_UTF8): a size query, then the conversion. Empty in,
// empty out; text that cannot be converted also gives an empty string.
std::string ToUtf8(std::wstring_view text);

// The reverse, for paths and registry names built from UTF-8 text.
std::wstring ToUtf16(std::string_view text);
