// The scan stages, in the order they run, with the progress value
// each one reports.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace salvor {

class ScanContext;

// Which backup formats a stage reads. The category readers and carving of
// the older layouts would misread the databases of iOS 10 and later.
enum class StageFormats : unsigned char { Any, OlderOnly, ModernOnly };

struct PipelineStage {
    const char* name;
    void (*run)(ScanContext& ctx, const std::string& backupPath);
    bool onlyInRecoveryMode;  // stage 2 runs only for a backup made from a connected device
    // The percentage the stage posts when it has done its work; -1 for stages
    // that post none or compute their own (the manifest and the device media).
    int progress;
    StageFormats formats;
};

// Whether `stage` reads a backup of the format the scan found (ScanContext::modernFormat).
bool stageReadsFormat(const PipelineStage& stage, bool modernFormat);

const std::array<PipelineStage, 20>& scanPipeline();

// The stage of that name; null when there is none.
const PipelineStage* findStage(std::string_view name);

// Runs one stage on `ctx` inside the stage guard: an unexpected failure costs
// that stage one diagnostic line, never the scan. A stage that does not read
// the backup's format only posts its progress value.
void runStage(const PipelineStage& stage, ScanContext& ctx, const std::string& backupPath);

}  // namespace salvor
