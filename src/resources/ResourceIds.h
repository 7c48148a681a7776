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
