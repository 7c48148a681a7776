// Ids of the dialogs, controls, menus, strings and texts in the resource
// files of the three languages (lang/*.rc); the code and the resource
// compiler both read this file.
#pragma once

// Command-line help: dialog, its text box, the help text (DATA).
#define IDD_COMMAND_LINE_HELP 166
#define IDC_HELP_TEXT 1044
#define IDR_COMMAND_LINE_HELP 101

// Context menu of the hex editor and its commands.
#define IDM_HEX_EDIT 134
#define ID_HEX_UNDO 32809
#define ID_HEX_CUT 32810
#define ID_HEX_COPY 32811
#define ID_HEX_PASTE 32812
#define ID_HEX_DELETE 32813
#define ID_HEX_SELECT_ALL 32814

// Strings.
#define IDS_ANSWER_YES 184
#define IDS_ANSWER_NO 185
#define IDS_ANSWER_ALL 186
#define IDS_BYTES_FORMAT 223

// The main window: dialog, its controls, its title and the texts of its
// toolbar, lists, status bar and address bars.
#define IDD_FILE_MANAGER 101
#define IDC_STATUS_BAR 1013
#define IDC_TOOLBAR 1015
#define IDC_HOST_ADDRESS 1021
#define IDC_IMAGE_ADDRESS 1022
#define IDC_HOST_LIST 1023
#define IDC_IMAGE_LIST 1024
#define IDC_PROGRESS 1100
#define IDC_IMAGE_FILES 1156
#define IDS_MAIN_TITLE 101
#define IDS_TOOLBAR_TEXTS 102
#define IDS_COLUMN_NAME 103
#define IDS_COLUMN_SIZE 104
#define IDS_COLUMN_TIME 105
#define IDS_COLUMN_ATTRIBUTES 106
#define IDS_VIRTUAL_DISK 107
#define IDS_PHYSICAL_DISK 108
#define IDS_CUE_IMAGE_ADDRESS 125
#define IDS_CUE_HOST_ADDRESS 187
#define IDS_OPEN_WRITE_BACK 190
#define IDS_CHANGE_PARTITION_SIZE 192
#define IDS_WRITE_BACK_FILE 212
#define IDS_MERGE_IMAGE 321
