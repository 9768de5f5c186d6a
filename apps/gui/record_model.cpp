#include "record_model.h"

#include "core/categories.h"
#include "core/helpers.h"

#include <algorithm>

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

// The sort key a view compares: numbers and sizes as such (sizes unsigned),
// texts folded; a record without a value sorts before every other.
QVariant sortKey(const SortValue& v) {
    switch (v.kind) {
    case SortValue::Kind::Text: return QString::fromStdString(v.text);
    case SortValue::Kind::Bytes: return static_cast<qulonglong>(v.number);
    case SortValue::Kind::Number:
    case SortValue::Kind::Moment: return static_cast<qlonglong>(v.number);
    case SortValue::Kind::None: break;
    }
    return std::numeric_limits<qlonglong>::min();
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

RecordTableModel::~RecordTableModel() {
    if (store_) store_->removeObserver(this);
}

void RecordTableModel::follow(ResultStore* store, Category category, Filter filter, bool checkable) {
    if (store_ != store) {
        if (store_) store_->removeObserver(this);
        if (store) store->addObserver(this);
    }
    store_ = store;
    filter_ = std::move(filter);
    inserting_ = false;
    std::vector<AnyRecord> rows = store ? store->records(category) : std::vector<AnyRecord>{};
    if (filter_) std::erase_if(rows, [this](const AnyRecord& r) { return !filter_(r); });
    setRecords(category, std::move(rows), checkable);
}

void RecordTableModel::recordsAboutToBeAdded(Category category, std::size_t first, std::size_t count) {
    // Unfiltered, the model's rows are the store's: the new rows take the same places.
    if (category != category_ || filter_ || count == 0 || first != records_.size()) return;
    beginInsertRows({}, static_cast<int>(first), static_cast<int>(first + count - 1));
    inserting_ = true;
}

void RecordTableModel::recordsAdded(Category category, std::size_t first, std::size_t count) {
    if (category != category_ || !store_) return;
    std::vector<AnyRecord> added = store_->records(category, first);
    if (added.size() > count) added.resize(count);
    if (inserting_) {
        records_.insert(records_.end(), added.begin(), added.end());
        inserting_ = false;
        endInsertRows();
        return;
    }
    // Filtered: only the records that pass are inserted, all at once.
    if (filter_) std::erase_if(added, [this](const AnyRecord& r) { return !filter_(r); });
    appendRecords(std::move(added));
}

void RecordTableModel::recordChanged(Category category, std::size_t index) {
    if (category != category_ || !store_ || index >= store_->recordCount(category)) return;
    refreshRecord(store_->record(category, index), index);
}

void RecordTableModel::aboutToClear() { beginResetModel(); }

void RecordTableModel::cleared() {
    records_.clear();
    endResetModel();
}

QStringList RecordTableModel::headers(Category category) {
    const CategoryInfo& info = categoryInfo(category);
    if (info.columns.empty()) return {};
    QStringList out{QString()};
    for (const Column& c : info.columns) out << QString::fromUtf8(c.title);
    if (info.hasDeleted) out << QStringLiteral("State");
    return out;
}

bool RecordTableModel::isDeleted(const AnyRecord& record) { return isDeletedRecord(record); }

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

void RecordTableModel::refreshRecord(const AnyRecord& record, std::size_t hint) {
    std::size_t row = hint;
    if (row >= records_.size() || records_[row] != record) {
        const auto it = std::find(records_.begin(), records_.end(), record);
        if (it == records_.end()) return;
        row = static_cast<std::size_t>(it - records_.begin());
    }
    const int r = static_cast<int>(row);
    emit dataChanged(index(r, 0), index(r, columnCount() - 1));
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
    const auto& columns = categoryInfo(category_).columns;
    const Column* c = column - 1 < static_cast<int>(columns.size()) ? &columns[static_cast<std::size_t>(column - 1)] : nullptr;
    // The calendar of iOS 6 and 7 names a place by its row number: the cell shows the place's name.
    const bool place = category_ == Category::Calendar && c && std::string_view(c->title) == "Location";
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        if (stateColumn) return deleted ? QStringLiteral("Deleted") : QString();
        if (place) return calendarPlace(*std::get<CalendarPtr>(record), places_);
        return c ? QString::fromStdString(c->text(record)) : QString();
    case SortRole:
        if (stateColumn) return deleted ? 1 : 0;
        if (place) return calendarPlace(*std::get<CalendarPtr>(record), places_).toCaseFolded();
        return c ? sortKey(c->value(record)) : QVariant();
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
