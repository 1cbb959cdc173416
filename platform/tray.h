// Link-status icon. A QSystemTrayIcon where the desktop has a notification area; where it
// has none, the same image is shown in a corner of every visible panel. Image changes are
// painted at once, because the caller usually blocks the thread right after one.
#pragma once

using TrayIconCallbackPtr = int (*)(int iconHandle, int event, int eventData);

enum { ATTR_TRAY_IMAGE_FILE = 5004 };  // icon image, loaded from a file name

// Installs the icon with the image of `iconFile` and `tooltip` (at most 63 characters kept).
// 0 and *handle set on success, negative on failure (-1 bad arguments, -2 image unreadable).
int WT_InstallSysTrayIcon(const char* iconFile, const char* tooltip, TrayIconCallbackPtr cb,
                          int* handle);
// attribute ATTR_TRAY_IMAGE_FILE: new image from `value`; a file that cannot be loaded keeps
// the previous image and gives -2. A relative name is looked up beside the executable.
int WT_SetTrayIconAttr(int handle, int attribute, const char* value);
int WT_RemoveSysTrayIcon(int handle);

namespace tray {
// File name of the image currently shown ("" when no icon is installed).
const char* CurrentImage();
}  // namespace tray
