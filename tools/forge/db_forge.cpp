// Entry point of the category databases: builds every database of one backup
// generation in the scratch folder and records what the extractors must find.
#include <filesystem>
#include <stdexcept>

#include "forge/db_common.h"

namespace salvor::forge {

void addCategoryDatabases(BackupPlan& plan, Rng& rng, const DatabaseScale& scale, const std::string& scratchDir) {
    if (plan.iosMajor < 4 || plan.iosMajor > 7)
        throw std::invalid_argument("forge: no category databases for iOS " + std::to_string(plan.iosMajor));
    std::filesystem::create_directories(scratchDir);
    db::Context cx{plan, rng, scale, scratchDir};
    cx.ios = plan.iosMajor;
    cx.pageSize = plan.dbPageSize;
    // Contacts first: messages and calls look their names up in them.
    db::buildContacts(cx);
    db::chooseParties(cx);
    db::buildMessages(cx);
    db::buildCalls(cx);
    db::buildNotes(cx);
    db::buildBookmarks(cx);
    db::buildCalendar(cx);
}

}  // namespace salvor::forge
