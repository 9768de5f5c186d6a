// Private scratch folders: copies of a person's databases live here while a
// scan runs. Every folder is remembered until it is released, so an
// interrupted process can still remove them all before it exits.
#pragma once

#include <string>

namespace salvor::scratch {

// Makes a new folder (mode 0700) in the system's temporary folder, named
// "<prefix>XXXXXX"; empty when none can be made.
std::string create(const std::string& prefix);
// Why this thread's last create() failed: the folder tried and the system's reason.
std::string lastError();
// Removes a folder made by create() with everything in it.
void release(const std::string& dir);
// Removes every folder not yet released (for a process that is being stopped).
void removeAll();

}  // namespace salvor::scratch
