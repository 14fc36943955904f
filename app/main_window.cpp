// The program entry, the main window and the start of the worker thread.
#include "app/main_window.h"

#include <mmsystem.h>

#include <cstring>

#include "app/about_box.h"
#include "app/status_log.h"
#include "control/update_cycle.h"
#include "link/host_services.h"
#include "res/resource.h"

HINSTANCE appInstance = nullptr;

static char titleText[100];
static char className[100];

// The status lines as the last paint copied them. GUI thread only; static so
// that a paint does not put 2.6 KB on the stack.
static char paintLines[kStatusLines][kStatusSlotSize];

// The worker thread's procedure. The update logic sleeps 1 ms at a time while
// it polls the adapter; at the default timer resolution such a sleep lasts a
// whole scheduler tick (about 15.6 ms), so the resolution is raised for as
// long as the worker runs.
static DWORD WINAPI WorkerThreadProc(LPVOID parameter) {
  timeBeginPeriod(1);
  const int result = UpdateWorker(parameter);
  timeEndPeriod(1);
  return static_cast<DWORD>(result);
}

void RegisterMainWindowClass(HINSTANCE instance) {
  WNDCLASSEXA windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.style = CS_HREDRAW | CS_VREDRAW;
  windowClass.lpfnWndProc = MainWindowProc;
  windowClass.cbClsExtra = 0;
  windowClass.cbWndExtra = 0;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_LORMIX));
  windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  windowClass.lpszMenuName = MAKEINTRESOURCEA(IDR_MAIN_MENU);
  windowClass.lpszClassName = className;
  windowClass.hIconSm = nullptr;  // taken from icon group 107
  RegisterClassExA(&windowClass);
}

void NudgeMainWindow(HWND window, int dx, int dy) {
  RECT r;
  GetWindowRect(window, &r);
  MoveWindow(window, r.left + dx, r.top + dy, r.right - r.left, r.bottom - r.top, TRUE);
}

void PaintMainWindow(HWND window) {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window, &paint);

  HBITMAP logo = LoadBitmapA(appInstance, MAKEINTRESOURCEA(IDB_LOGO));
  HDC memory = CreateCompatibleDC(dc);
  SelectObject(memory, logo);
  BitBlt(dc, 300, 5, 450, 400, memory, 0, 0, SRCCOPY);
  DeleteDC(memory);
  DeleteObject(logo);

  // Copy under the log's lock, draw after it is released: the worker never
  // waits on GDI, and a line being rewritten is never drawn half old, half new.
  CopyStatusLines(paintLines);
  for (int k = 0; k < kStatusLines; ++k) {
    const char* text = paintLines[k];
    if (text[0] != '\0') TextOutA(dc, 5, 10 + 18 * k, text, static_cast<int>(std::strlen(text)));
  }

  EndPaint(window, &paint);
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    case WM_PAINT:
      PaintMainWindow(window);
      return 0;
    case WM_KEYDOWN:
      switch (wParam) {
        case VK_LEFT:
          NudgeMainWindow(window, -1, 0);
          break;
        case VK_UP:
          NudgeMainWindow(window, 0, -1);
          break;
        case VK_RIGHT:
          NudgeMainWindow(window, 1, 0);
          break;
        case VK_DOWN:
          NudgeMainWindow(window, 0, 1);
          break;
        default:
          break;
      }
      return 0;
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDM_ABOUT:
          DialogBoxParamA(appInstance, MAKEINTRESOURCEA(IDD_ABOUT), window, AboutDialogProc, 0);
          return 0;
        case IDM_EXIT:
          DestroyWindow(window);
          return 0;
        default:
          return DefWindowProcA(window, message, wParam, lParam);
      }
    default:
      return DefWindowProcA(window, message, wParam, lParam);
  }
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previousInstance, LPSTR commandLine,
                   int showCommand) {
  (void)previousInstance;
  (void)commandLine;
  LoadStringA(instance, IDS_TITLE, titleText, sizeof titleText);
  LoadStringA(instance, IDS_CLASS_NAME, className, sizeof className);
  RegisterMainWindowClass(instance);
  ClearStatusLog();  // no window yet: no repaint request
  appInstance = instance;

  HWND window = CreateWindowExA(0, className, titleText, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0, 500,
                                250, nullptr, nullptr, instance, nullptr);
  mainWindow = window;  // before the worker exists: it only ever reads it
  if (window == nullptr) return 0;
  ShowWindow(window, showCommand);
  UpdateWindow(window);

  HACCEL accelerators = LoadAcceleratorsA(instance, MAKEINTRESOURCEA(IDR_ACCELERATORS));

  HANDLE worker = CreateThread(nullptr, 0, WorkerThreadProc, reinterpret_cast<LPVOID>(1), 0, nullptr);
  if (worker == nullptr) {
    MessageBoxA(window, "CreateThread Error !", "Error", MB_OK | MB_ICONERROR);
    return 1;
  }

  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0)) {
    if (TranslateAcceleratorA(message.hwnd, accelerators, &message) == 0) {
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
  }
  return static_cast<int>(message.wParam);
}
