// A record sink that keeps what it is given, in the order it came: for tools,
// benchmarks and tests that run a stage on its own and look at what it found.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "core/record_sink.h"

namespace salvor {

class RecordCollector : public RecordSink {
public:
    std::vector<PhotoPtr> photos;
    std::vector<FaceTwitterPtr> socialFiles;
    std::vector<ContactPtr> contacts, deletedContacts;
    std::vector<MessagePtr> messages, deletedMessages;
    std::vector<CallPtr> calls, deletedCalls;
    std::vector<NotePtr> notes, deletedNotes;
    std::vector<BookMarkPtr> bookmarks, deletedBookmarks;
    std::vector<CalendarPtr> calendarEvents, deletedCalendarEvents;
    std::vector<TreeDirPtr> backupFiles;
    std::vector<int> progressValues;
    std::vector<std::string> problems, statuses;
    // What came, by the name of the method that took it ("contact", "progress"...).
    std::vector<std::string> order;
    // Told of each delivery as it comes (may be empty).
    std::function<void(const std::string& kind)> onDelivery;

    void photo(const PhotoPtr& r) override { keep(photos, r, "photo"); }
    void socialFile(const FaceTwitterPtr& r) override { keep(socialFiles, r, "socialFile"); }
    void contact(const ContactPtr& r) override { keep(contacts, r, "contact"); }
    void message(const MessagePtr& r) override { keep(messages, r, "message"); }
    void call(const CallPtr& r) override { keep(calls, r, "call"); }
    void note(const NotePtr& r) override { keep(notes, r, "note"); }
    void bookmark(const BookMarkPtr& r) override { keep(bookmarks, r, "bookmark"); }
    void calendarEvent(const CalendarPtr& r) override { keep(calendarEvents, r, "calendarEvent"); }
    void deletedContact(const ContactPtr& r) override { keep(deletedContacts, r, "deletedContact"); }
    void deletedMessage(const MessagePtr& r) override { keep(deletedMessages, r, "deletedMessage"); }
    void deletedCall(const CallPtr& r) override { keep(deletedCalls, r, "deletedCall"); }
    void deletedNote(const NotePtr& r) override { keep(deletedNotes, r, "deletedNote"); }
    void deletedBookmark(const BookMarkPtr& r) override { keep(deletedBookmarks, r, "deletedBookmark"); }
    void deletedCalendarEvent(const CalendarPtr& r) override {
        keep(deletedCalendarEvents, r, "deletedCalendarEvent");
    }
    void backupFile(const TreeDirPtr& r) override { keep(backupFiles, r, "backupFile"); }
    void progress(int percent) override { keep(progressValues, percent, "progress"); }
    void problem(const std::string& text) override { keep(problems, text, "problem"); }
    void status(const std::string& text) override { keep(statuses, text, "status"); }

    // Records of every kind (live and deleted) taken so far.
    std::size_t recordCount() const {
        return photos.size() + socialFiles.size() + contacts.size() + deletedContacts.size() + messages.size() +
               deletedMessages.size() + calls.size() + deletedCalls.size() + notes.size() + deletedNotes.size() +
               bookmarks.size() + deletedBookmarks.size() + calendarEvents.size() + deletedCalendarEvents.size();
    }

private:
    template <class T>
    void keep(std::vector<T>& list, const T& value, const char* kind) {
        list.push_back(value);
        order.emplace_back(kind);
        if (onDelivery) onDelivery(order.back());
    }
};

}  // namespace salvor
