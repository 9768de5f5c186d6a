#include "main_window.h"

#include <QCloseEvent>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QStackedWidget>

#include "engine/device_scan.h"
#include "result_browser.h"
#include "start_page.h"

namespace salvor::gui {

MainWindow::MainWindow(const QString& storeFolder, QWidget* parent) : QMainWindow(parent) {
    setWindowTitle(QStringLiteral("Salvor"));
    resize(1020, 660);
    stack_ = new QStackedWidget;
    start_ = new StartPage;
    browser_ = new ResultBrowser;
    stack_->addWidget(start_);
    stack_->addWidget(browser_);
    setCentralWidget(stack_);
    start_->showFolder(StartPage::initialFolder(storeFolder));
    connect(start_, &StartPage::scanRequested, this, &MainWindow::scanBackup);
    connect(start_, &StartPage::deviceRecoveryRequested, this, &MainWindow::recoverFromDevice);
    connect(start_, &StartPage::backupsListed, this, [this] { browser_->setBackups(start_->backups().arrangedObjects); });
    browser_->setBackups(start_->backups().arrangedObjects);
    connect(browser_, &ResultBrowser::backRequested, this, [this] {
        browser_->cancelScan();
        showStartPage();
    });
}

void MainWindow::showStartPage() { stack_->setCurrentWidget(start_); }

void MainWindow::scanBackup(const QString& backupFolder) {
    stack_->setCurrentWidget(browser_);
    browser_->startScan(backupFolder);
}

void MainWindow::recoverFromDevice() {
    std::vector<ConnectedDevice> devices;
    const std::optional<std::string> unreachable = listConnectedDevices(devices);
    if (unreachable || devices.empty()) {
        QMessageBox box(QMessageBox::Information, QStringLiteral("Salvor"),
                        QStringLiteral("Please connect your iOS device to this computer. "
                                       "Or recover the files via scanning your iTunes backup."),
                        QMessageBox::Ok, this);
        if (unreachable) box.setInformativeText(QString::fromStdString(*unreachable));
        box.exec();
        return;
    }
    std::size_t chosen = 0;
    if (devices.size() > 1) {
        QStringList names;
        for (const ConnectedDevice& d : devices)
            names << QStringLiteral("%1 (%2)").arg(QString::fromStdString(textOrEmpty(d.name)),
                                                    QString::fromStdString(d.udid));
        bool ok = false;
        const QString picked = QInputDialog::getItem(this, QStringLiteral("Salvor"),
                                                     QStringLiteral("Which device do you want to recover from?"),
                                                     names, 0, false, &ok);
        if (!ok) return;
        chosen = static_cast<std::size_t>(std::max<qsizetype>(0, names.indexOf(picked)));
    }
    const ConnectedDevice& device = devices[chosen];
    if (!device.paired) {
        QMessageBox box(QMessageBox::Information, QStringLiteral("Salvor"),
                        QStringLiteral("The device cannot be read yet."), QMessageBox::Ok, this);
        box.setInformativeText(QString::fromStdString(device.note));
        box.exec();
        return;
    }
    stack_->setCurrentWidget(browser_);
    browser_->startDeviceScan(QString::fromStdString(device.udid));
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (askBeforeClosing) {
        QMessageBox box(QMessageBox::Question, QStringLiteral("Salvor"), QStringLiteral("Are you sure you want to exit?"),
                        QMessageBox::NoButton, this);
        QPushButton* exitButton = box.addButton(QStringLiteral("Exit"), QMessageBox::AcceptRole);
        box.addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
        box.setDefaultButton(exitButton);
        box.exec();
        if (box.clickedButton() != exitButton) {
            event->ignore();
            return;
        }
    }
    browser_->stopAndWait();
    event->accept();
}

}  // namespace salvor::gui
