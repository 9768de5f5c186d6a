#include "core/scan_context.h"



namespace salvor {

void ScanCollections::removeSomeArray() {
    treeFileArray = {};
    contactArray = {};
    contactImageArray = {};
    chatMessageArray = {};
    messageAttachments = {};
    delContactArray = {};
    delUnKnowContactArray = {};
    noteArray = {};
}

ScanContext::ScanContext(RecordSink& recordSink, std::string backupFolder)
    : backupPath(std::move(backupFolder)), sink(recordSink) {}

ScanContext::~ScanContext() = default;

Text ScanContext::getFileKeyBytheFilepath(const std::string& relativePath) const {
    if (indexed_ > treeFileArray.size()) {  // the list was emptied or replaced
        pathIndex_.clear();
        indexed_ = 0;
    }
    for (; indexed_ < treeFileArray.size(); ++indexed_) {
        const TreeDirPtr& node = treeFileArray[indexed_];
        if (node) pathIndex_[textOrEmpty(node->filePath)] = indexed_;  // the last record wins
    }
    const auto it = pathIndex_.find(relativePath);
    if (it == pathIndex_.end()) return std::nullopt;
    return treeFileArray[it->second]->fileKey;
}

void ScanContext::reportProblem(const std::string& text) {
    for (const std::string& seen : reported_)
        if (seen == text) return;
    reported_.push_back(text);
    sink.problem(text);
}

void ScanContext::postStageProgress() {
    if (stageProgress >= 0) postProgress(stageProgress);
}

void ScanContext::postProgress(int percent) { sink.progress(percent); }

}  // namespace salvor
