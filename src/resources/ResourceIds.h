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
// What an open did to a file a cut-off command left behind (%s: the file).
#define IDS_JOURNAL_ROLLED_BACK 365
#define IDS_JOURNAL_SET_ASIDE 366
#define IDS_JOURNAL_NOT_REMOVED 367
// An image the open refused (%s: the file): another program holds it, or
// the journal beside it fails its checks or cannot be applied now.
#define IDS_IMAGE_HELD 368
#define IDS_JOURNAL_REFUSED 369
// The other lines an open (or a merge) gives about a file, one text for
// each kind (%s: the file): what it did to it, or why it refused it.
#define IDS_NOTICE_DAMAGED_MAP 370
#define IDS_NOTICE_DAMAGED_HEADER 371
#define IDS_NOTICE_NOT_OVERLAY 372
#define IDS_NOTICE_NOT_LINKED 373
#define IDS_NOTICE_STALE_KEPT 374
#define IDS_NOTICE_STALE_DISCARDED 375
#define IDS_NOTICE_UNUSABLE_DISCARDED 376
#define IDS_NOTICE_LEGACY_UNDO 377
#define IDS_NOTICE_MERGE_UNFINISHED 378
#define IDS_NOTICE_MERGE_FILE_MISSING 379
#define IDS_NOTICE_MERGE_RECORD_DONE 380
#define IDS_NOTICE_MERGE_UNLINKS 381
#define IDS_NOTICE_MERGE_LEFTOVER 382
#define IDS_NOTICE_MISSING 383
#define IDS_NOTICE_CANNOT_CREATE 384
#define IDS_NOTICE_EMPTY 385
#define IDS_NOTICE_IN_USE 386
#define IDS_NOTICE_NOT_WRITABLE 387
#define IDS_NOTICE_UNKNOWN_KIND 388
#define IDS_NOTICE_NO_BASE 389
#define IDS_NOTICE_NO_VOLUME 390
#define IDS_NOTICE_NO_MATCH 391
#define IDS_NOTICE_NO_PARTITION 392
#define IDS_NOTICE_LEFTOVER_REMOVED 393
#define IDS_NOTICE_LEFTOVER_NOT_OURS 394
#define IDS_NOTICE_UPDATES_HANG_ON 395
#define IDS_NOTICE_JOURNAL_NAME_TAKEN 397
#define IDS_NOTICE_STALE_NOT_MERGED 398
// An image whose open failed without a line saying why (%s: the image).
#define IDS_IMAGE_NOT_OPENED 396
// SOFTWARE names no last user: HKEY_CURRENT_USER is this hive (%s).
#define IDS_NOTICE_USER_HIVE_DEFAULT 399
// The last user SOFTWARE names has no profile in the image: the same (%s).
#define IDS_NOTICE_USER_HIVE_NO_PROFILE 400
// The image text of "-img:" whose partition behind "::" is no number (%s).
#define IDS_IMAGE_PARTITION_NOT_NUMBER 401
// A command line naming a file twice by one option (%s, %s: the two
// arguments): the window opens no image.
#define IDS_OPTION_GIVEN_TWICE 422
// A write-back file over a raw image or VHD written since it was made,
// refused and kept by every command (%s: the file).
#define IDS_NOTICE_STALE_REFUSED 402
// A file merged into its image whole that could not be removed afterwards
// (%s: the file).
#define IDS_NOTICE_MERGED_FILE_LEFT 403
// A write-back file made for an earlier state of its base, shown without its
// changes until the first change drops them (%s: the file).
#define IDS_NOTICE_STALE_PENDING 420
// An update file that cannot be made beside its image (%s: the file).
#define IDS_NOTICE_UPDATE_NOT_MADE 421
// An overlay made for another image (one of another kind, or one made anew
// at its path), not merged into this one (%s: the file).
#define IDS_NOTICE_NOT_LINKED_NOT_MERGED 404
// A file merged into its image already, refused by a command other than
// the merge, which removes it (%s: the file).
#define IDS_NOTICE_MERGED_ALREADY_KEPT 405
// A volume opened to write that takes no writes (%s: the image): a dynamic
// VHD without a write-back file, a hibernated Windows on its NTFS volume.
#define IDS_NOTICE_WRITES_NEED_FIX 410
#define IDS_NOTICE_HIBERNATED 411
// A path that names a folder where a file is asked for (%s): an image to
// open, a new image's target.
#define IDS_NOTICE_FOLDER 412
#define IDS_NOTICE_FOLDER_TARGET 413
// A volume opened to write whose Windows did not shut down cleanly: its
// journal ($LogFile) holds what the volume does not yet (%s: the image).
#define IDS_NOTICE_UNCLEAN_SHUTDOWN 430

// The registry editor: its window, controls, menus and texts, and the two
// favorites dialogs.
#define IDD_REGISTRY_EDITOR 102
#define IDD_ADD_FAVORITE 118
#define IDD_REMOVE_FAVORITES 119
#define IDC_REG_TREE 1009
#define IDC_REG_VALUES 1010
#define IDC_REG_SPLITTER 1014
#define IDC_REG_ADDRESS 1088
#define IDC_FAVORITE_NAME 1165
#define IDC_FAVORITE_LIST 1166
#define IDM_REGISTRY 130
#define IDM_REG_KEY 131
#define IDM_REG_VALUE 132
#define IDM_REG_LIST 133
#define ID_REG_IMPORT 32771
#define ID_REG_EXPORT 32772
#define ID_REG_EXIT 32773
#define ID_REG_MODIFY 32774
#define ID_REG_NEW_KEY 32778
#define ID_REG_NEW_DWORD 32779
#define ID_REG_NEW_BINARY 32780
#define ID_REG_NEW_STRING 32781
#define ID_REG_COPY_KEY_NAME 32782
#define ID_REG_NEW_QWORD 32783
#define ID_REG_NEW_EXPAND 32786
#define ID_REG_NEW_MULTI 32787
#define ID_REG_DELETE 32788
#define ID_REG_RENAME 32791
#define ID_REG_FIND_NEXT 32792
#define ID_REG_FIND 32793
#define ID_REG_STATUS_BAR 32795
#define ID_REG_REFRESH 32796
#define ID_REG_FIND_HEX 32797
#define ID_REG_COLLAPSE 32801
#define ID_REG_EXPAND 32802
#define ID_REG_MODIFY_BINARY 32816
#define ID_REG_ADD_FAVORITE 32833
#define ID_REG_REMOVE_FAVORITE 32834
#define ID_REG_FAVORITE_FIRST 32000
#define IDS_REG_DEFAULT_NAME 161
#define IDS_REG_VALUE_NOT_SET 162
#define IDS_REG_TITLE 164
#define IDS_COLUMN_TYPE 168
#define IDS_COLUMN_DATA 169

// The ids of later windows and subjects, one header each.
#include "ids/DiskCopy.h"
#include "ids/DiskToolDialogs.h"
#include "ids/DriverImage.h"
#include "ids/DriverStore.h"
#include "ids/FileOperations.h"
#include "ids/FileTools.h"
#include "ids/RegistryEdit.h"
