#pragma once
// Resource ids of the dialogs, string, icon and controls.

#define IDD_ABOUT 100
#define IDS_ABOUT_ITEM 101
#define IDD_MAIN 102
#define IDI_APP 128
#define IDC_SEARCH 1002
#define IDC_USB 1003
#define IDC_RS232 1004
#define IDC_PRODUCT_ID 1005
#define IDOK 1
#define IDCANCEL 2
#define ID_SYSMENU_ABOUT 0x10

// The language of the resources: Chinese (PRC).
#define RESOURCE_LANGUAGE 0x0804
