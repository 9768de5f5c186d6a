// Temporary: the manifest stage and discovery end quietly until their readers land.
#include "backup/device_list.h"
#include "backup/manifest.h"
#include "backup/media.h"
#include "backup/tree_controller.h"

namespace salvor {
std::string storedFileName(const std::string&, const std::string&) { return {}; }
void scanDirAnalyThread(SalvorAppDelegate&, const std::string&) {}
Text getFileKeyBytheFilepath(const SalvorAppDelegate&, const std::string&) { return std::nullopt; }
void GetMediaFileByNode(SalvorAppDelegate&, const MVTreeDirNode&) {}
bool MVIOSDeviceController::addDeviceNodeByPath(const std::string&) { return false; }
Text MVIOSDeviceController::GetDevcieType(const Text&) { return std::nullopt; }
void MVIOSDeviceController::getSystemVersionMajor(int& a, int& b, int& c) { a = 10; b = 0; c = 0; }
std::string defaultBackupStore() { return {}; }
void showIphoneDisk(SalvorAppDelegate&, const std::string&) {}
void MVTreeController::addTreeNode(const MVTreeDirNode&, bool) {}
}  // namespace salvor
