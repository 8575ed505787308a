// Stand-in for app_links_plugin.dll: records its registration and, through a
// top-level window delegate, the link hand-off record (WM_COPYDATA, dwData
// 1026) as the transcript line "applink <text>". Window thread.
#include <windows.h>

#include <cstring>
#include <string>

#include "stand-ins/flutter_windows/standin_transcript.h"
#include "stand-ins/flutter_windows/ui_script.h"
#include "stand-ins/plugins/standin_plugin.h"

namespace {

constexpr ULONG_PTR kLinkRecord = 1026;

bool OnTopLevelMessage(HWND, UINT message, WPARAM, LPARAM lparam, void*, LRESULT* result) {
  if (message != WM_COPYDATA || lparam == 0) return false;
  const auto* record = reinterpret_cast<const COPYDATASTRUCT*>(lparam);
  if (record->dwData != kLinkRecord) return false;
  std::string text;
  if (record->lpData != nullptr && record->cbData > 0) {
    const char* bytes = static_cast<const char*>(record->lpData);
    // The text ends at its NUL, or at the record's end if it has none.
    const void* nul = std::memchr(bytes, '\0', record->cbData);
    text.assign(bytes, nul != nullptr ? static_cast<const char*>(nul) - bytes : record->cbData);
  }
  TovixStandinTranscriptWrite(("applink " + TranscriptSafe(text)).c_str());
  *result = TRUE;
  return true;
}

}  // namespace

TOVIX_STANDIN_PLUGIN_EXPORT void AppLinksPluginCApiRegisterWithRegistrar(
    FlutterDesktopPluginRegistrarRef registrar) {
  standin_plugin::NoteRegistration(registrar);
  if (registrar != nullptr) {
    FlutterDesktopPluginRegistrarRegisterTopLevelWindowProcDelegate(registrar, &OnTopLevelMessage, nullptr);
  }
}
