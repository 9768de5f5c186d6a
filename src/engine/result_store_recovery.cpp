// The store's side of a recovery run: the snapshot the writers read.
#include "engine/app_delegate.h"
#include "engine/result_store.h"

namespace salvor {

RecoverySource MVResultViewController::recoverySource() {
    RecoverySource source;
    {
        std::lock_guard<std::mutex> lock(listMutex_);
        source.photoAndVideoArray = photoAndVideoArray;
        source.contactArray = contactArray;
        source.messageTreeArray = messageTreeArray;
        source.callHistoryArray = callHistoryArray;
        source.noteArray = noteArray;
        source.bookMarkArray = bookMarkArray;
        source.calendarArray = calendarArray;
        source.faceTwitterArray = faceTwitterArray;
    }
    source.tree = treeController.content;
    source.device = app_.currentNode;
    source.cipher = app_.backupCipher();
    source.recovredFilesNum = &recovredFilesNum;
    source.allSelectedFileNum = &allSelectedFileNum;
    return source;
}

RecoveryReport MVResultViewController::recoverFilesThread(const std::string& destination, std::stop_token stop,
                                                          ExportOptions exports) {
    RecoverySource source = recoverySource();
    source.exports = std::move(exports);
    {
        std::lock_guard<std::mutex> lock(recoveryMutex_);
        recoveryStop_ = std::stop_source();
        source.stop = recoveryStop_.get_token();
    }
    // The caller's token reaches this run's own stop source; a request made
    // before this point is passed on at once.
    std::stop_callback forward(stop, [this] { cancelRecovery(); });
    recovredFilesNum = 0;
    recoverPath = destination;
    return recoverFiles(source, destination);
}

void MVResultViewController::cancelRecovery() {
    std::lock_guard<std::mutex> lock(recoveryMutex_);
    recoveryStop_.request_stop();
}

}  // namespace salvor
