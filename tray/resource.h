#pragma once
// Resource ids of VarnBackupTray. The numbers are fixed: the dialogs and the
// notification-area icon are found by them, and so are the controls.
// Dialogs 101 and 104 both hold a control 1017 and a control 1018; each
// dialog's ids are its own, so those two numbers have one name per dialog.

// Dialogs
#define IDD_MAIN                    101
#define IDD_SETTINGS                104
#define IDD_FILE_LIST               107

// Icon group of the notification area
#define IDI_TRAY                    1100

// Main window (101)
#define IDC_ADD_FOLDER              1003
#define IDC_SETTINGS                1004
#define IDC_SERVICE                 1005
#define IDC_FOLDER_LIST             1017
#define IDC_REMOVE                  1018
#define IDC_VIEW_FILES              1019
#define IDC_SEARCH_LABEL            1025
#define IDC_SEARCH_TEXT             1026
// IDOK (1) is "Close", IDCANCEL (2) is "Go!", 3 is "Apply".
#define IDC_APPLY                   3

// Settings (104)
#define IDC_DESTINATION_LABEL       1006
#define IDC_USERNAME_LABEL          1007
#define IDC_PASSWORD_LABEL          1008
#define IDC_SCAN_INTERVAL_LABEL     1009
#define IDC_CREDENTIALS_GROUP       1010
#define IDC_DESTINATION             1011
#define IDC_USERNAME                1012
#define IDC_PASSWORD                1013
#define IDC_SCAN_INTERVAL           1014
#define IDC_MINUTES_LABEL           1015
#define IDC_CHANGE_DESTINATION      1016
#define IDC_MAX_VERSIONS_LABEL      1017
#define IDC_MAX_VERSIONS            1018

// File list (107)
#define IDC_FILE_ACTION             4
#define IDC_FILE_LIST               1021
