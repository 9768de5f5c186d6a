// Temporary empty definitions so the library links while the real ones are written.
#include "core/result_store.h"

namespace salvor {
MVResultViewController::MVResultViewController(SalvorAppDelegate& app) : treeController(app), app_(app) {}
MVResultViewController::~MVResultViewController() = default;
void MVResultViewController::ScanThreadFinish() {}
}  // namespace salvor
