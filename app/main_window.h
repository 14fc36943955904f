// The program entry and the main window (GUI thread only).
#pragma once
#include <windows.h>

// The instance WinMain received: the logo is loaded from it at every paint and
// the About box's template from it.
extern HINSTANCE appInstance;

// Registers the "LORMIX" window class (icon 107, menu 109). The result is not
// checked: a failed registration shows as a failed window creation.
void RegisterMainWindowClass(HINSTANCE instance);

// The main window's procedure: paint, arrow keys, commands 104 (About) and
// 105 (Exit), WM_DESTROY. Returns 0 for what it handles, otherwise the
// default procedure's result.
LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Draws the logo at (300, 5) and the status lines at (5, 10 + 18 k).
void PaintMainWindow(HWND window);

// Moves the window by (dx, dy) pixels, size unchanged.
void NudgeMainWindow(HWND window, int dx, int dy);
