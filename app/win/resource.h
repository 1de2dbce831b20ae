// Resource and control identifiers of the update window; shared by the resource script and the
// code.
#pragma once

#define IDD_UPDATE_DIALOG 102
#define IDR_MAINFRAME 128
#define IDB_BANNER 129

#define IDC_PROGRESS 1000
#define IDC_UPDATE 1001
#define IDC_STATUS 1002
#define IDC_INFO 1003
#define IDC_DEVICE_INFO 1004
