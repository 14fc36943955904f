// The About box (dialog 103): version, notice and the list of carried images.
#pragma once
#include <windows.h>

// Fills list 1000 on WM_INITDIALOG and ends the box on IDOK or IDCANCEL.
// Returns TRUE for those, FALSE for every other message.
INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
