// Temporary: no category databases until their builders land.
#include "forge/forge.h"

namespace salvor::forge {
void addCategoryDatabases(BackupPlan&, Rng&, const DatabaseScale&, const std::string&) {}
}  // namespace salvor::forge
