// Temporary: the live extractors end quietly until their readers land.
#include "extract/extractors.h"

namespace salvor {
void scanContactThread(SalvorAppDelegate&, const std::string&) {}
void scanMessageThread(SalvorAppDelegate&, const std::string&) {}
void scanNoteThread(SalvorAppDelegate&, const std::string&) {}
void scanCallHistoryThread(SalvorAppDelegate&, const std::string&) {}
void scanBookMarkThread(SalvorAppDelegate&, const std::string&) {}
void scanCalenderThread(SalvorAppDelegate&, const std::string&) {}
}  // namespace salvor
