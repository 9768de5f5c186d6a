// Where the scan stages deliver what they find: one method per kind of record,
// so a record can never arrive as something else or be dropped unseen. The
// stages call it on the scan thread; what the sink does with a record (hand it
// to a store on another thread, collect it in a test) is the sink's business.
#pragma once

#include <string>

#include "core/device_node.h"
#include "core/records.h"
#include "core/tree_nodes.h"

namespace salvor {

class RecordSink {
public:
    virtual ~RecordSink() = default;

    // Live records, as the backup's databases and file list hold them.
    virtual void photo(const PhotoPtr& record) = 0;
    virtual void socialFile(const FaceTwitterPtr& record) = 0;
    virtual void contact(const ContactPtr& record) = 0;
    virtual void message(const MessagePtr& record) = 0;
    virtual void call(const CallPtr& record) = 0;
    virtual void note(const NotePtr& record) = 0;
    virtual void bookmark(const BookMarkPtr& record) = 0;
    virtual void calendarEvent(const CalendarPtr& record) = 0;

    // Deleted records: carved out of a database's pages, or kept by the phone
    // itself as recently deleted.
    virtual void deletedContact(const ContactPtr& record) = 0;
    virtual void deletedMessage(const MessagePtr& record) = 0;
    virtual void deletedCall(const CallPtr& record) = 0;
    virtual void deletedNote(const NotePtr& record) = 0;
    virtual void deletedBookmark(const BookMarkPtr& record) = 0;
    virtual void deletedCalendarEvent(const CalendarPtr& record) = 0;

    // One file or folder record of the backup's file list.
    virtual void backupFile(const TreeDirPtr& record) = 0;

    // The scan's position, 0..100.
    virtual void progress(int percent) = 0;
    // Something that cost the scan data, one sentence for the person.
    virtual void problem(const std::string& text) = 0;
    // What the scan is doing where no count shows it; empty when that is over.
    virtual void status(const std::string& text) = 0;
};

}  // namespace salvor
