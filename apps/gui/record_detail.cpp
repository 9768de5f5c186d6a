#include "record_detail.h"

#include <QImage>
#include <QTextDocument>
#include <QUrl>
#include <type_traits>

#include "core/helpers.h"
#include "record_model.h"

namespace salvor::gui {

namespace {

QString html(const std::string& s) { return QString::fromStdString(s).toHtmlEscaped().replace('\n', "<br>"); }

// One "label: value" row; nothing for an absent or empty value.
void row(QString& out, const char* label, const std::string& value) {
    if (value.empty()) return;
    out += QStringLiteral("<tr><td style='color:gray;padding-right:12px'>%1</td><td>%2</td></tr>")
               .arg(QString::fromLatin1(label), html(value));
}
void row(QString& out, const char* label, const Text& value) { row(out, label, textOrEmpty(value)); }
void rows(QString& out, const char* label, const std::vector<std::string>& values, const Text& joined) {
    if (values.empty()) {
        row(out, label, joined);
        return;
    }
    for (const auto& v : values) row(out, label, v);
}

// A picture, scaled to a card's size and kept with the document.
QString picture(const QImage& image, QTextDocument* document, const QString& name) {
    if (image.isNull() || document == nullptr) return {};
    const QUrl url(QStringLiteral("salvor-image://") + name);
    document->addResource(QTextDocument::ImageResource, url,
                          image.scaled(160, 160, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    return QStringLiteral("<p><img src='%1'></p>").arg(url.toString());
}

// Where a carved record was found, in plain words: "free block of page 12",
// "unused space of page 3", "free page 40", "write-ahead log frame 7, page 2".
QString foundInWords(const std::string& from, std::int64_t page) {
    const QString number = page > 0 ? QString::number(page) : QString();
    if (from == "freeblock") return number.isEmpty() ? QStringLiteral("free block") : QStringLiteral("free block of page %1").arg(number);
    if (from == "unallocated")
        return number.isEmpty() ? QStringLiteral("unused space") : QStringLiteral("unused space of page %1").arg(number);
    if (from == "freelist") return number.isEmpty() ? QStringLiteral("free page") : QStringLiteral("free page %1").arg(number);
    QString where = from == "journal"           ? QStringLiteral("rollback journal")
                    : from == "superseded-page" ? QStringLiteral("older copy of a page the log replaced")
                                                : QString::fromStdString(from);
    if (from.rfind("wal-frame-", 0) == 0)
        where = QStringLiteral("write-ahead log frame %1").arg(QString::fromStdString(from.substr(10)));
    return number.isEmpty() ? where : where + QStringLiteral(", page %1").arg(number);
}

}  // namespace

QString recordDetailHtml(const AnyRecord& record, QTextDocument* document, const PlaceNames& places,
                         const QImage& preview) {
    QString title, body, image, found, earlier;
    // The rows of one record; also used for each earlier version of it.
    const auto describe = [&](const auto& ptr, QString& title, QString& body, QString& image) {
            using T = std::decay_t<decltype(*ptr)>;
            if (!ptr) return;
            const T& r = *ptr;
            if constexpr (std::is_same_v<T, MVContactNode>) {
                title = QString::fromStdString(textOrEmpty(r.contactName));
                if (r.imageData && !r.imageData->empty()) {
                    QImage img;
                    img.loadFromData(r.imageData->data(), static_cast<int>(r.imageData->size()));
                    image = picture(img, document, QStringLiteral("contact"));
                }
                rows(body, "Phone", r.contactPhoneValues, r.contactPhone);
                rows(body, "Email", r.contactEmailValues, r.contactEmail);
                rows(body, "Home page", r.contactHomepageValues, r.contactHomepage);
                row(body, "Company", r.contactCompany);
                row(body, "Job title", r.contactJobtitle);
                row(body, "Birthday", r.contactBirthday);
                row(body, "Address", r.contactAdress);
                row(body, "Note", r.contactNote);
            } else if constexpr (std::is_same_v<T, MVCallHistoryNode>) {
                title = QString::fromStdString(textOrEmpty(r.callName.value_or("").empty() ? r.callPhone : r.callName));
                row(body, "Number", r.callPhone);
                row(body, "Date", displayDate(r.callDate));
                row(body, "Type", r.callType);
                row(body, "Duration", displayCallDuration(r));
            } else if constexpr (std::is_same_v<T, MVNoteNode>) {
                title = QString::fromStdString(textOrEmpty(r.noteTitle));
                row(body, "Date", displayDate(r.noteDate));
                row(body, "Folder", r.noteFolder);
                row(body, "Account", r.noteAccount);
                row(body, "Text", r.noteContent);
            } else if constexpr (std::is_same_v<T, MVBookMarkNode>) {
                title = QString::fromStdString(textOrEmpty(r.bookMarkTitle));
                row(body, "Address", r.bookMarkURL);
            } else if constexpr (std::is_same_v<T, MVCalendarNode>) {
                title = QString::fromStdString(textOrEmpty(r.calTitle));
                row(body, "Starts", displayDate(r.startDate));
                row(body, "Ends", displayDate(r.endDate));
                row(body, "Location", calendarPlace(r, places).toStdString());
                row(body, "Note", r.calNote);
            } else if constexpr (std::is_same_v<T, MVPhotoAndVideoNode>) {
                title = QString::fromStdString(textOrEmpty(r.fileNodeName));
                row(body, "Kind", mediaKind(r).toStdString());
                if (r.bDeleted) row(body, "State", std::string("Recently deleted on the device"));
                row(body, "Taken", r.fileCreateDate ? displayDate(*r.fileCreateDate) : Text());
                row(body, "Size", displaySize(r.fileSizeNumber));
                row(body, "Stored as", r.filePath);
                if (r.livePhotoVideo) row(body, "Live Photo film", r.livePhotoVideo->filePath);
                if (!r.bmov) image = picture(preview, document, "photo");
            } else if constexpr (std::is_same_v<T, MVFaceTwitterNode>) {
                title = QString::fromStdString(textOrEmpty(r.faceTwitterFileName));
                row(body, "Size", std::to_string(r.fileSizeNumber) + " bytes");
                row(body, "Stored as", r.faceTwitterFilePath);
            } else if constexpr (std::is_same_v<T, MVMessageTreeNode>) {
                title = QString::fromStdString(textOrEmpty(r.messageTreeNodeName));
                row(body, "Address", r.messageTreeNodeAdress);
            }
    };
    std::visit(
        [&](const auto& ptr) {
            using T = std::decay_t<decltype(*ptr)>;
            describe(ptr, title, body, image);
            if constexpr (requires(const T& r) { r.earlierVersions; }) {
                if (!ptr) return;
                if (ptr->bDeleted && ptr->carvedFrom)
                    found = QStringLiteral("<p>Found in: %1</p>").arg(foundInWords(*ptr->carvedFrom, ptr->carvedPage).toHtmlEscaped());
                for (const auto& version : ptr->earlierVersions) {
                    QString versionTitle, versionBody, versionImage;
                    describe(version, versionTitle, versionBody, versionImage);
                    if (!versionTitle.isEmpty()) versionBody.prepend(QStringLiteral("<tr><td colspan='2'><b>%1</b></td></tr>").arg(versionTitle.toHtmlEscaped()));
                    earlier += QStringLiteral("<table>") + versionBody + QStringLiteral("</table>");
                }
            }
        },
        record);
    QString out = QStringLiteral("<h3>%1</h3>").arg(title.isEmpty() ? QStringLiteral("(no name)") : title.toHtmlEscaped());
    if (RecordTableModel::isDeleted(record))
        out += QStringLiteral("<p style='color:#d93a2b'><b>Deleted</b> — recovered from the database's free space</p>");
    out += found;
    out += image;
    out += QStringLiteral("<table>") + body + QStringLiteral("</table>");
    if (!earlier.isEmpty()) out += QStringLiteral("<h4>Earlier versions</h4>") + earlier;
    return out;
}

}  // namespace salvor::gui
