// Resource identifiers of fwupdate.exe (dialog templates, controls, icons).
#pragma once

// Icons.
#define IDI_FW_PROGRAM 128  // blue square in a dark-red frame: the program's own icon
#define IDI_FW_WARNING 139  // yellow warning triangle
#define IDI_FW_ERROR 140    // red disc with a white cross
#define IDI_FW_FINISH 141   // yellow smiling face: finish form with the reboot offer

// Dialog templates.
#define IDD_UPDATE 102    // main dialog
#define IDD_PROGRESS 131  // progress dialog
#define IDD_MESSAGE 135   // message dialog and finish form
#define IDD_DEBUG 136     // debug window

// Main dialog (102).
#define IDC_DRIVE_COMBO 1000
#define IDC_DRIVE_LABEL 1017
#define IDC_TO_LABEL 1018
#define IDC_QUESTION 1019
#define IDC_PAGE_GROUP 1020
#define IDC_VENDOR_LABEL 1021
#define IDC_FROM 1025
#define IDC_VENDOR 1026
#define IDC_PAGE_SCROLL 1027
#define IDC_TO 1028

// Progress dialog (131).
#define IDC_WARNING_LINE 1004
#define IDC_PROGRESS_BAR 1033
#define IDC_STATUS_LINE 1040

// Message dialog (135).
#define IDC_MESSAGE_TEXT 1015

// Debug window (136).
#define IDC_TRACE_FIELD 1033
