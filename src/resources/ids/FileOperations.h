// Resource ids: The main window's file operations, partition information, keys, menus and toolbar.
#pragma once
