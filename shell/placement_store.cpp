// Registry form of the window placement; monitor facts. Window thread.
#include "shell/placement_store.h"

#include "channels/embedder_api.h"

namespace {

constexpr const wchar_t* kValueNames[] = {L"Version", L"Left", L"Top", L"Width", L"Height"};

}  // namespace

std::optional<placement::Record> ReadPlacementRecord(HKEY root, const wchar_t* subkey) {
  DWORD values[5] = {};
  for (int i = 0; i < 5; ++i) {
    DWORD size = sizeof(DWORD);
    // Wine accepts a REG_DWORD shorter than four bytes: the size is checked too.
    if (RegGetValueW(root, subkey, kValueNames[i], RRF_RT_REG_DWORD, nullptr, &values[i], &size) !=
            ERROR_SUCCESS ||
        size != sizeof(DWORD)) {
      return std::nullopt;
    }
  }
  return placement::Record{values[0], values[1], values[2], values[3], values[4]};
}

void WritePlacementRecord(HKEY root, const wchar_t* subkey, const placement::Record& record) {
  const DWORD values[5] = {record.version, record.left, record.top, record.width, record.height};
  for (int i = 0; i < 5; ++i) {
    RegSetKeyValueW(root, subkey, kValueNames[i], REG_DWORD, &values[i], sizeof(DWORD));
  }
}

MonitorFacts DescribeMonitor(HMONITOR monitor) {
  MonitorFacts facts;
  facts.dpi = FlutterDesktopGetDpiForMonitor(monitor);
  if (facts.dpi == 0) facts.dpi = 96;
  MONITORINFO info{};
  info.cbSize = sizeof(info);
  if (monitor != nullptr && GetMonitorInfoW(monitor, &info)) {
    facts.workArea = ToPlacementRect(info.rcWork);
  } else {
    RECT work{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    facts.workArea = ToPlacementRect(work);
  }
  return facts;
}

placement::Rect ToPlacementRect(const RECT& rect) {
  return {rect.left, rect.top, rect.right, rect.bottom};
}

RECT ToRect(const placement::Rect& rect) { return {rect.left, rect.top, rect.right, rect.bottom}; }
