// The lookups the result store keeps while a scan fills it: which conversation
// a message joins, and whether a carved record is listed already. Each catches
// up with what was appended since it was last asked, so it never walks a list
// twice.
#pragma once

#include <cctype>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/categories.h"
#include "core/helpers.h"
#include "core/records.h"

namespace salvor {

// The first conversation of a list whose address matches a message address,
// remembered per distinct address. Conversations are only appended and keep
// their addresses, so a remembered match stays the first one; an address that
// matched none is tried again only against the conversations appended since.
class ConversationLookup {
public:
    template <class Eligible>
    MVMessageTreeNode* find(const std::vector<ConversationPtr>& conversations, const std::string& address,
                            Eligible eligible) {
        Entry& e = byAddress_[address];
        if (e.match) {
            if (e.at < conversations.size() && conversations[e.at].get() == e.match) {
                if (eligible(*e.match)) return e.match;
                // A deleted conversation that took a live message is live for
                // good: look on past it (none before it matched).
                e = Entry{nullptr, 0, e.at + 1};
            } else {
                e = Entry{};  // the list was replaced behind our back: look again
            }
        }
        if (e.tried > conversations.size()) e.tried = 0;
        if (e.tried == conversations.size()) return nullptr;
        const std::string lowAddress = lowered(address);
        for (std::size_t i = e.tried; i < conversations.size(); ++i) {
            MVMessageTreeNode* c = conversations[i].get();
            if (c && eligible(*c) && matches(conversations, i, address, lowAddress)) {
                e.match = c;
                e.at = i;
                return c;
            }
        }
        e.tried = conversations.size();
        return nullptr;
    }
    // Where the conversation found last for `address` sits in the list.
    std::size_t positionOf(const std::string& address) const { return byAddress_.at(address).at; }
    // The conversation just appended for `address` (which it matches) is its first match.
    void appended(const std::vector<ConversationPtr>& conversations, const std::string& address) {
        Entry& e = byAddress_[address];
        e.at = conversations.size() - 1;
        e.match = conversations.back().get();
    }

private:
    struct Entry {
        MVMessageTreeNode* match = nullptr;
        std::size_t at = 0;     // position of `match`
        std::size_t tried = 0;  // without a match: conversations tried so far
    };
    // Case folding as the containment test folds, one byte at a time.
    static std::string lowered(const std::string& text) {
        std::string out(text);
        for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return out;
    }
    // addressMatches, with each conversation's address folded once: the
    // containment test is then a plain substring search.
    bool matches(const std::vector<ConversationPtr>& conversations, std::size_t i, const std::string& address,
                 const std::string& lowAddress) {
        const MVMessageTreeNode* c = conversations[i].get();
        const std::string& conversation = textOrEmpty(c->messageTreeNodeAdress);
        if (i >= lowered_.size()) lowered_.resize(i + 1);
        auto& [folded, lowConversation] = lowered_[i];
        if (folded != c) {
            folded = c;
            lowConversation = lowered(conversation);
        }
        if (conversation.size() > address.size())
            return !address.empty() && lowConversation.find(lowAddress) != std::string::npos;
        return conversation == address ||
               (!conversation.empty() && lowAddress.find(lowConversation) != std::string::npos);
    }
    std::unordered_map<std::string, Entry> byAddress_;
    // Folded addresses of the conversations tried so far, by position, with
    // the conversation each was folded from.
    std::vector<std::pair<const MVMessageTreeNode*, std::string>> lowered_;
};

inline std::size_t combineHash(std::size_t h, std::string_view part) {
    return h ^ (std::hash<std::string_view>{}(part) + 0x9E3779B97F4A7C15ULL + (h << 6) + (h >> 2));
}

// The messages of a list by address, text and date, for the test whether a
// carved message is still listed.
class MessageKeyIndex {
public:
    bool contains(const std::vector<MessagePtr>& messages, const std::string& phone, const std::string& content,
                  std::optional<std::int64_t> minute) {
        for (; indexed_ < messages.size(); ++indexed_) {
            const MVMessageNode* m = messages[indexed_].get();
            if (m)
                positions_.emplace(
                    key(textOrEmpty(m->messagePhone), textOrEmpty(m->messageContent), listedMinute(m->messageDate)),
                    indexed_);
        }
        const auto [first, last] = positions_.equal_range(key(phone, content, minute));
        for (auto it = first; it != last; ++it) {
            const MVMessageNode* m = messages[it->second].get();
            if (m && textOrEmpty(m->messagePhone) == phone && textOrEmpty(m->messageContent) == content &&
                listedMinute(m->messageDate) == minute)
                return true;
        }
        return false;
    }

private:
    // Messages are told apart by the minute their date lists under.
    static std::size_t key(std::string_view phone, std::string_view content, std::optional<std::int64_t> minute) {
        return combineHash(combineHash(std::hash<std::string_view>{}(phone), content), minute ? std::to_string(*minute) : "");
    }
    std::unordered_multimap<std::size_t, std::size_t> positions_;
    std::size_t indexed_ = 0;
};

// The records of a list by the fields that decide whether a carved record is
// listed already.
struct RecordKeyIndex {
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);
    // The position of the first listed record whose key fields equal `wanted`; npos when none.
    template <class Ptr, class KeyFn>
    std::size_t find(const std::vector<Ptr>& list, const std::vector<std::string>& wanted, KeyFn key) {
        for (; indexed_ < list.size(); ++indexed_)
            if (list[indexed_]) positions_.emplace(hashOf(key(*list[indexed_]).same), indexed_);
        const auto [first, last] = positions_.equal_range(hashOf(wanted));
        std::size_t found = npos;
        for (auto it = first; it != last; ++it)
            if (list[it->second] && key(*list[it->second]).same == wanted) found = std::min(found, it->second);
        return found;
    }

private:
    static std::size_t hashOf(const std::vector<std::string>& parts) {
        std::size_t h = 0;
        for (const std::string& part : parts) h = combineHash(h, part);
        return h;
    }
    std::unordered_multimap<std::size_t, std::size_t> positions_;
    std::size_t indexed_ = 0;
};

}  // namespace salvor
