// The table model of one category: the rows the window shows of it (all of
// the store's, or those a filter lets through), taken from the store as it
// announces them (never a widget per row). Cells come from the category table. The first column is the
// check box; ticking goes back to the store through a callback.
#pragma once

#include <QAbstractTableModel>
#include <QStringList>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "core/categories.h"
#include "engine/result_store.h"

namespace salvor::gui {

// "Photo", "Video" or "Audio": the store flags sound files as films, and a
// person reading the list tells them apart by their extension.
QString mediaKind(const MVPhotoAndVideoNode& node);

// Place names by the row number of the calendar's Location table: the
// calendar records of iOS 6 and 7 backups name their place by that number.
using PlaceNames = std::map<std::string, std::string>;
// The place a calendar record names, as a person reads it: the name behind a
// row number when `places` has one, the record's own text otherwise.
QString calendarPlace(const MVCalendarNode& event, const PlaceNames& places);

class RecordTableModel : public QAbstractTableModel, public ResultStoreObserver {
    Q_OBJECT
public:
    // The key a column sorts by (numbers for sizes and counts, texts otherwise).
    static constexpr int SortRole = Qt::UserRole + 1;

    explicit RecordTableModel(QObject* parent = nullptr);
    ~RecordTableModel() override;

    // Shows the rows of `category` that `filter` lets through (all when it
    // is empty) and follows the store from now on: rows are inserted as the
    // store announces them, between beginInsertRows and endInsertRows, and a
    // changed record is repainted. A null store shows nothing and follows none.
    using Filter = std::function<bool(const AnyRecord&)>;
    void follow(ResultStore* store, Category category, Filter filter = {}, bool checkable = false);

    // Replaces the rows; `checkable` is false while a scan still fills the lists.
    void setRecords(Category category, std::vector<AnyRecord> records, bool checkable);
    // Appends rows (a scan's new records) without resetting the view.
    void appendRecords(std::vector<AnyRecord> records);
    Category category() const { return category_; }
    bool checkable() const { return checkable_; }
    const std::vector<AnyRecord>& records() const { return records_; }
    // The check boxes changed in the store (select-all): repaint them.
    void refreshChecks();
    // A shown record changed in place (a message joined the conversation).
    void refreshRecord(const AnyRecord& record, std::size_t hint);
    // The place names calendar rows show (an iOS 6 or 7 backup's).
    void setPlaceNames(PlaceNames places);
    const PlaceNames& placeNames() const { return places_; }
    // Called when the user ticks or unticks a row.
    std::function<void(int row, bool value)> onToggle;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;

    static QStringList headers(Category category);
    static bool isDeleted(const AnyRecord& record);
    static bool isSelected(const AnyRecord& record);

private:
    void recordsAboutToBeAdded(Category category, std::size_t first, std::size_t count) override;
    void recordsAdded(Category category, std::size_t first, std::size_t count) override;
    void recordChanged(Category category, std::size_t index) override;
    void aboutToClear() override;
    void cleared() override;

    ResultStore* store_ = nullptr;
    Filter filter_;
    bool inserting_ = false;  // between an unfiltered beginInsertRows and its end
    Category category_ = Category::Contact;
    std::vector<AnyRecord> records_;
    bool checkable_ = false;
    PlaceNames places_;
};

}  // namespace salvor::gui
