#include "record_model.h"

#include "core/helpers.h"

#include <QBrush>
#include <QColor>
#include <QFont>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <type_traits>

namespace salvor::gui {

QString mediaKind(const MVPhotoAndVideoNode& node) {
    if (!node.bmov) return QStringLiteral("Photo");
    const std::string name = textOrEmpty(node.fileNodeName);
    const auto dot = name.rfind('.');
    const std::string ext = dot == std::string::npos ? std::string() : name.substr(dot + 1);
    return GetAudioType(ext.c_str()) >= 0 ? QStringLiteral("Audio") : QStringLiteral("Video");
}

QString calendarPlace(const MVCalendarNode& event, const PlaceNames& places) {
    const std::string& text = textOrEmpty(event.location);
    if (!places.empty() && !text.empty() && text.find_first_not_of("0123456789") == std::string::npos) {
        const auto it = places.find(std::to_string(std::strtoll(text.c_str(), nullptr, 10)));
        if (it != places.end()) return QString::fromStdString(it->second);
    }
    return QString::fromStdString(text);
}

namespace {

// Joined record fields start with the separator (" Smith" for a person with
// no first name, " 555-0100" for a first number); a cell shows the text alone.
QString q(const Text& t) { return QString::fromStdString(textOrEmpty(t)).trimmed(); }

QString sizeText(std::uint64_t bytes) {
    if (bytes < 1024) return QStringLiteral("%1 B").arg(bytes);
    if (bytes < 1024 * 1024) return QStringLiteral("%1 KB").arg(bytes / 1024.0, 0, 'f', 1);
    return QStringLiteral("%1 MB").arg(bytes / (1024.0 * 1024.0), 0, 'f', 1);
}

// One cell's text and its sort key; column 0 (the check box) has neither.
struct Cell {
    QString text;
    QVariant key;
};

Cell textCell(const QString& s) { return {s, s.toCaseFolded()}; }

// Dates are shown as the store keeps them ("MM-DD-YYYY HH:MM"), which does not
// sort as text: the key is the moment itself; a text that is not such a date
// sorts before every date.
Cell dateCell(const Text& date) {
    int month = 0, day = 0, year = 0, hour = 0, minute = 0;
    qlonglong key = std::numeric_limits<qlonglong>::min();
    if (date && std::sscanf(date->c_str(), "%d-%d-%d %d:%d", &month, &day, &year, &hour, &minute) == 5 &&
        month >= 1 && month <= 12 && day >= 1 && day <= 31 && year >= 0 && year <= 99999 && hour >= 0 &&
        hour <= 23 && minute >= 0 && minute <= 59)
        key = ((((static_cast<qlonglong>(year) * 13 + month) * 32 + day) * 24 + hour) * 60) + minute;
    return {q(date), key};
}

Cell cellOf(const AnyRecord& record, int column, const PlaceNames& places) {
    return std::visit(
        [column, &places](const auto& ptr) -> Cell {
            using T = std::decay_t<decltype(*ptr)>;
            if (!ptr) return {};
            const T& r = *ptr;
            if constexpr (std::is_same_v<T, MVContactNode>) {
                switch (column) {
                case 1: return textCell(q(r.contactName));
                case 2: return textCell(q(r.contactPhone));
                case 3: return textCell(q(r.contactEmail));
                case 4: return textCell(q(r.contactCompany));
                case 5: return textCell(q(r.contactBirthday));
                }
            } else if constexpr (std::is_same_v<T, MVMessageTreeNode>) {
                switch (column) {
                case 1: return textCell(q(r.messageTreeNodeName));
                case 2: return textCell(q(r.messageTreeNodeAdress));
                case 3: {
                    const auto n = static_cast<qlonglong>(r.MessageNodeArray.size());
                    return {QString::number(n), n};
                }
                }
            } else if constexpr (std::is_same_v<T, MVCallHistoryNode>) {
                switch (column) {
                case 1: return textCell(q(r.callName));
                case 2: return textCell(q(r.callPhone));
                case 3: return dateCell(displayDate(r.callDate));
                case 4: return textCell(q(r.callType));
                case 5: return {q(displayCallDuration(r)), static_cast<qlonglong>(r.callTime)};
                }
            } else if constexpr (std::is_same_v<T, MVNoteNode>) {
                switch (column) {
                case 1: return textCell(q(r.noteTitle));
                case 2: return dateCell(displayDate(r.noteDate));
                case 3: return textCell(q(r.noteContent).simplified().left(200));
                }
            } else if constexpr (std::is_same_v<T, MVBookMarkNode>) {
                switch (column) {
                case 1: return textCell(q(r.bookMarkTitle));
                case 2: return textCell(q(r.bookMarkURL));
                }
            } else if constexpr (std::is_same_v<T, MVCalendarNode>) {
                switch (column) {
                case 1: return textCell(q(r.calTitle));
                case 2: return textCell(calendarPlace(r, places));
                case 3: return dateCell(displayDate(r.startDate));
                case 4: return dateCell(displayDate(r.endDate));
                case 5: return textCell(q(r.calNote).simplified().left(200));
                }
            } else if constexpr (std::is_same_v<T, MVPhotoAndVideoNode>) {
                switch (column) {
                case 1: return textCell(q(r.fileNodeName));
                case 2: {
                    const std::string size = displaySize(r.fileSizeNumber);
                    return {q(size), static_cast<qulonglong>(MVResultViewController::sizeFormString(size))};
                }
                case 3: return textCell(mediaKind(r));
                case 4: return textCell(q(r.filePath));
                }
            } else if constexpr (std::is_same_v<T, MVFaceTwitterNode>) {
                switch (column) {
                case 1: return textCell(q(r.faceTwitterFileName));
                case 2: return {sizeText(r.fileSizeNumber), static_cast<qulonglong>(r.fileSizeNumber)};
                case 3: return textCell(q(r.faceTwitterFilePath));
                }
            }
            return {};
        },
        record);
}

Flag* selectionFlagOf(const AnyRecord& record) {
    return std::visit(
        [](const auto& ptr) -> Flag* {
            if (!ptr) return nullptr;
            return &ptr->bSelected;
        },
        record);
}

}  // namespace

RecordTableModel::RecordTableModel(QObject* parent) : QAbstractTableModel(parent) {}

QStringList RecordTableModel::headers(Category category) {
    switch (category) {
    case Category::Contact: return {"", "Name", "Phone", "Email", "Company", "Birthday", "State"};
    case Category::Message: return {"", "Name", "Address", "Messages", "State"};
    case Category::CallHistory: return {"", "Name", "Number", "Date", "Type", "Duration", "State"};
    case Category::Note: return {"", "Title", "Date", "Content", "State"};
    case Category::BookMark: return {"", "Title", "URL", "State"};
    case Category::Calendar: return {"", "Title", "Location", "Start", "End", "Note", "State"};
    case Category::PhotoAndVideo: return {"", "Name", "Size", "Kind", "Path"};
    case Category::FaceTwitter: return {"", "Name", "Size", "Path"};
    case Category::BackupTree: break;
    }
    return {};
}

bool RecordTableModel::isDeleted(const AnyRecord& record) {
    return std::visit(
        [](const auto& ptr) -> bool {
            using T = std::decay_t<decltype(*ptr)>;
            if (!ptr) return false;
            if constexpr (std::is_same_v<T, MVMessageTreeNode>) return ptr->bdeleted != 0;
            else if constexpr (requires { ptr->bDeleted; }) return ptr->bDeleted != 0;
            else return false;
        },
        record);
}

bool RecordTableModel::isSelected(const AnyRecord& record) {
    const Flag* f = selectionFlagOf(record);
    return f != nullptr && *f != 0;
}

void RecordTableModel::setRecords(Category category, std::vector<AnyRecord> records, bool checkable) {
    beginResetModel();
    category_ = category;
    records_ = std::move(records);
    checkable_ = checkable;
    endResetModel();
}

void RecordTableModel::appendRecords(std::vector<AnyRecord> records) {
    if (records.empty()) return;
    const int first = static_cast<int>(records_.size());
    beginInsertRows({}, first, first + static_cast<int>(records.size()) - 1);
    records_.insert(records_.end(), std::make_move_iterator(records.begin()), std::make_move_iterator(records.end()));
    endInsertRows();
}

void RecordTableModel::setPlaceNames(PlaceNames places) {
    beginResetModel();
    places_ = std::move(places);
    endResetModel();
}

void RecordTableModel::refreshChecks() {
    if (records_.empty()) return;
    emit dataChanged(index(0, 0), index(static_cast<int>(records_.size()) - 1, 0), {Qt::CheckStateRole});
}

int RecordTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(records_.size());
}

int RecordTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(headers(category_).size());
}

QVariant RecordTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= static_cast<int>(records_.size())) return {};
    const AnyRecord& record = records_[static_cast<std::size_t>(index.row())];
    const int column = index.column();
    const bool deleted = isDeleted(record);
    const bool stateColumn = headers(category_).value(column) == QLatin1String("State");
    if (column == 0) {
        if (role == Qt::CheckStateRole) return isSelected(record) ? Qt::Checked : Qt::Unchecked;
        if (role == SortRole) return isSelected(record) ? 1 : 0;
        return {};
    }
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        if (stateColumn) return deleted ? QStringLiteral("Deleted") : QString();
        return cellOf(record, column, places_).text;
    case SortRole:
        if (stateColumn) return deleted ? 1 : 0;
        return cellOf(record, column, places_).key;
    case Qt::ForegroundRole:
        // Deleted records stand out in red in every palette (light or dark).
        if (deleted) return QBrush(QColor(0xd9, 0x3a, 0x2b));
        return {};
    case Qt::FontRole:
        if (deleted) {
            QFont f;
            f.setItalic(true);
            return f;
        }
        return {};
    }
    return {};
}

QVariant RecordTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    return headers(category_).value(section);
}

Qt::ItemFlags RecordTableModel::flags(const QModelIndex& index) const {
    Qt::ItemFlags f = QAbstractTableModel::flags(index);
    if (index.column() == 0 && checkable_) f |= Qt::ItemIsUserCheckable;
    return f;
}

bool RecordTableModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (!index.isValid() || index.column() != 0 || role != Qt::CheckStateRole || !checkable_) return false;
    const bool checked = value.toInt() == Qt::Checked;
    if (onToggle) onToggle(index.row(), checked);
    emit dataChanged(index, index, {Qt::CheckStateRole});
    return true;
}

}  // namespace salvor::gui
