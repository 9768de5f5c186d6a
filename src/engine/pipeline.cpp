#include "engine/pipeline.h"

#include <exception>

#include "backup/device_media.h"
#include "backup/manifest.h"
#include "carve/deleted_scans.h"
#include "core/scan_context.h"
#include "extract/extractors.h"
#include "extract/modern_messages.h"
#include "extract/modern_notes.h"
#include "extract/modern_calendar.h"
#include "extract/modern_calls.h"
#include "extract/modern_contacts.h"
#include "extract/modern_safari.h"
#include "platform/log.h"

namespace salvor {

const std::array<PipelineStage, 20>& scanPipeline() {
    // Live stages run before every deleted-record scan, so the result store can
    // drop a carved record that equals a live one. The progress values need
    // not rise: notes (70) come before call history (60).
    static const std::array<PipelineStage, 20> stages{{
        {"scanDirAnalyThread", &scanDirAnalyThread, false, -1},
        {"scanDiskAidMediaThread", &scanDiskAidMediaThread, true, -1},
        {"scanContactThread", &scanContactThread, false, 40},
        {"scanModernContactThread", &scanModernContactThread, false, 40, true},
        {"scanMessageThread", &scanMessageThread, false, 50},
        {"scanNoteThread", &scanNoteThread, false, 70},
        {"scanModernMessageThread", &scanModernMessageThread, false, 50, true},
        {"scanModernNoteThread", &scanModernNoteThread, false, 70, true},
        {"scanCallHistoryThread", &scanCallHistoryThread, false, 60},
        {"scanModernCallHistoryThread", &scanModernCallHistoryThread, false, 60, true},
        {"scanBookMarkThread", &scanBookMarkThread, false, -1},
        {"scanModernSafariThread", &scanModernSafariThread, false, -1, true},
        {"scanCalenderThread", &scanCalenderThread, false, -1},
        {"scanModernCalenderThread", &scanModernCalenderThread, false, -1, true},
        {"scanDelContactThread", &scanDelContactThread, false, 75},
        {"scanDelMessageThread", &scanDelMessageThread, false, 80},
        {"scanDelNoteThread", &scanDelNoteThread, false, 85},
        {"scanDelCallHistoryThread", &scanDelCallHistoryThread, false, 90},
        {"ScanDelBookMarkThread", &ScanDelBookMarkThread, false, 95},
        {"ScanDelCalenderThread", &ScanDelCalenderThread, false, 100},
    }};
    return stages;
}

const PipelineStage* findStage(std::string_view name) {
    for (const PipelineStage& stage : scanPipeline())
        if (name == stage.name) return &stage;
    return nullptr;
}

void runStage(const PipelineStage& stage, ScanContext& ctx, const std::string& backupPath) {
    ctx.stageProgress = stage.progress;
    try {
        stage.run(ctx, backupPath);
    } catch (const std::exception& e) {
        log::line(std::string(stage.name) + " failed: " + e.what(), log::Level::Error);
    } catch (...) {
        log::line(std::string(stage.name) + " failed", log::Level::Error);
    }
    ctx.stageProgress = -1;
}

}  // namespace salvor
