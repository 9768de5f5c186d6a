// The deleted-contacts scan: carves person records and their multi-value rows
// (phone numbers, e-mail and web addresses) out of every table leaf page of the
// address book and joins them by the person's row id, read from the person's
// own cell, never guessed; values whose person is unknown are listed apart.
#pragma once

#include <cstdint>
#include <memory>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "carve/carve_primitives.h"
#include "core/records.h"

namespace salvor {

class ScanContext;

// The name listed for a carved phone number or address whose person is unknown.
inline constexpr const char* kNamelessValue = "number without a name";

class DelContactScan {
public:
    // The stage: carves the prepared private copy of the backup's address book
    // (made by the live contacts stage); without one it ends quietly.
    static void scanBackup(ScanContext& ctx, const std::string& backupPath);

    DelContactScan(ScanContext& ctx, const carve::PageImage& image);

    // Carves every page, then joins the values to the persons and posts one
    // "ScanDelContactInfo" per person. Stops early when the scan is stopped.
    void run();

private:
    // A carved multi-value row and where it was found; `uid` is the row's own
    // id when its cell header is still intact.
    struct CarvedValue {
        std::shared_ptr<DelContactValue> value;
        std::optional<std::int64_t> uid;
    };

    void scanPage(std::uint64_t page);
    // A person row the page lists, known by its row id alone.
    void noteLivePerson(std::int64_t rowid);
    void carvePerson(std::uint64_t a);
    void mergeUnknown();
    void carveValue(std::uint64_t q);
    void join(MVContactNode& node) const;
    // Adds the values at `indexes` (into values_) to the node, each once.
    void addValues(MVContactNode& node, const std::vector<std::size_t>& indexes) const;
    static bool bListedValue(const DelContactValue& v);
    // Posts the carved values no deleted person took (`joined`: the ids of
    // those posted): a live person's deleted values under its name, the
    // others as records without a name.
    void postUnjoinedValues(const std::map<std::int64_t, const MVContactNode*>& owners,
                            const std::set<std::int64_t>& joined);
    bool bRowidGuessedWrong(const MVContactNode& node) const;

    // ---- this scan's probes ----
    // The decoded text of one field into the page-sized destination; empty
    // when the field was not decoded.
    std::string decodePersonField(std::int64_t position, std::uint64_t& dataoff, std::uint64_t base,
                                  std::int64_t header, bool twoByte);
    std::string decodeValueField(std::int64_t position, std::uint64_t& dataoff, std::uint64_t base);
    std::string takeDecoded(bool decoded, std::uint64_t bodyLength);
    // True when the hex text of `bytes` bytes at `offset` (in a leaf page's
    // first cell) passes the kind-4 test in windows of `window` characters.
    bool bPageHoldsKind(std::uint64_t offset, std::uint64_t bytes, std::int64_t window) const;
    // True when a multi-value row's serial types (record id, property,
    // identifier, label) begin at q.
    bool bValueRecordAt(std::uint64_t q) const;
    // The row id of a multi-value cell whose header (size byte, NULL id column)
    // precedes the pattern at q unbroken.
    std::optional<std::int64_t> valueUid(std::uint64_t q) const;
    // The row id of the person whose first serial type is at `base`, when its
    // cell header is intact and agrees with the record.
    std::optional<std::int64_t> intactRowid(std::uint64_t base) const;
    // True when the serial types from `base` to the anchor at `a` fit a person row.
    bool bPlausiblePerson(std::uint64_t base, std::uint64_t a) const;

    ScanContext& ctx_;
    const carve::PageImage& image_;
    std::map<std::uint64_t, std::uint32_t> free_;  // pages on the free list
    std::multimap<std::int64_t, const MVContactNode*> liveById_;  // the live stage's persons
    std::string where_;        // the kind of free space being searched
    std::int64_t page_ = 0;    // and its page, from 1
    std::vector<std::uint8_t> dest_;  // one page and a terminating zero
    std::int64_t valueHeader_;        // 6, or 7 on system version 7

    std::int64_t counter_ = 0;
    std::int64_t largestRowid_ = 0;
    std::size_t mergedUnknown_ = 0;     // rowid-less persons already given ids
    std::int64_t lastMergedRowid_ = 0;  // highest id handed to a rowid-less person
    std::vector<CarvedValue> values_;
    std::map<std::int32_t, std::vector<std::size_t>> valuesByRow_;  // values_ indexes by record id
    std::set<std::int64_t> readRowids_;            // ids read from intact cell headers
    std::multimap<std::int64_t, const MVContactNode*> readPersons_;  // the persons they belong to
    std::set<const MVContactNode*> inferred_;      // persons whose id was guessed from the counter
    std::map<const MVContactNode*, std::string> created_;  // each person's creation time, as stored
    std::map<std::pair<std::string, std::string>, std::int64_t> readByCreation_;  // (name, creation) -> intact id
};

}  // namespace salvor
