// The result store's lookups (private to the store's sources).
#pragma once

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "engine/result_store.h"
#include "engine/result_store_indexes.h"

namespace salvor {

struct ResultStore::Indexes {
    ConversationLookup liveConversations;     // every conversation may take a live message
    ConversationLookup deletedConversations;  // only deleted ones take a carved message
    MessageKeyIndex messageKeys;              // the listed messages by address, text and date
    // Group conversations by members and name, with their places in the
    // list; a message with one other party never joins one of them.
    std::unordered_map<std::string, std::pair<const MVMessageTreeNode*, std::size_t>> groupConversations;
    std::unordered_set<const MVMessageTreeNode*> groupNodes;
    // The other lists by the fields a carved record must differ in.
    RecordKeyIndex contactKeys, noteKeys, callKeys, bookmarkKeys, calendarKeys;
};

}  // namespace salvor
