// The call that wakes the window thread for a drain: PostMessageW, unless a
// test puts another in its place (Wine never refuses a post, so a full
// posted-message queue can only be played this way). Any thread.
#pragma once

#include <windows.h>

using VpnEventPoster = BOOL(WINAPI*)(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// nullptr restores PostMessageW.
void SetVpnEventPoster(VpnEventPoster poster);
