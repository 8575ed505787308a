// Window placement arithmetic.
#include "shell/window_placement.h"

#include <algorithm>
#include <climits>

namespace placement {

namespace {

// left at most the work area's far edge minus the length, at least its near edge.
int ClampStart(int start, int length, int nearEdge, int farEdge) {
  return std::max(std::min(start, farEdge - length), nearEdge);
}

}  // namespace

int ScaleMulDiv(int number, int numerator, int denominator) {
  if (denominator == 0) return -1;
  long long product = static_cast<long long>(number) * numerator;
  long long magnitude = product < 0 ? -product : product;
  long long divisor = denominator < 0 ? -static_cast<long long>(denominator) : denominator;
  long long quotient = (magnitude + divisor / 2) / divisor;
  bool negative = (product < 0) != (denominator < 0);
  long long result = negative ? -quotient : quotient;
  if (result > INT_MAX || result < INT_MIN) return -1;
  return static_cast<int>(result);
}

int Scale(int length96, unsigned dpi) {
  return ScaleMulDiv(length96, static_cast<int>(dpi), 96);
}

bool IsValidRecord(const Record& record) {
  const auto width = static_cast<std::int32_t>(record.width);
  const auto height = static_cast<std::int32_t>(record.height);
  return record.version == kRecordVersion && width >= 1 && width <= 0x7FFF && height >= 1 &&
         height <= 0x7FFF;
}

Rect DefaultPlacement(unsigned dpi, const Rect& workArea) {
  const int w = Scale(kDefaultWidth, dpi);
  const int h = Scale(kDefaultHeight, dpi);
  // Centred with the uncut size, then cut and kept inside.
  const int x = workArea.left + (workArea.width() - w) / 2;
  const int y = workArea.top + (workArea.height() - h) / 2;
  const int width = std::min(w, workArea.width());
  const int height = std::min(h, workArea.height());
  const int left = ClampStart(x, width, workArea.left, workArea.right);
  const int top = ClampStart(y, height, workArea.top, workArea.bottom);
  return {left, top, left + width, top + height};
}

Rect RestoredPlacement(const Record& record, unsigned dpi, const Rect& workArea) {
  const int minimumWidth = std::min(Scale(kMinimumWidth, dpi), workArea.width());
  const int minimumHeight = std::min(Scale(kMinimumHeight, dpi), workArea.height());
  int width = std::max(Scale(static_cast<std::int32_t>(record.width), dpi), minimumWidth);
  width = std::min(width, workArea.width());
  int height = std::max(Scale(static_cast<std::int32_t>(record.height), dpi), minimumHeight);
  height = std::min(height, workArea.height());
  const int left = ClampStart(static_cast<std::int32_t>(record.left), width, workArea.left, workArea.right);
  const int top = ClampStart(static_cast<std::int32_t>(record.top), height, workArea.top, workArea.bottom);
  return {left, top, left + width, top + height};
}

Record RecordFor(const Rect& window, unsigned dpi) {
  Record record;
  record.version = kRecordVersion;
  record.left = static_cast<std::uint32_t>(window.left);
  record.top = static_cast<std::uint32_t>(window.top);
  record.width = static_cast<std::uint32_t>(ScaleMulDiv(window.width(), 96, static_cast<int>(dpi)));
  record.height = static_cast<std::uint32_t>(ScaleMulDiv(window.height(), 96, static_cast<int>(dpi)));
  return record;
}

Rect KeptInsideWorkArea(const Rect& window, const Rect& workArea) {
  const int width = std::min(window.width(), workArea.width());
  const int height = std::min(window.height(), workArea.height());
  const int left = ClampStart(window.left, width, workArea.left, workArea.right);
  const int top = ClampStart(window.top, height, workArea.top, workArea.bottom);
  return {left, top, left + width, top + height};
}

Size MinimumTrackSize(unsigned dpi, const Rect& workArea) {
  return {std::min(workArea.width(), Scale(kMinimumWidth, dpi)),
          std::min(workArea.height(), Scale(kMinimumHeight, dpi))};
}

}  // namespace placement
