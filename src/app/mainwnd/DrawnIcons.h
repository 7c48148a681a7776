// The main window's pictures, drawn in code: the toolbar's nine buttons, the
// drive, folder and file items of the lists and the file-type groups.
#pragma once
#include <windows.h>
#include <commctrl.h>

// Pictures of the toolbar: open image, add, extract, view, search, registry,
// drivers in the image, drivers of the store, physical disk.
constexpr int kToolbarPictures = 9;

// A toolbar picture (0..8) of `size` pixels, 32-bit with alpha; null on failure.
HICON CreateToolbarIcon(int picture, int size);

// A list item picture by its item image (0 drive, 1 folder, 2 plain file,
// 3..18 the file-type groups); null on failure.
HICON CreateItemIcon(int itemImage, int size);

// The image list of the pane lists: the 19 item pictures in item-image order.
HIMAGELIST CreateItemImageList(int size);

// The address bars' pictures: 0 image file, 1 image with a write-back file,
// 2 update file, 3 drive, 4 folder.
HICON CreateAddressIcon(int picture, int size);
