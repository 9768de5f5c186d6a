#include "engine/recovery.h"

#include "engine/app_delegate.h"
#include "engine/result_store.h"

namespace salvor {

RecoverySource Recovery::source() {
    RecoverySource source;
    source.photoAndVideoArray = store_.photos();
    source.contactArray = store_.contacts();
    source.messageTreeArray = store_.conversations();
    source.callHistoryArray = store_.calls();
    source.noteArray = store_.notes();
    source.bookMarkArray = store_.bookmarks();
    source.calendarArray = store_.calendarEvents();
    source.faceTwitterArray = store_.socialFiles();
    source.tree = store_.tree().content;
    source.device = store_.device() ? store_.device() : app_.currentNode;
    source.cipher = app_.backupCipher();
    return source;
}

RecoveryReport Recovery::run(RecoverySource source, const std::string& destination, std::stop_token stop) {
    {
        std::lock_guard<std::mutex> lock(stopMutex_);
        stop_ = std::stop_source();
        source.stop = stop_.get_token();
    }
    // The caller's token reaches this run's own stop source; a request made
    // before this point is passed on at once.
    std::stop_callback forward(stop, [this] { cancel(); });
    handled = 0;
    total = 0;
    source.recovredFilesNum = &handled;
    source.allSelectedFileNum = &total;
    return recoverFiles(source, destination);
}

void Recovery::cancel() {
    std::lock_guard<std::mutex> lock(stopMutex_);
    stop_.request_stop();
}

}  // namespace salvor
