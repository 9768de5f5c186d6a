#include "main_window.h"

#include <QCloseEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QStackedWidget>

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
    QMessageBox box(QMessageBox::Information, QStringLiteral("Salvor"),
                    QStringLiteral("Please connect your iOS device to this computer. "
                                   "Or recover the files via scanning your iTunes backup."),
                    QMessageBox::Ok, this);
    box.exec();
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
