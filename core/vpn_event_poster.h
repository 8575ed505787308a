// The call that wakes the window thread for a drain: PostMessageW, unless a
// test puts another in its place (Wine never refuses a post, so a full
// posted-message queue can only be played this way), and how long a wake may
// stay undrained before it is posted again. Any thread.
#pragma once

#include <windows.h>

using VpnEventPoster = BOOL(WINAPI*)(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// nullptr restores PostMessageW.
void SetVpnEventPoster(VpnEventPoster poster);

// 1000 ms unless a test sets another, so that what a lost wake holds back can
// be watched without racing the re-post; 0 restores it.
void SetVpnEventRepostDelay(ULONGLONG ms);
