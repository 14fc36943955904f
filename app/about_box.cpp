#include "app/about_box.h"

#include <cstdio>

#include "res/resource.h"
#include "update/update_data.h"

// One line per filled slot, in slot order. LB_INSERTSTRING at -1 appends
// without sorting, so the slot order stands although the list is LBS_SORT.
static void FillImageList(HWND dialog) {
  SendDlgItemMessageA(dialog, IDC_IMAGE_LIST, LB_RESETCONTENT, 0, 0);
  for (int slot = 0; slot < kImageSlots; ++slot) {
    const char* name = updateDataSet->nameTable[slot];
    const uint8_t* version = updateDataSet->versionTable[slot];
    // An empty slot is skipped, not the end of the list.
    if (name == nullptr || name[0] == '\0' || version == nullptr) continue;
    char line[260];
    std::snprintf(line, sizeof line, "%s ver. %02X.%02X", name, version[1], version[0]);
    SendDlgItemMessageA(dialog, IDC_IMAGE_LIST, LB_INSERTSTRING, static_cast<WPARAM>(-1),
                        reinterpret_cast<LPARAM>(line));
  }
}

INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  (void)lParam;
  switch (message) {
    case WM_INITDIALOG:
      FillImageList(dialog);
      return TRUE;  // the dialog manager focuses the first tab stop, OK
    case WM_COMMAND: {
      const int id = LOWORD(wParam);
      if (id == IDOK || id == IDCANCEL) {
        EndDialog(dialog, id);
        return TRUE;
      }
      return FALSE;
    }
    default:
      return FALSE;
  }
}
