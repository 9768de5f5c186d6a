// Temporary empty definitions so the library links while the real ones are written.
#include "core/result_store.h"
#include "backup/tree_controller.h"

namespace salvor {
MVResultViewController::MVResultViewController(SalvorAppDelegate& app) : treeController(app), app_(app) {}
MVResultViewController::~MVResultViewController() = default;
void MVResultViewController::ScanThreadFinish() {}
void MVTreeController::addTreeNode(const MVTreeDirNode&, bool) {}
}  // namespace salvor
