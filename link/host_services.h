// The host seam: what the update logic needs from the operating system besides
// the adapter. Bound at link time: app/win32_host.cpp for the Windows program,
// sim/sim_host.cpp (virtual clock) for the tests.
#pragma once
#include <cstdint>

// Milliseconds since an arbitrary start; wraps after 2^32 ms. Compare readings
// only through unsigned differences.
uint32_t HostTickCount();

// Blocks the calling thread for `milliseconds` (1 means 1 ms, not a scheduler tick).
void HostSleep(uint32_t milliseconds);

// Asks `window` to repaint its whole client area, erasing the background first.
// Never waits for the window's thread.
void HostRequestRepaint(void* window);

// Shows a Yes/No question box owned by `owner` (question icon, No the default)
// and waits for the answer. Returns kHostAnswerYes for Yes; any other value for
// No, a closed box or a box that could not be shown.
constexpr int kHostAnswerYes = 6;
int HostAskQuestion(void* owner, const char* text, const char* caption);

// Posts a menu command to `window`'s message queue without waiting.
void HostPostCommand(void* window, uint32_t command);

// The main window, null until it exists. Written once by the GUI thread before
// the worker starts; the worker only reads it.
extern void* mainWindow;
