// The documents a run writes besides the classic ones: spreadsheets, the
// calendar file, printable conversations and the index page. The recovery
// run calls these after its classic steps, through a narrow target that
// places files in its folders and keeps its report.
#pragma once

#include <cstdint>
#include <string>

#include "output/output_dir.h"
#include "output/recovery_run.h"

namespace salvor::output {

class ExportTarget {
public:
    virtual ~ExportTarget() = default;
    // Places a new file `safeName` in the run's folder `folder` (the top of
    // the destination when empty), made when missing, and notes it in the report.
    virtual WriteResult place(const std::string& folder, const std::string& safeName, const OutputDir::Fill& fill) = 0;
    virtual bool stopped() = 0;
    // One item of progress done.
    virtual void handled() = 0;
    // The file name a message's attachment was recovered under, else the one
    // the device gave it; empty without an attachment.
    virtual std::string attachmentFileName(const MVMessageNode& message) = 0;
};

// The base of a conversation's file names: its name when it has two
// characters or more, else its address.
std::string conversationFileBase(const MVMessageTreeNode& conversation);

// Progress items the exports of `source` add to a run (one per printable conversation).
std::int64_t countExportItems(const RecoverySource& source);

// Writes the spreadsheets, the calendar file and the printable conversations
// that `source.exports` asks for.
void writeCategoryExports(const RecoverySource& source, ExportTarget& target, RecoveryReport& report);
// Writes index.html, when asked for, from what the run wrote (call it last).
void writeIndexExport(const RecoverySource& source, ExportTarget& target, RecoveryReport& report);

}  // namespace salvor::output
