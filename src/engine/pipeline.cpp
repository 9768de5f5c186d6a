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
        {"scanDirAnalyThread", &scanDirAnalyThread, false, -1, StageFormats::Any},
        {"scanDiskAidMediaThread", &scanDiskAidMediaThread, true, -1, StageFormats::Any},
        {"scanContactThread", &scanContactThread, false, 40, StageFormats::OlderOnly},
        {"scanModernContactThread", &scanModernContactThread, false, 40, StageFormats::ModernOnly},
        {"scanMessageThread", &scanMessageThread, false, 50, StageFormats::OlderOnly},
        {"scanNoteThread", &scanNoteThread, false, 70, StageFormats::OlderOnly},
        {"scanModernMessageThread", &scanModernMessageThread, false, 50, StageFormats::ModernOnly},
        {"scanModernNoteThread", &scanModernNoteThread, false, 70, StageFormats::ModernOnly},
        {"scanCallHistoryThread", &scanCallHistoryThread, false, 60, StageFormats::OlderOnly},
        {"scanModernCallHistoryThread", &scanModernCallHistoryThread, false, 60, StageFormats::ModernOnly},
        {"scanBookMarkThread", &scanBookMarkThread, false, -1, StageFormats::OlderOnly},
        {"scanModernSafariThread", &scanModernSafariThread, false, -1, StageFormats::ModernOnly},
        {"scanCalenderThread", &scanCalenderThread, false, -1, StageFormats::OlderOnly},
        {"scanModernCalenderThread", &scanModernCalenderThread, false, -1, StageFormats::ModernOnly},
        {"scanDelContactThread", &scanDelContactThread, false, 75, StageFormats::OlderOnly},
        {"scanDelMessageThread", &scanDelMessageThread, false, 80, StageFormats::OlderOnly},
        {"scanDelNoteThread", &scanDelNoteThread, false, 85, StageFormats::OlderOnly},
        {"scanDelCallHistoryThread", &scanDelCallHistoryThread, false, 90, StageFormats::OlderOnly},
        {"ScanDelBookMarkThread", &ScanDelBookMarkThread, false, 95, StageFormats::OlderOnly},
        {"ScanDelCalenderThread", &ScanDelCalenderThread, false, 100, StageFormats::OlderOnly},
    }};
    return stages;
}

const PipelineStage* findStage(std::string_view name) {
    for (const PipelineStage& stage : scanPipeline())
        if (name == stage.name) return &stage;
    return nullptr;
}

bool stageReadsFormat(const PipelineStage& stage, bool modernFormat) {
    switch (stage.formats) {
    case StageFormats::Any: return true;
    case StageFormats::OlderOnly: return !modernFormat;
    case StageFormats::ModernOnly: return modernFormat;
    }
    return true;
}

void runStage(const PipelineStage& stage, ScanContext& ctx, const std::string& backupPath) {
    // Older backups never see the modern readers, not even their progress; a
    // modern backup still moves the bar past the older readers it skips.
    if (stage.formats == StageFormats::ModernOnly && !ctx.modernFormat) return;
    ctx.stageProgress = stage.progress;
    if (!stageReadsFormat(stage, ctx.modernFormat)) {
        ctx.postStageProgress();
        ctx.stageProgress = -1;
        return;
    }
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
