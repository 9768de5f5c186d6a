// The Recover dialog: where to write the recovery and which documents to
// make. The choice of documents is remembered between runs.
#pragma once

#include <QDialog>
#include <QString>

#include "output/export_options.h"

class QCheckBox;
class QLineEdit;
class QPushButton;

namespace salvor::gui {

class RecoverDialog : public QDialog {
    Q_OBJECT
public:
    // `proposed`: the destination offered at first.
    RecoverDialog(const QString& proposed, QWidget* parent = nullptr);

    QString destination() const;
    ExportFormats formats() const;
    // The chosen formats with the printable writer set when PDF is chosen.
    ExportOptions exports() const;

    // The formats remembered from the last run (the classic files only at first).
    static ExportFormats rememberedFormats();
    static void rememberFormats(const ExportFormats& formats);

    void accept() override;

private:
    void updateOk();

    QLineEdit* destination_ = nullptr;
    QCheckBox* classic_ = nullptr;
    QCheckBox* ics_ = nullptr;
    QCheckBox* csv_ = nullptr;
    QCheckBox* pdf_ = nullptr;
    QCheckBox* html_ = nullptr;
    QPushButton* ok_ = nullptr;
};

}  // namespace salvor::gui
