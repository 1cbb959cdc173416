// Test hook of the link indicator: included by tests only.
#pragma once

namespace tray {
// Called after every successful image change with the file name as given. nullptr removes it.
using Observer = void (*)(const char* iconFile);
void SetObserver(Observer obs);
}  // namespace tray
