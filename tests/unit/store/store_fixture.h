// A result store fed directly, as the scan feed feeds it on its own thread,
// with the counts a summary shows.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "engine/result_store.h"
#include "platform/dispatcher.h"
#include "support/support.h"

namespace salvor {

class StoreFixture : public ::testing::Test {
protected:
    ResultStore store;

    long count(Category category, bool deletedOnes) const {
        for (const CategoryCount& c : countCategories(store))
            if (c.name == categoryInfo(category).countName) return deletedOnes ? c.deleted : c.live;
        return -1;
    }
    long live(Category category) const { return count(category, false); }
    long deleted(Category category) const { return count(category, true); }
    // Every live (deleted) record of the lists a person ticks.
    long liveTotal() const { return total(false); }
    long deletedTotal() const { return total(true); }
    long total(bool deletedOnes) const {
        long n = 0;
        for (Category c : {Category::Contact, Category::Message, Category::CallHistory, Category::Note,
                           Category::BookMark, Category::Calendar, Category::PhotoAndVideo})
            n += count(c, deletedOnes);
        return n + (deletedOnes ? 0 : static_cast<long>(store.socialFiles().size()));
    }

    static ContactPtr contact(const std::string& name, const std::string& phone) {
        auto c = std::make_shared<MVContactNode>();
        c->contactName = name, c->contactPhone = phone;
        return c;
    }
    static NotePtr note(const std::string& title, const std::string& content) {
        auto n = std::make_shared<MVNoteNode>();
        n->noteTitle = title, n->noteContent = content;
        return n;
    }
    // A listed date's moment; no date for an empty text.
    static std::optional<Timestamp> when(const std::string& listed) {
        return listed.empty() ? std::nullopt : std::optional(test::dateAt(listed));
    }
    static CallPtr call(const std::string& name, const std::string& phone, const std::string& date) {
        auto c = std::make_shared<MVCallHistoryNode>();
        c->callName = name, c->callPhone = phone, c->callDate = when(date);
        return c;
    }
    static MessagePtr message(const std::string& name, const std::string& phone, const std::string& content,
                              const std::string& date) {
        auto m = std::make_shared<MVMessageNode>();
        m->messageName = name, m->messagePhone = phone, m->messageContent = content, m->messageDate = when(date);
        return m;
    }
};

}  // namespace salvor
