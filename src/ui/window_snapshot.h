// Support and test aid: with $TILLCAST_UI_SNAPSHOT_DIR set, every window
// the agent shows leaves a picture of itself (<class>-<n>.png) and the texts
// of its named labels and buttons, in tree order (<class>-<n>.json, UTF-8:
// {"title", "visible", "width", "height", "controls":[{"name", "text",
// "visible"}]}) in that folder,
// so a window of the running agent can be checked from outside the process.
#pragma once

#include <QString>

class QWidget;

namespace tillcast::ui {

// UI thread. Does nothing unless the folder is configured. The snapshot is
// taken once the window has been laid out and painted; the JSON file is
// written last (by rename), so its presence means both files are complete.
void ScheduleWindowSnapshot(QWidget* window, const QString& window_class);

}  // namespace tillcast::ui
