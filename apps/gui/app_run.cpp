#include "app_run.h"

#include <QAbstractButton>
#include <QApplication>
#include <QPalette>
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

void useDarkPalette(QApplication& app) {
    QApplication::setStyle(QStringLiteral("Fusion"));
    QPalette p;
    const QColor window(0x2b, 0x2d, 0x30), base(0x1e, 0x1f, 0x22), text(0xe6, 0xe6, 0xe6);
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, QColor(0x27, 0x29, 0x2c));
    p.setColor(QPalette::ToolTipBase, window);
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::PlaceholderText, QColor(0x9a, 0x9d, 0xa3));
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, QColor(0x37, 0x3a, 0x3e));
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::BrightText, Qt::white);
    p.setColor(QPalette::Light, QColor(0x4a, 0x4d, 0x52));
    p.setColor(QPalette::Midlight, QColor(0x40, 0x43, 0x47));
    p.setColor(QPalette::Mid, QColor(0x33, 0x35, 0x39));
    p.setColor(QPalette::Dark, QColor(0x18, 0x19, 0x1b));
    p.setColor(QPalette::Shadow, Qt::black);
    p.setColor(QPalette::Highlight, QColor(0x2f, 0x6f, 0xd0));
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::Link, QColor(0x6c, 0xa8, 0xff));
    for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        p.setColor(QPalette::Disabled, role, QColor(0x7a, 0x7d, 0x82));
    app.setPalette(p);
}

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
