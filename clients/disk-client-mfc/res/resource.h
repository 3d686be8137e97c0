// Resource ids of ZelkoMfcClient.exe: dialog templates, controls, icon.
#pragma once

#define IDD_LOGIN 100
#define IDD_MAIN 101
#define IDD_ABOUT 107
#define IDD_SETTINGS 108
#define IDD_UPLOAD_PROGRESS 110
#define IDI_APP 112

// Login dialog
#define IDC_LOGIN_HOST 1001
#define IDC_LOGIN_PORT 1002
#define IDC_LOGIN_USER 1003
#define IDC_LOGIN_PASSWORD 1004
#define IDC_LOGIN_BUTTON 1005
#define IDC_LOGIN_BANNER 1042

// Settings dialog
#define IDC_SET_HOST 1032
#define IDC_SET_PORT 1033
#define IDC_SET_TIMEOUT 1034
#define IDC_SET_REFRESH 1035

// Upload progress dialog
#define IDC_UP_PROGRESS 1038
#define IDC_UP_STATUS 1039
#define IDC_UP_DETAIL 1040
#define IDC_UP_CANCEL 1041

// Main dialog
#define IDC_IMAGE_COMBO 1044
#define IDC_IMAGE_REFRESH 1045
#define IDC_SUPER_ON 1046
#define IDC_SUPER_OFF 1047
#define IDC_SUPER_STATUS 1048
#define IDC_LOGGED_IN 1049
#define IDC_UPLOAD 1050
#define IDC_PREPARE_DISK 1051
#define IDC_SETTINGS_BUTTON 40002
#define IDC_ABOUT_BUTTON 40003

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
