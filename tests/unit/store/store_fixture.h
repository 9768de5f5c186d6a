// A real controller with an inline dispatcher and a result store listening to it.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "engine/app_delegate.h"
#include "core/notification_center.h"
#include "engine/result_store.h"
#include "platform/dispatcher.h"
#include "support/support.h"

namespace salvor {

class StoreFixture : public ::testing::Test {
protected:
    NotificationCenter nc;
    InlineDispatcher dispatcher;
    SalvorAppDelegate app{nc, dispatcher};
    MVResultViewController store{app};

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
