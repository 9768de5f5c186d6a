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

// Opens the window and runs the event loop; returns the exit code (2 for a
// bad category name, 1 when a screenshot could not be written).
int runApp(QApplication& app, const AppOptions& options);

}  // namespace salvor::gui
