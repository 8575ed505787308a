// The UI session's transcript file, kept by the stand-in embedder and written
// to by it and by the stand-in plugins: one line per fact, flushed at once.
// Any thread. Never part of the product.
#pragma once

#include "channels/embedder_messenger_api.h"

#if defined(__cplusplus)
extern "C" {
#endif

// Appends one line (a line break is added). Dropped when no transcript is open.
TOVIX_EMBEDDER_API void TovixStandinTranscriptWrite(const char* line);

#if defined(__cplusplus)
}  // extern "C"
#endif
