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
        {"scanBackupFiles", &scanBackupFiles, false, -1, StageFormats::Any},
        {"scanDeviceMedia", &scanDeviceMedia, true, -1, StageFormats::Any},
        {"scanContacts", &scanContacts, false, 40, StageFormats::OlderOnly},
        {"scanModernContacts", &scanModernContacts, false, 40, StageFormats::ModernOnly},
        {"scanMessages", &scanMessages, false, 50, StageFormats::OlderOnly},
        {"scanNotes", &scanNotes, false, 70, StageFormats::OlderOnly},
        {"scanModernMessages", &scanModernMessages, false, 50, StageFormats::ModernOnly},
        {"scanModernNotes", &scanModernNotes, false, 70, StageFormats::ModernOnly},
        {"scanCallHistory", &scanCallHistory, false, 60, StageFormats::OlderOnly},
        {"scanModernCallHistory", &scanModernCallHistory, false, 60, StageFormats::ModernOnly},
        {"scanBookmarks", &scanBookmarks, false, -1, StageFormats::OlderOnly},
        {"scanModernSafari", &scanModernSafari, false, -1, StageFormats::ModernOnly},
        {"scanCalendar", &scanCalendar, false, -1, StageFormats::OlderOnly},
        {"scanModernCalendar", &scanModernCalendar, false, -1, StageFormats::ModernOnly},
        {"scanDeletedContacts", &scanDeletedContacts, false, 75, StageFormats::OlderOnly},
        {"scanDeletedMessages", &scanDeletedMessages, false, 80, StageFormats::OlderOnly},
        {"scanDeletedNotes", &scanDeletedNotes, false, 85, StageFormats::OlderOnly},
        {"scanDeletedCalls", &scanDeletedCalls, false, 90, StageFormats::OlderOnly},
        {"scanDeletedBookmarks", &scanDeletedBookmarks, false, 95, StageFormats::OlderOnly},
        {"scanDeletedCalendar", &scanDeletedCalendar, false, 100, StageFormats::OlderOnly},
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
