// The Recover dialog: the formats it offers, that it never starts a run
// without one, and that the choice comes back in the next dialog.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>

#include "recover_dialog.h"

namespace salvor::gui {
namespace {

// Settings of this test's own, removed afterwards, so a developer's choice
// neither leaks in nor is overwritten.
class RememberedChoice : public ::testing::Test {
protected:
    void SetUp() override {
        organization_ = QCoreApplication::organizationName();
        QCoreApplication::setOrganizationName(QStringLiteral("salvor-test-%1").arg(QCoreApplication::applicationPid()));
        QSettings().clear();
    }
    void TearDown() override {
        const QString file = QSettings().fileName();
        QSettings().clear();
        QFile::remove(file);
        QCoreApplication::setOrganizationName(organization_);
    }
    static QCheckBox* box(RecoverDialog& d, const char* name) { return d.findChild<QCheckBox*>(QString::fromLatin1(name)); }
    static QPushButton* ok(RecoverDialog& d) {
        return d.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok);
    }

private:
    QString organization_;
};

TEST_F(RememberedChoice, ClassicAloneAtFirstThenWhatWasLastChosen) {
    {
        RecoverDialog first(QStringLiteral("/tmp/out"));
        EXPECT_EQ(first.formats(), ExportFormats{});
        EXPECT_EQ(first.destination(), QStringLiteral("/tmp/out"));
        EXPECT_FALSE(first.exports().conversationDocument);
        box(first, "formatCsv")->setChecked(true);
        box(first, "formatPdf")->setChecked(true);
        box(first, "formatClassic")->setChecked(false);
        EXPECT_TRUE(first.exports().conversationDocument);
        first.accept();
        EXPECT_EQ(first.result(), QDialog::Accepted);
    }
    RecoverDialog second(QStringLiteral("/tmp/out"));
    EXPECT_EQ(second.formats(), (ExportFormats{false, false, true, true, false}));
    EXPECT_TRUE(box(second, "formatPdf")->isChecked());
    EXPECT_FALSE(box(second, "formatClassic")->isChecked());
}

TEST_F(RememberedChoice, NoFormatOrNoFolderCannotBeAccepted) {
    RecoverDialog d(QStringLiteral("/tmp/out"));
    box(d, "formatClassic")->setChecked(false);
    EXPECT_FALSE(ok(d)->isEnabled());
    d.accept();
    EXPECT_NE(d.result(), QDialog::Accepted);
    // A refused choice is not remembered.
    EXPECT_EQ(RecoverDialog::rememberedFormats(), ExportFormats{});
    box(d, "formatHtml")->setChecked(true);
    EXPECT_TRUE(ok(d)->isEnabled());
    d.findChild<QLineEdit*>(QStringLiteral("recoverDestination"))->setText(QStringLiteral("  "));
    EXPECT_FALSE(ok(d)->isEnabled());
}

TEST_F(RememberedChoice, AnUnreadableRememberedChoiceFallsBackToClassic) {
    QSettings().setValue(QStringLiteral("recover/formats"), QStringLiteral("xlsx,classic"));
    EXPECT_EQ(RecoverDialog::rememberedFormats(), ExportFormats{});
    QSettings().setValue(QStringLiteral("recover/formats"), QStringLiteral("ics,html"));
    EXPECT_EQ(RecoverDialog::rememberedFormats(), (ExportFormats{false, true, false, false, true}));
}

}  // namespace
}  // namespace salvor::gui
