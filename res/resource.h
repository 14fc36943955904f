// Resource and command ids shared by res/lormix.rc and the program.
#pragma once

#define IDS_TITLE 103        // window title
#define IDS_CLASS_NAME 109   // window class name
#define IDI_LORMIX 107       // icon group
#define IDR_MAIN_MENU 109
#define IDR_ACCELERATORS 109
#define IDB_LOGO 129         // 160 x 46, 16 colours
#define IDD_ABOUT 103
#define IDC_IMAGE_LIST 1000  // About box list of carried images
#define IDM_ABOUT 104
#define IDM_EXIT 105
