// What the person ticks: records of the lists (a conversation stands for its
// messages), every row on show at once, and the three-state selection of the
// backup's file tree. A service over the result store, on the store's thread;
// the counts are read from the records' own flags, never kept beside them.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "core/categories.h"
#include "core/tree_nodes.h"

namespace salvor {

class ResultStore;

class Selection {
public:
    explicit Selection(ResultStore& store) : store_(store) {}

    // Ticks or unticks records (one row, or every row a list shows).
    void setSelected(const AnyRecord& record, bool value);
    void setSelected(const std::vector<AnyRecord>& records, bool value);
    // Ticks every record of a category, or only its deleted ones.
    void selectCategory(Category category, bool value, bool deletedOnly = false);
    // A folder of the backup tree: a partly or un-ticked one becomes ticked
    // with everything below it, a ticked one unticked.
    void toggleFolder(MVTreeDirNode& folder);
    void setFileSelected(MVTreeFileNode& file, bool value);
    // Ticks a file or folder of the backup tree named by its domain path
    // ("HomeDomain/Library/SMS"); false when nothing matches.
    bool selectTreePath(const std::string& domainPath);

    // Ticked records of the lists (conversations count once each).
    std::int32_t selectedRecordCount() const;
    // Ticked files of the backup tree.
    std::int32_t selectedFileCount() const;
    std::int32_t selectedCount() const { return selectedRecordCount() + selectedFileCount(); }

    // Told after every change, with the new selected count.
    std::function<void(std::int32_t)> onChanged;

private:
    void changed();
    ResultStore& store_;
};

// "You select N files in the recovery results.", or empty for none.
std::string selectionSentence(std::int32_t selected);

}  // namespace salvor
