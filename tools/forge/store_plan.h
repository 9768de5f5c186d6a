// What goes into each backup of a scenario, before anything is written.
#pragma once

#include <string>
#include <vector>

#include "forge/forge.h"

namespace salvor::forge {

struct DeviceProfile {
    int iosMajor = 6;
    const char* productVersion = "6.1.3";
    const char* productType = "iPhone5,2";
    const char* build = "10B329";
    const char* itunesVersion = "11.0.2.26";
};

struct BackupLayout {
    enum class Content { Standard, Demo, BenchManifest, BenchMessages, BenchContacts, BenchMedia };
    DeviceProfile profile;
    Content content = Content::Standard;
    bool binaryPlists = false;
    bool infoPlist = true;  // false: only Manifest.plist describes the device
    bool olderFileNames = false;  // older notes and bookmark file names
    int pageSize = 4096;          // of the category databases
};

// The backups of a scenario, in writing order; empty for an unknown scenario.
std::vector<BackupLayout> scenarioLayouts(const std::string& scenario);

// Device name, serial number and versions of one backup.
BackupPlan describeDevice(const BackupLayout& layout, Rng& rng);

// Adds the media, application and system files (and, for the benchmarks, the
// filler records and large media) after the category databases.
void addOtherFiles(BackupPlan& plan, Rng& rng, const BackupLayout& layout, const ForgeOptions& options,
                   const std::string& scratchDir);

bool isSocialDomain(const std::string& domain);

}  // namespace salvor::forge
