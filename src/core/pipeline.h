// The fourteen scan stages, in the order they run.
#pragma once

#include <array>
#include <string>

namespace salvor {

class SalvorAppDelegate;

struct PipelineStage {
    const char* name;
    void (*run)(SalvorAppDelegate& app, const std::string& backupPath);
    bool onlyInRecoveryMode;  // stage 2 runs only for a backup made from a connected device
};

const std::array<PipelineStage, 14>& scanPipeline();

}  // namespace salvor
