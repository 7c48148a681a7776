// Resource ids: File properties, the file viewer and file search.
#pragma once

// Strings of other subjects' tables these windows show too: the prompt
// caption, the version tab, the properties title suffix and the cue text of
// file-name combo boxes.
#define IDS_PROMPT_CAPTION 111
#define IDS_TAB_VERSION 136
#define IDS_PROPERTIES_SUFFIX 155
#define IDS_CUE_FILE_NAME 220
// Strings of this table that other windows show too.
#define IDS_HEX_VALUE_WRONG 191
#define IDS_CUE_FIND_TEXT 222
#define IDS_LIST_FONT_FACE 268

// The file viewer: two templates (rich edit 5.0 and 2.0), its menus and
// commands, the find dialog.
#define IDD_VIEWER 149
#define IDD_VIEWER_RICHEDIT20 153
#define IDD_FIND_TEXT 150
#define IDM_VIEWER 146
#define IDM_VIEWER_CONTEXT 147
#define IDC_VIEWER_TEXT 1044
#define IDC_FIND_TEXT 1045
#define IDC_FIND_WHOLE_WORD 1046
#define IDC_FIND_UNICODE 1048
#define IDC_MATCH_CASE 1155
#define IDC_HEX_MODE 1003
#define ID_VIEW_CLOSE 32773
#define ID_VIEW_FIND_NEXT 32792
#define ID_VIEW_FIND 32793
#define ID_VIEW_FONT 32798
#define ID_VIEW_ANSI 32799
#define ID_VIEW_UNICODE 32800
#define ID_VIEW_WORD_WRAP 32803
#define ID_VIEW_UTF8 32805
#define ID_VIEW_COPY 32811
#define ID_VIEW_SELECT_ALL 32814
#define ID_VIEW_HEX 32823
#define IDS_BYTES_SIZE 203
#define IDS_TOO_LARGE_TO_VIEW 204
#define IDS_TEXT_NOT_FOUND 205
#define IDS_PICTURE_SIZE 206
#define IDS_HEX_DATA 207
#define IDS_OPEN_FILE_FAILED 226

// File search.
#define IDD_SEARCH_FILE 152
#define IDC_SEARCH_STATUS 1000
#define IDC_SEARCH_VIEW 1004
#define IDC_SEARCH_NAME 1035
#define IDC_SEARCH_RESULTS 1038
#define IDC_SEARCH_GROUP 1041
#define IDC_SEARCH_FOLDER 1048
#define IDC_SEARCH_CONTENT 1049
#define IDC_SEARCH_SUBDIRS 1050
#define IDC_SEARCH_ANSI 1156
#define IDC_SEARCH_UNICODE 1157
#define IDC_SEARCH_LOCATE 216
#define IDS_SEARCH_START 217
#define IDS_SEARCH_STOP 218
#define IDS_SEARCH_FOUND 219

// File properties: the sheet, the General and Version pages.
#define IDD_FILE_INFO 159
#define IDD_FILE_PROPERTIES 160
#define IDD_FILE_VERSION 161
#define IDC_PROPERTY_TABS 1018
#define IDC_INFO_SIZE 1047
#define IDC_INFO_READ_ONLY 1059
#define IDC_INFO_HIDDEN 1060
#define IDC_INFO_SYSTEM 1061
#define IDC_INFO_ARCHIVE 1062
#define IDC_INFO_SYMLINK 1063
#define IDC_INFO_SHORTCUT 1064
#define IDC_INFO_LOCATION 1065
#define IDC_INFO_TARGET 1066
#define IDC_INFO_CREATED 1067
#define IDC_INFO_MODIFIED 1068
#define IDC_INFO_ACCESSED 1069
#define IDC_VERSION_LIST 1066
#define IDS_TAB_GENERAL 257
#define IDS_COLUMN_VALUE 258
#define IDS_VERSION_ROW_FIRST 259
