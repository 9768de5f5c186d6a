#include "recover_dialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QVBoxLayout>

#include "conversation_pdf.h"

namespace salvor::gui {

namespace {
const QString kFormatsKey = QStringLiteral("recover/formats");
}

RecoverDialog::RecoverDialog(const QString& proposed, QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Recover"));
    auto* layout = new QVBoxLayout(this);

    layout->addWidget(new QLabel(QStringLiteral("Recover into a new folder:"), this));
    auto* where = new QHBoxLayout;
    destination_ = new QLineEdit(proposed, this);
    destination_->setObjectName(QStringLiteral("recoverDestination"));
    destination_->setMinimumWidth(380);
    auto* browse = new QPushButton(QStringLiteral("Choose…"), this);
    where->addWidget(destination_, 1);
    where->addWidget(browse);
    layout->addLayout(where);
    connect(browse, &QPushButton::clicked, this, [this] {
        const QString chosen = QFileDialog::getSaveFileName(this, QStringLiteral("Recover into a new folder"),
                                                            destination_->text());
        if (!chosen.isEmpty()) destination_->setText(chosen);
    });

    auto* group = new QGroupBox(QStringLiteral("Documents to write"), this);
    auto* boxes = new QVBoxLayout(group);
    auto box = [&](const QString& name, const QString& text) {
        auto* b = new QCheckBox(text, group);
        b->setObjectName(name);
        boxes->addWidget(b);
        connect(b, &QCheckBox::toggled, this, &RecoverDialog::updateOk);
        return b;
    };
    classic_ = box(QStringLiteral("formatClassic"), QStringLiteral("Lists, contact cards, conversation pages and file copies"));
    ics_ = box(QStringLiteral("formatIcs"), QStringLiteral("Calendar file for calendar programs (.ics)"));
    csv_ = box(QStringLiteral("formatCsv"), QStringLiteral("Spreadsheets, one per category (.csv)"));
    pdf_ = box(QStringLiteral("formatPdf"), QStringLiteral("Printable conversations (.pdf)"));
    html_ = box(QStringLiteral("formatHtml"), QStringLiteral("An index page that opens the whole recovery (index.html)"));
    layout->addWidget(group);

    const ExportFormats remembered = rememberedFormats();
    classic_->setChecked(remembered.classic);
    ics_->setChecked(remembered.ics);
    csv_->setChecked(remembered.csv);
    pdf_->setChecked(remembered.pdf);
    html_->setChecked(remembered.html);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    ok_ = buttons->button(QDialogButtonBox::Ok);
    ok_->setText(QStringLiteral("Recover"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(destination_, &QLineEdit::textChanged, this, &RecoverDialog::updateOk);
    layout->addWidget(buttons);
    updateOk();
}

QString RecoverDialog::destination() const { return destination_->text().trimmed(); }

ExportFormats RecoverDialog::formats() const {
    ExportFormats f;
    f.classic = classic_->isChecked();
    f.ics = ics_->isChecked();
    f.csv = csv_->isChecked();
    f.pdf = pdf_->isChecked();
    f.html = html_->isChecked();
    return f;
}

ExportOptions RecoverDialog::exports() const {
    ExportOptions options;
    options.formats = formats();
    if (options.formats.pdf) options.conversationDocument = pdf::conversationPdfWriter();
    return options;
}

ExportFormats RecoverDialog::rememberedFormats() {
    const QString text = QSettings().value(kFormatsKey).toString();
    std::string why;
    const auto parsed = parseExportFormats(text.toStdString(), why);
    return parsed && parsed->any() ? *parsed : ExportFormats{};
}

void RecoverDialog::rememberFormats(const ExportFormats& formats) {
    QSettings().setValue(kFormatsKey, QString::fromStdString(exportFormatsText(formats)));
}

void RecoverDialog::accept() {
    if (!formats().any() || destination().isEmpty()) return;
    rememberFormats(formats());
    QDialog::accept();
}

void RecoverDialog::updateOk() {
    if (ok_) ok_->setEnabled(formats().any() && !destination().isEmpty());  // not yet made while the boxes are set up
}

}  // namespace salvor::gui
