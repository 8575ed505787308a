// The saved window placement in the registry (five REG_DWORD values) and the
// monitor facts the placement arithmetic needs. Window thread.
#pragma once

#include <windows.h>

#include <optional>

#include "shell/window_placement.h"

// Under HKEY_CURRENT_USER.
constexpr wchar_t kWindowPlacementKey[] = L"Software\\Kelpmarrow\\Window";

// Reads "Version", "Left", "Top", "Width", "Height" in this order; nullopt when
// any of them is missing or not a REG_DWORD. Says nothing about validity.
std::optional<placement::Record> ReadPlacementRecord(HKEY root, const wchar_t* subkey);

// Writes the five values in the same order, creating the key when missing.
// Write errors are ignored.
void WritePlacementRecord(HKEY root, const wchar_t* subkey, const placement::Record& record);

struct MonitorFacts {
  unsigned dpi = 96;
  placement::Rect workArea;
};

// DPI (through the embedder) and work area of a monitor.
MonitorFacts DescribeMonitor(HMONITOR monitor);

placement::Rect ToPlacementRect(const RECT& rect);
RECT ToRect(const placement::Rect& rect);
