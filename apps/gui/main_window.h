// The main window: the start page and the result browser on one stack.
#pragma once

#include <QMainWindow>

class QStackedWidget;

namespace salvor::gui {

class StartPage;
class ResultBrowser;

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(const QString& storeFolder = {}, QWidget* parent = nullptr);

    StartPage* startPage() const { return start_; }
    ResultBrowser* browser() const { return browser_; }
    void showStartPage();
    void scanBackup(const QString& backupFolder);
    // "Recover from device": the one place a device recovery starts from.
    // Until devices can be read it tells the user to connect one or to scan
    // a backup instead.
    void recoverFromDevice();
    // Whether closing asks first (off for screenshots and tests).
    bool askBeforeClosing = true;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QStackedWidget* stack_ = nullptr;
    StartPage* start_ = nullptr;
    ResultBrowser* browser_ = nullptr;
};

}  // namespace salvor::gui
