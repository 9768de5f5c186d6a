// Searching and sorting the displayed list, and the size-text parser used
// by the size order.
#include <algorithm>
#include <cctype>
#include <charconv>
#include <climits>
#include <cstdio>
#include <limits>

#include "core/helpers.h"
#include "engine/app_delegate.h"
#include "engine/result_store.h"

namespace salvor {

namespace {

unsigned char lower(char c) { return static_cast<unsigned char>(std::tolower(static_cast<unsigned char>(c))); }

// The two fields a search looks at, per category; false for categories that are not searched.
bool searchMatches(const AnyRecord& record, const std::string& needle) {
    auto either = [&needle](const Text& a, const Text& b) {
        return MVResultViewController::containsText(textOrEmpty(a), needle) ||
               MVResultViewController::containsText(textOrEmpty(b), needle);
    };
    return std::visit(
        [&](const auto& ptr) -> bool {
            using T = std::decay_t<decltype(*ptr)>;
            if constexpr (std::is_same_v<T, MVMessageTreeNode>) {
                return either(ptr->messageTreeNodeName, ptr->messageTreeNodeAdress);
            } else if constexpr (std::is_same_v<T, MVContactNode>) {
                return either(ptr->contactName, ptr->contactPhone);
            } else if constexpr (std::is_same_v<T, MVNoteNode>) {
                return either(ptr->noteTitle, ptr->noteContent);
            } else if constexpr (std::is_same_v<T, MVCallHistoryNode>) {
                return either(ptr->callName, ptr->callPhone);
            } else if constexpr (std::is_same_v<T, MVCalendarNode>) {
                return either(ptr->calTitle, ptr->calNote);
            } else {
                return false;
            }
        },
        record);
}

bool isSearched(Category category) {
    switch (category) {
        case Category::Message:
        case Category::Contact:
        case Category::Note:
        case Category::CallHistory:
        case Category::Calendar: return true;
        default: return false;
    }
}

// The leading number of a text as atoi reads it, clamped to int instead of overflowing.
int leadingNumber(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) break;
    }
    if (negative) value = -value;
    return static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

// Photo names are running numbers ("00000007.JPG"): order by that number.
int photoNameKey(const MVPhotoAndVideoNode& photo) {
    const std::string& name = textOrEmpty(photo.fileNodeName);
    const std::size_t dot = name.rfind('.');
    return leadingNumber(dot == std::string::npos ? name : name.substr(0, dot));
}

template <class Ptr, class Key>
void sortRecords(std::vector<AnyRecord>& list, bool ascending, Key key) {
    auto keyOf = [&key](const AnyRecord& record) {
        const Ptr* p = std::get_if<Ptr>(&record);
        using K = decltype(key(**p));
        return (p != nullptr && *p) ? std::optional<K>(key(**p)) : std::optional<K>();
    };
    std::stable_sort(list.begin(), list.end(), [&](const AnyRecord& a, const AnyRecord& b) {
        return ascending ? keyOf(a) < keyOf(b) : keyOf(b) < keyOf(a);
    });
}

}  // namespace

bool MVResultViewController::containsText(const std::string& haystack, const std::string& needle) {
    if (needle.empty() || needle.size() > haystack.size()) return false;
    auto it = std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end(),
                          [](char a, char b) { return lower(a) == lower(b); });
    return it != haystack.end();
}

// Texts that are not dates sort first.
long long MVResultViewController::dateKey(const Text& date) {
    int month = 0, day = 0, year = 0, hour = 0, minute = 0;
    if (!date || std::sscanf(date->c_str(), "%d-%d-%d %d:%d", &month, &day, &year, &hour, &minute) != 5) {
        return std::numeric_limits<long long>::min();
    }
    if (month < 1 || month > 12 || day < 1 || day > 31 || year < 0 || year > 99999 || hour < 0 || hour > 23 ||
        minute < 0 || minute > 59) {
        return std::numeric_limits<long long>::min();
    }
    return ((((static_cast<long long>(year) * 13 + month) * 32 + day) * 24 + hour) * 60) + minute;
}

bool MVResultViewController::addressMatches(const std::string& conversationAddress, const std::string& messageAddress) {
    if (conversationAddress.size() > messageAddress.size()) return containsText(conversationAddress, messageAddress);
    return conversationAddress == messageAddress || containsText(messageAddress, conversationAddress);
}

void MVResultViewController::supersedeSearchLocked() {
    ++searchGeneration_;
    if (bSearchThreadStart) bSearchStop = true;
}

void MVResultViewController::controlTextDidChange(const std::string& text) {
    std::lock_guard<std::mutex> starting(searchMutex_);
    std::uint64_t generation = 0;
    std::vector<AnyRecord> records;
    {
        std::lock_guard<std::mutex> view(viewMutex_);
        supersedeSearchLocked();
        if (text.empty()) {
            refillDisplayedListLocked();
            const std::size_t rows = displayedList.size();
            announce([this, rows](ResultStoreObserver& o) { o.displayedListChanged(currentCategory, rows); });
            return;
        }
        generation = searchGeneration_;
        if (isSearched(currentCategory)) {
            std::lock_guard<std::mutex> lock(listMutex_);
            records = categoryRecordsLocked(currentCategory);
        }
    }
    // Each search thread first waits for its predecessor, so at most one
    // search body runs at a time; the main thread never waits for a search.
    std::thread previous = std::move(searchThread_);
    searchThread_ = std::thread(
        [this, generation, text, records = std::move(records), previous = std::move(previous)]() mutable {
            if (previous.joinable()) previous.join();
            runSearch(generation, std::move(text), std::move(records));
        });
}

void MVResultViewController::runSearch(std::uint64_t generation, std::string text, std::vector<AnyRecord> records) {
    auto current = [this, generation] { return searchGeneration_.load() == generation; };
    if (!current()) return;
    bSearchThreadStart = true;
    app_.dispatcher.runSync([this, &current] {
        std::lock_guard<std::mutex> view(viewMutex_);
        if (current()) searchArray.clear();
    });
    std::vector<AnyRecord> found;
    bool superseded = false;
    for (const AnyRecord& record : records) {
        if (!current()) {
            superseded = true;
            break;
        }
        if (searchMatches(record, text)) found.push_back(record);
    }
    if (!superseded && current()) {
        app_.dispatcher.runSync([this, &current, &found] {
            std::size_t rows = 0;
            {
                std::lock_guard<std::mutex> view(viewMutex_);
                // Checked under the view lock: a newer search or category change wins.
                if (!current()) return;
                searchArray = std::move(found);
                displayedList = searchArray;
                if (displayedList.empty()) {
                    selectedRow.reset();
                } else {
                    selectedRow = 0;
                }
                rows = displayedList.size();
            }
            announce([rows](ResultStoreObserver& o) { o.searchResultsPublished(rows); });
        });
    }
    bSearchStop = false;
    bSearchThreadStart = false;
}

void MVResultViewController::waitForSearch() {
    std::thread last;
    {
        std::lock_guard<std::mutex> starting(searchMutex_);
        last = std::move(searchThread_);
    }
    // The last thread joined every earlier one before it ran.
    if (last.joinable()) last.join();
}

void MVResultViewController::tableViewDidClickTableColumn(const std::string& columnIdentifier) {
    if (columnIdentifier == "bSelected") return;
    std::size_t rows = 0;
    {
        std::lock_guard<std::mutex> view(viewMutex_);
        if (!sortByColumnLocked(columnIdentifier)) return;
        rows = displayedList.size();
    }
    announce([this, rows](ResultStoreObserver& o) { o.displayedListChanged(currentCategory, rows); });
}

bool MVResultViewController::sortByColumnLocked(const std::string& columnIdentifier) {
    switch (currentCategory) {
        case Category::PhotoAndVideo:
            if (columnIdentifier == "Name") {
                nameOrder ^= 1;
                sortRecords<PhotoPtr>(displayedList, nameOrder == 1,
                                      [](const MVPhotoAndVideoNode& p) { return photoNameKey(p); });
            } else if (columnIdentifier == "Size") {
                sizeOrder ^= 1;
                sortRecords<PhotoPtr>(displayedList, sizeOrder == 1, [](const MVPhotoAndVideoNode& p) {
                    return sizeFormString(displaySize(p.fileSizeNumber));
                });
            } else {
                return false;
            }
            break;
        case Category::Contact:
            nameOrder ^= 1;
            sortRecords<ContactPtr>(displayedList, nameOrder == 1,
                                    [](const MVContactNode& c) { return textOrEmpty(c.contactName); });
            break;
        case Category::Message: {
            // The message table lists the flat messages, ordered by contact name.
            nameOrder ^= 1;
            const bool ascending = nameOrder == 1;
            std::lock_guard<std::mutex> lock(listMutex_);
            std::stable_sort(messageArray.begin(), messageArray.end(), [ascending](const MessagePtr& a, const MessagePtr& b) {
                const std::string& x = textOrEmpty(a->messageName);
                const std::string& y = textOrEmpty(b->messageName);
                return ascending ? x < y : y < x;
            });
            break;
        }
        case Category::CallHistory:
            if (columnIdentifier == "Name") {
                nameOrder ^= 1;
                sortRecords<CallPtr>(displayedList, nameOrder == 1,
                                     [](const MVCallHistoryNode& c) { return textOrEmpty(c.callName); });
            } else {
                dateOrder ^= 1;
                sortRecords<CallPtr>(displayedList, dateOrder == 1,
                                     [](const MVCallHistoryNode& c) { return MVResultViewController::dateKey(displayDate(c.callDate)); });
            }
            break;
        default: return false;
    }
    if (displayedList.empty()) {
        selectedRow.reset();
    } else {
        selectedRow = 0;
    }
    return true;
}

std::uint64_t MVResultViewController::sizeFormString(const std::string& text) {
    if (text.empty()) return 0;
    const char unit = text.back();
    double v = 0.0;
    const char* first = text.data();
    const char* last = text.data() + text.size() - 1;
    if (first != last && *first == '+') ++first;  // from_chars does not take a leading plus
    if (std::from_chars(first, last, v).ec != std::errc()) v = 0.0;
    switch (unit) {
        case 'B': break;
        case 'K': v = v * 1000; break;
        case 'M': v = v * 1000 * 1000; break;
        case 'G': v = v * 1000 * 1000 * 1000; break;
        default: v = v * 1000 * 1000 * 1000 * 1000; break;
    }
    // Out-of-range values would make the conversion undefined; clamp them instead.
    if (!(v > 0.0)) return 0;
    if (v >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(v);
}

}  // namespace salvor
