// Resource ids: The main window's file operations, partition information, keys, menus and toolbar.
#pragma once

// Menus: the main window's menu bar and the panes' context menu.
#define IDM_MAIN 148
#define IDM_PANE 135

// Commands of the menus, the toolbar and the keys.
#define ID_OPEN_IMAGE_BUTTON 1001
#define ID_ADD_BUTTON 1002
#define ID_EXTRACT_BUTTON 1003
#define ID_VIEW_BUTTON 1004
#define ID_SEARCH_BUTTON 1005
#define ID_REGISTRY_BUTTON 1006
#define ID_IMAGE_DRIVERS_BUTTON 1007
#define ID_STORE_DRIVERS_BUTTON 1008
#define ID_EXIT 32773
#define ID_ADD_FILES 32775
#define ID_EXTRACT_FILES 32776
#define ID_SELECT_ALL 32777
#define ID_DELETE 32788
#define ID_COPY 32789
#define ID_RENAME 32791
#define ID_PASTE 32794
#define ID_STATUS_BAR 32795
#define ID_REFRESH 32796
#define ID_PROPERTIES 32804
#define ID_VIEW_ICONS 32815
#define ID_VIEW_LIST 32817
#define ID_VIEW_DETAILS 32818
#define ID_GO_SYSTEM32 32819
#define ID_GO_DRIVERS 32820
#define ID_NEW_FOLDER 32821
#define ID_VIEW_FILE 32822
#define ID_CREATE_IMAGE 32824
#define ID_HELP_COMMAND_LINE 32825
#define ID_SEARCH 32826
#define ID_REGISTRY 32827
#define ID_IMAGE_DRIVERS 32828
#define ID_STORE_DRIVERS 32829
#define ID_CLOSE_IMAGE 32830
#define ID_TOOLBAR 32831
#define ID_PARTITION_INFO 32832
#define ID_LANGUAGE_CHINESE 32835
#define ID_LANGUAGE_JAPANESE 32836
#define ID_LANGUAGE_KOREAN 32837
#define ID_BACKUP 32838
#define ID_CLONE 32839
#define ID_BOOT_OPTIONS 32840
#define ID_CONVERT 32841

// Partition information dialog: its figures (the text is their format).
#define IDD_PARTITION_INFO 162
#define IDC_PARTITION_FIGURES 1000

// The links painted into the image address bar's drop-down.
#define IDC_MERGE_LINK 1007
#define IDC_WRITE_BACK_LINK 1008

// Strings.
#define IDS_DELETE_SELECTED 110
#define IDS_PROMPT 111
#define IDS_TIP_EXTRACT 112
#define IDS_TIP_ADD 113
#define IDS_TIP_REGISTRY 114
#define IDS_TIP_IMAGE_DRIVERS 115
#define IDS_ADDING_FILE 116
#define IDS_ASK_GROW_PARTITION 117
#define IDS_EXTRACTING_FILE 121
#define IDS_COPYING_FILE 122
#define IDS_TIP_STORE_DRIVERS 180
#define IDS_ASK_REPLACE 183
#define IDS_FOLDER_DETAILS 188
#define IDS_FILE_DETAILS 189
#define IDS_SIZE_NOT_LARGER 194
#define IDS_RESIZING 195
#define IDS_RESIZE_DONE 196
#define IDS_RESIZE_FAILED 197
// A folder that could not be made: its full path (%s), the system's error
// (%u) and its text (%s).
#define IDS_NEW_FOLDER_FAILED 198
#define IDS_NEW_FOLDER_NAME 199
#define IDS_NEW_FOLDER_NUMBERED 200
// A rename refused: the item's full path (%s), the new name (%s), the
// system's error (%u) and its text (%s).
#define IDS_RENAME_FAILED 208
#define IDS_TIP_OPEN_IMAGE 209
#define IDS_TIP_VIEW 210
#define IDS_TIP_SEARCH 211
#define IDS_REMARK 318
#define IDS_UPDATE_FILE_NOTE 319
#define IDS_ASK_MERGE 322
#define IDS_MERGING 323
#define IDS_MERGE_FAILED 324
#define IDS_OPERATION_RUNNING 2501
// An operation on the image that could not be written whole and was taken
// back (%s: the file it wrote).
#define IDS_OPERATION_TAKEN_BACK 2502
// The first item an operation could not do: its full path (%s), the
// system's error (%u) and its text (%s); then how many items it could not
// do (%u) when more than that one.
#define IDS_DELETE_FAILED 2503
#define IDS_COPY_IN_FAILED 2504
#define IDS_COPY_OUT_FAILED 2505
#define IDS_PROPERTIES_FAILED 2506
#define IDS_FAILED_COUNT 2507
// A grow of the partition refused for a cause the grow names: from the
// size edit (%s: the grow's lines), and in a copy that ran out of room,
// which is then taken back (%s: the file it wrote, %s: the item that found
// no room, %s: the grow's lines).
#define IDS_GROW_REFUSED 2508
#define IDS_GROW_REFUSED_TAKEN_BACK 2509
#define IDS_WRITE_BACK_FILTER 177
