// What the command line of the app asks for, and running the app with it.
#pragma once

#include <QString>

class QApplication;

namespace salvor::gui {

struct AppOptions {
    QString backup;      // scanned at once when given
    QString store;       // the folder of backups to list
    QString show;        // "start" or a category name
    QString screenshot;  // render into this PNG and exit
};

// Switches the application to a dark palette (Fusion style), for desktops
// whose dark theme Qt does not pick up; SALVOR_GUI_PALETTE=dark asks for it.
void useDarkPalette(QApplication& app);

// Opens the window and runs the event loop; returns the exit code (2 for a
// bad category name, 1 when a screenshot could not be written).
int runApp(QApplication& app, const AppOptions& options);

}  // namespace salvor::gui
