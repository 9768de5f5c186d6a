#include "app_run.h"

#include <QAbstractButton>
#include <QApplication>
#include <QPixmap>
#include <QTableView>
#include <QTimer>
#include <cstdio>

#include "main_window.h"
#include "result_browser.h"
#include "start_page.h"

namespace salvor::gui {

namespace {

// Renders the window once pending layouts and paints have run.
void shootLater(QApplication& app, MainWindow& window, const QString& file) {
    QTimer::singleShot(200, &window, [&app, &window, file] {
        const QPixmap shot = window.grab();
        const bool ok = !shot.isNull() && shot.save(file, "PNG");
        if (!ok) std::fprintf(stderr, "salvor-gui: could not write %s\n", file.toLocal8Bit().constData());
        app.exit(ok ? 0 : 1);
    });
}

}  // namespace

int runApp(QApplication& app, const AppOptions& options) {
    std::optional<Category> category;
    const bool startPage = options.show.isEmpty() ? options.backup.isEmpty() : options.show == QLatin1String("start");
    if (!options.show.isEmpty() && !startPage) {
        category = categoryFromName(options.show);
        if (!category) {
            std::fprintf(stderr,
                         "salvor-gui: unknown page '%s' (use start, contacts, messages, calls, notes, bookmarks, "
                         "calendar, photos, social or files)\n",
                         options.show.toLocal8Bit().constData());
            return 2;
        }
    }
    const bool shooting = !options.screenshot.isEmpty();
    QString store = options.store;
    if (store.isEmpty() && !options.backup.isEmpty() && startPage) store = options.backup;
    MainWindow window(store);
    window.askBeforeClosing = !shooting;
    if (shooting) window.browser()->openDestinationAfterRecovery = false;
    window.show();

    if (!startPage || (!options.backup.isEmpty() && !shooting)) {
        if (options.backup.isEmpty()) {
            // A category without a backup: scan the highlighted backup of the store.
            const QString first = window.startPage()->selectedBackup();
            if (first.isEmpty()) {
                std::fprintf(stderr, "salvor-gui: no backup to show (name a backup folder)\n");
                return 2;
            }
            window.scanBackup(first);
        } else {
            window.scanBackup(options.backup);
        }
        if (category) window.browser()->showCategory(*category);
        ResultBrowser* browser = window.browser();
        QObject::connect(browser, &ResultBrowser::scanCompleted, &window, [&, browser] {
            if (category) browser->showCategory(*category);
            // The first row is opened: a conversation, or the record's fields.
            if (browser->table()->model()->rowCount() > 0) browser->table()->selectRow(0);
            if (shooting) {
                std::fprintf(stderr, "salvor-gui: longest main-thread turn during the scan: %lld ms\n",
                             static_cast<long long>(browser->longestTickMs()));
                shootLater(app, window, options.screenshot);
            }
        });
    } else if (shooting) {
        shootLater(app, window, options.screenshot);
    }
    return app.exec();
}

}  // namespace salvor::gui
