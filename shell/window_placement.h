// The window placement arithmetic: default, restored and clamped window
// rectangles, and the saved record, over plain numbers (physical pixels,
// DPI, work areas). No Windows header; any thread.
#pragma once

#include <cstdint>
#include <optional>

namespace placement {

struct Rect {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;

  int width() const { return right - left; }
  int height() const { return bottom - top; }
  bool operator==(const Rect&) const = default;
};

struct Size {
  int width = 0;
  int height = 0;
  bool operator==(const Size&) const = default;
};

// The saved record as read from or written to the registry. Left and Top are
// physical pixels, Width and Height 96-DPI units; all are the DWORDs' bits.
struct Record {
  std::uint32_t version = 0;
  std::uint32_t left = 0;
  std::uint32_t top = 0;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  bool operator==(const Record&) const = default;
};

constexpr std::uint32_t kRecordVersion = 1;
constexpr int kDefaultWidth = 480;  // 96-DPI units
constexpr int kDefaultHeight = 720;
constexpr int kMinimumWidth = 380;
constexpr int kMinimumHeight = 560;

// number * numerator / denominator, rounded to the nearest integer (halves away
// from zero); -1 when the denominator is 0 or the result does not fit an int.
// The same contract as the Windows MulDiv.
int ScaleMulDiv(int number, int numerator, int denominator);

// Scales a 96-DPI length to dpi.
int Scale(int length96, unsigned dpi);

// Version 1 and Width, Height (as signed numbers) each in 1..32767.
bool IsValidRecord(const Record& record);

// First run: the default size centred in the work area, cut to it.
Rect DefaultPlacement(unsigned dpi, const Rect& workArea);

// A valid record on the monitor with this DPI and work area: the saved size
// scaled, at least the minimum (never wider or taller than the work area),
// moved fully inside the work area.
Rect RestoredPlacement(const Record& record, unsigned dpi, const Rect& workArea);

// The record to save for a window rectangle on a monitor with this DPI.
Record RecordFor(const Rect& window, unsigned dpi);

// The window cut to and moved inside the work area.
Rect KeptInsideWorkArea(const Rect& window, const Rect& workArea);

// The minimum tracking size on a monitor: the scaled minimum, cut to the work area.
Size MinimumTrackSize(unsigned dpi, const Rect& workArea);

}  // namespace placement
