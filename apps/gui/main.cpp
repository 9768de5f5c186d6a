// salvor-gui [BACKUP_DIR] [--store DIR] [--show CATEGORY] [--screenshot FILE]
#include <QApplication>
#include <QCommandLineParser>
#include <QTimer>
#include <cstdio>

#include "app_run.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Salvor"));
    QApplication::setApplicationName(QStringLiteral("salvor-gui"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Recover iPhone and iPad data from backups."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("backup"), QStringLiteral("A backup folder to scan at once."),
                                 QStringLiteral("[BACKUP_DIR]"));
    parser.addOption({QStringLiteral("store"), QStringLiteral("The folder of backups to list."), QStringLiteral("DIR")});
    parser.addOption({QStringLiteral("show"),
                      QStringLiteral("The page to show: start, contacts, messages, calls, notes, bookmarks, "
                                     "calendar, photos, social or files."),
                      QStringLiteral("CATEGORY")});
    parser.addOption({QStringLiteral("screenshot"),
                      QStringLiteral("Scan to the end, render the window into FILE (PNG) and exit."),
                      QStringLiteral("FILE")});
    parser.process(app);
    salvor::gui::AppOptions options;
    const QStringList positional = parser.positionalArguments();
    if (positional.size() > 1) {
        std::fprintf(stderr, "salvor-gui: only one backup folder can be scanned at a time\n");
        return 2;
    }
    if (!positional.isEmpty()) options.backup = positional.front();
    options.store = parser.value(QStringLiteral("store"));
    options.show = parser.value(QStringLiteral("show"));
    options.screenshot = parser.value(QStringLiteral("screenshot"));
    if (qEnvironmentVariable("SALVOR_GUI_PALETTE") == QLatin1String("dark")) salvor::gui::useDarkPalette(app);
    return salvor::gui::runApp(app, options);
}
