// Recall and precision of the deleted-messages carving on forged backups,
// judged against the forge's truth.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace salvor::carve_eval {

struct MessageTally {
    long deleted = 0;        // deleted rows in the truth
    long recoverable = 0;    // of them, rows whose text is still in the file
    long complete = 0;       // of them, rows whose every reported column is (text, date, address)
    long reported = 0;       // carved records the result store keeps
    long matched = 0;        // a deleted row: text, address and date equal
    long noAddress = 0;      // of them, rows whose address is gone from the file, listed as "Unknown"
    long recoveredRows = 0;  // matched rows that are complete
    long stale = 0;          // the older text of an edited row: a true older version
    long duplicates = 0;     // a deleted row already matched
    long liveAsDeleted = 0;  // a live message's text, listed as deleted
    long wrongAddress = 0;   // a deleted row's text and date under another address
    long wrongDate = 0;      // a deleted row's text and address with another date
    long phantoms = 0;       // none of these

    // Recall over the rows a recovery can give whole: a row whose date was
    // written over is found by its text but cannot match.
    double recall() const { return complete ? double(recoveredRows) / double(complete) : 0; }
    double precision() const { return reported ? double(matched + stale) / double(reported) : 0; }
    MessageTally& operator+=(const MessageTally& o);
};

// Forges the scenario's backups (seed fixed), runs the live messages stage and
// the deleted-messages scan on each, and judges every kept record. Each
// record not judged a deleted row or a stale version is described in `shown`
// when it is given.
MessageTally evaluateMessages(const std::string& scenario, std::uint64_t seed,
                              std::vector<std::string>* shown = nullptr);

}  // namespace salvor::carve_eval
