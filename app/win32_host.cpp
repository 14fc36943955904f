// Binds the host seam to Windows.
#include <windows.h>

#include "link/host_services.h"

uint32_t HostTickCount() { return GetTickCount(); }

// 1 ms means 1 ms only while the timer resolution is raised; the worker
// thread's wrapper (app/main_window.cpp) raises it for as long as it runs.
void HostSleep(uint32_t milliseconds) { Sleep(milliseconds); }

void HostRequestRepaint(void* window) { InvalidateRect(static_cast<HWND>(window), nullptr, TRUE); }

int HostAskQuestion(void* owner, const char* text, const char* caption) {
  return MessageBoxA(static_cast<HWND>(owner), text, caption,
                     MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2);
}

void HostPostCommand(void* window, uint32_t command) {
  PostMessageA(static_cast<HWND>(window), WM_COMMAND, command, 0);
}
