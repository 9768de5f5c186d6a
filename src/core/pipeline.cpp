#include "core/pipeline.h"

#include "backup/device_media.h"
#include "backup/manifest.h"
#include "carve/deleted_scans.h"
#include "extract/extractors.h"

namespace salvor {

const std::array<PipelineStage, 14>& scanPipeline() {
    // Live stages run before every deleted-record scan, so the result store can
    // drop a carved record that equals a live one.
    static const std::array<PipelineStage, 14> stages{{
        {"scanDirAnalyThread", &scanDirAnalyThread, false},
        {"scanDiskAidMediaThread", &scanDiskAidMediaThread, true},
        {"scanContactThread", &scanContactThread, false},
        {"scanMessageThread", &scanMessageThread, false},
        {"scanNoteThread", &scanNoteThread, false},
        {"scanCallHistoryThread", &scanCallHistoryThread, false},
        {"scanBookMarkThread", &scanBookMarkThread, false},
        {"scanCalenderThread", &scanCalenderThread, false},
        {"scanDelContactThread", &scanDelContactThread, false},
        {"scanDelMessageThread", &scanDelMessageThread, false},
        {"scanDelNoteThread", &scanDelNoteThread, false},
        {"scanDelCallHistoryThread", &scanDelCallHistoryThread, false},
        {"ScanDelBookMarkThread", &ScanDelBookMarkThread, false},
        {"ScanDelCalenderThread", &ScanDelCalenderThread, false},
    }};
    return stages;
}

}  // namespace salvor
