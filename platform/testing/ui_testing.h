// Test hooks of the user-interface runtime: included by tests, benchmarks and fuzz targets
// only, never by the tool's own code.
#pragma once

namespace ui {
// Number of live panels (discarded ones excluded).
int LivePanelCount();
// Overrides the directory GetProjectDir reports; nullptr restores the real one.
void SetProjectDirOverride(const char* dir);
// The Qt widget of a panel, or of a control (nullptr when unknown). Returned as void* so
// this header does not pull in Qt.
void* PanelWidget(int panel);
void* CtrlWidget(int panel, int control);
}  // namespace ui
