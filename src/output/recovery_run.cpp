#include "output/recovery_run.h"

#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <unordered_map>

#include "output/chunked_copy.h"
#include "output/destination.h"
#include "output/export_run.h"
#include "output/html_controller.h"
#include "output/output_dir.h"
#include "output/rtf_controller.h"
#include "output/safe_name.h"
#include "core/helpers.h"
#include "core/utf8.h"
#include "output/vcf_controller.h"

namespace salvor {

using output::OutputDir;
using output::WriteResult;

const RecoveryFolderTally* RecoveryReport::folder(const std::string& name) const {
    for (const auto& tally : folders) {
        if (tally.folder == name) return &tally;
    }
    return nullptr;
}

int recoveryPercent(std::int64_t handled, std::int64_t total) {
    if (total <= 0) return 0;
    return static_cast<int>(static_cast<float>(handled) * 100.0f / static_cast<float>(total));
}

std::string proposedRecoveryName(std::time_t now) {
    std::tm local{};
    localtime_r(&now, &local);
    char date[32], time[32];
    std::strftime(date, sizeof date, "%Y-%m-%d", &local);
    std::strftime(time, sizeof time, "%H.%M.%S", &local);
    return std::string("Salvor ") + date + " - " + time;
}

namespace {

// The extension of a picture file by its first bytes; empty when unknown.
std::string pictureExtension(const output::SourceFile& source) {
    unsigned char head[12] = {};
    const std::size_t n = source.readHead(head, sizeof head);
    if (n >= 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF) return ".jpg";
    if (n >= 8 && std::memcmp(head, "\x89PNG\r\n\x1a\n", 8) == 0) return ".png";
    if (n >= 6 && (std::memcmp(head, "GIF87a", 6) == 0 || std::memcmp(head, "GIF89a", 6) == 0)) return ".gif";
    if (n >= 12 && std::memcmp(head + 4, "ftyp", 4) == 0 &&
        (std::memcmp(head + 8, "heic", 4) == 0 || std::memcmp(head + 8, "mif1", 4) == 0))
        return ".heic";
    return {};
}

enum class AttachKind { None, Picture, Film, Card };

AttachKind attachKind(const MVMessageNode& message) {
    const std::string& type = textOrEmpty(message.attachType);
    if (type == "Image") return AttachKind::Picture;
    if (type == "Mov") return AttachKind::Film;
    if (type == "Contact" || type == "Location") return AttachKind::Card;
    return AttachKind::None;
}

// Visits the selected files of the tree in the run's order: a folder whose
// state is 0 is skipped with everything below it; inside an entered folder
// its files come first, then its sub-folders. Iterative, so a deep tree from
// a hostile manifest cannot exhaust the stack. The walk ends early once
// `stop` is requested.
template <class Visit>
void forEachSelectedTreeFile(const std::vector<TreeDirPtr>& roots, Visit visit, const std::stop_token& stop = {}) {
    std::vector<const MVTreeDirNode*> stack;
    for (auto it = roots.rbegin(); it != roots.rend(); ++it) {
        if (*it) stack.push_back(it->get());
    }
    while (!stack.empty() && !stop.stop_requested()) {
        const MVTreeDirNode* folder = stack.back();
        stack.pop_back();
        if (folder->isSelected == 0) continue;
        for (const auto& file : folder->fileChildren) {
            if (file && file->bSelected) visit(*file);
        }
        for (auto it = folder->children.rbegin(); it != folder->children.rend(); ++it) {
            if (*it) stack.push_back(it->get());
        }
    }
}

template <class List>
std::int64_t countSelected(const List& list) {
    std::int64_t n = 0;
    for (const auto& record : list) {
        if (record && record->bSelected == 1) ++n;
    }
    return n;
}

// The last component of a device path ("Library/SMS/Attachments/a/IMG_1.JPG" → "IMG_1.JPG").
std::string lastComponent(const std::string& path) {
    std::string p = path;
    while (!p.empty() && p.back() == '/') p.pop_back();
    const std::size_t slash = p.rfind('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

// The folder of the backup tree is named after the device, but never like a
// category folder: a phone called "Contact" must not pour its files among the cards.
std::string treeFolderName(const std::string& device) {
    const std::string name = output::safeFileName(device);
    for (const char* folder : {kPhotoFolder, kContactFolder, kMessageFolder, kNoteFolder, kCallFolder,
                               kBookMarkFolder, kCalendarFolder, kSocialFolder}) {
        if (strcasecmp(name.c_str(), folder) == 0) return output::safeFileName(device + " (device)");
    }
    return name;
}

// One folder of the run. It is made when the first file goes into it, so a
// run creates only the folders (and lists) that its selection fills.
struct RunFolder {
    std::string name;
    std::string path;  // where it is, or will be
    OutputDir dir;
    bool opened = false;
};

class RecoveryRun : public output::ExportTarget {
public:
    RecoveryRun(const RecoverySource& source, const std::string& destination) : source_(source) {
        report_.destination = destination;
    }

    RecoveryReport run() {
        const bool classic = source_.exports.formats.classic;
        report_.itemsTotal = (classic ? countRecoveryItems(source_) : 0) + output::countExportItems(source_);
        if (source_.allSelectedFileNum) *source_.allSelectedFileNum = static_cast<std::int32_t>(report_.itemsTotal);

        // Nothing is written when the destination cannot take the run, above
        // all when it lies inside the backup folder.
        const std::string backup = source_.device ? textOrEmpty(source_.device->backUpFilePath) : std::string();
        if (auto problem = destinationProblem(report_.destination, backup)) {
            fail(report_.destination, *problem);
            return std::move(report_);
        }
        // Each step fills its folder; a stopped run starts no further one.
        const std::function<void()> steps[] = {
            [&] { recoverPhotos(); },
            [&] { recoverTree(); },
            [&] { recoverContacts(); },
            [&] { recoverMessages(); },
            [&] { recoverList(kNoteFolder, "Note", source_.noteArray, output::noteListEntry); },
            [&] { recoverList(kCallFolder, "CallHistory", source_.callHistoryArray, output::callListEntry); },
            [&] { recoverList(kBookMarkFolder, "BookMark", source_.bookMarkArray, output::bookMarkListEntry); },
            [&] { recoverList(kCalendarFolder, "Calendar&Reminder", source_.calendarArray, output::calendarListEntry); },
            [&] { recoverSocial(); },
        };
        for (const auto& step : steps) {
            if (stopped() || !classic) break;
            step();
        }
        output::writeCategoryExports(source_, *this, report_);
        output::writeIndexExport(source_, *this, report_);

        report_.itemsHandled = handled_;
        report_.cancelled = cancelled_;
        return std::move(report_);
    }

private:
    // The destination, made on first use: a run that writes nothing makes nothing.
    OutputDir& destination() {
        if (!destinationOpened_) {
            destinationOpened_ = true;
            std::string error;
            dest_ = OutputDir::create(report_.destination, error);
            if (!dest_.valid()) fail(report_.destination, error);
        }
        return dest_;
    }
    RunFolder folderNamed(const std::string& name) const { return {name, report_.destination + "/" + name, {}, false}; }
    // Makes (once) one of the run's folders and starts its tally.
    OutputDir& open(RunFolder& folder) {
        if (!folder.opened) {
            folder.opened = true;
            report_.folders.push_back({folder.name, 0, 0});
            OutputDir& dest = destination();
            std::string error;
            folder.dir = dest.subfolder(folder.name, error);
            if (!folder.dir.valid() && dest.valid()) fail(folder.path, error);
        }
        return folder.dir;
    }
    RecoveryFolderTally& tally() { return report_.folders.back(); }
    void fail(const std::string& item, const std::string& reason) { report_.failures.push_back({item, reason}); }
    void notHeld(const std::string& item, const std::string& reason) { report_.notInBackup.push_back({item, reason}); }
    // A source that is not open: a file the backup does not hold, or one it
    // holds but that cannot be read.
    void sourceMissing(const std::string& item, const output::SourceFile& source, const std::string& what = {}) {
        if (source.notHeld()) notHeld(item, what + source.problem());
        else fail(item, what + source.problem());
    }
    void count() {
        ++handled_;
        if (source_.recovredFilesNum) source_.recovredFilesNum->fetch_add(1);
        if (source_.onItemHandled) source_.onItemHandled();
    }
    // `n` selected items written into the current folder.
    void recovered(std::size_t n = 1) {
        tally().items += n;
        report_.itemsRecovered += static_cast<std::int64_t>(n);
    }
    // A copy that came back stopped: the item is not handled, and the run ends.
    bool copyStopped(const WriteResult& result) {
        if (result.stopped) cancelled_ = true;
        return result.stopped;
    }
    // Notes a file write; true when it succeeded.
    bool noteWrite(const WriteResult& result) { return noteWrite(result, &tally()); }
    bool noteWrite(const WriteResult& result, RecoveryFolderTally* into) {
        if (!result.ok) {
            if (result.notInBackup) notHeld(result.path, result.error);
            else fail(result.path, result.error);
            return false;
        }
        if (!into) return true;
        ++into->files;
        const std::string& top = report_.destination;
        if (result.path.size() > top.size() && result.path.compare(0, top.size(), top) == 0 && result.path[top.size()] == '/')
            into->written.push_back(result.path.substr(top.size() + 1));
        return true;
    }

    // ---- the exports' side: files placed into any of the run's folders ----
    WriteResult place(const std::string& folderName, const std::string& safeName, const OutputDir::Fill& fill) override {
        RecoveryFolderTally* into = nullptr;
        OutputDir* dir = &destination();
        if (!folderName.empty()) {
            auto it = std::find_if(report_.folders.begin(), report_.folders.end(),
                                   [&](const RecoveryFolderTally& t) { return t.folder == folderName; });
            if (it == report_.folders.end()) {
                report_.folders.push_back({folderName, 0, 0, {}});
                it = report_.folders.end() - 1;
            }
            into = &*it;
            auto [entry, added] = exportDirs_.try_emplace(folderName);
            if (added && dest_.valid()) {
                std::string error;
                entry->second = dest_.subfolder(folderName, error);
                if (!entry->second.valid()) fail(report_.destination + "/" + folderName, error);
            }
            dir = &entry->second;
        }
        if (!dir->valid()) return {false, report_.destination + "/" + folderName + "/" + safeName, "no folder to write into"};
        const WriteResult result = dir->place(safeName, fill);
        noteWrite(result, into);
        return result;
    }
    // True once the run has been asked to stop; from then on nothing new is started.
    bool stopped() override {
        if (!cancelled_ && source_.stop.stop_requested()) cancelled_ = true;
        return cancelled_;
    }
    void handled() override { count(); }
    std::string attachmentFileName(const MVMessageNode& message) override {
        if (const auto it = copiedAttachments_.find(&message); it != copiedAttachments_.end()) return it->second;
        const std::string& stored = textOrEmpty(message.attachmentPath);
        if (stored.empty()) return {};
        if (const std::string* own = attachmentName(stored)) return *own;
        return lastComponent(stored);
    }

    std::string deviceName() const {
        const auto& node = source_.device;
        return node ? output::shown(node->strDeviceName) : std::string("(null)");
    }

    void recoverPhotos() {
        RunFolder folder = folderNamed(kPhotoFolder);
        for (const auto& photo : source_.photoAndVideoArray) {
            if (!photo || photo->bSelected != 1) continue;
            if (stopped()) return;
            const std::string name = output::safeFileName(textOrEmpty(photo->fileNodeName));
            const output::SourceFile source(textOrEmpty(photo->filePath), source_.cipher.get());
            if (!source.ok()) {
                count();
                sourceMissing(folder.path + "/" + name, source);
                continue;
            }
            // A photo of size 0 has nothing to recover.
            if (photo->fileSizeNumber == 0) {
                count();
                continue;
            }
            const WriteResult result =
                output::copyFileInto(source, &photo->fileSizeNumber, open(folder), name, buffer_, source_.stop);
            if (copyStopped(result)) return;
            count();
            if (noteWrite(result)) recovered();
            // A Live Photo's film goes beside its picture, under its own name;
            // it is part of the picture's item, not one of its own.
            if (const auto& film = photo->livePhotoVideo; film && film->fileSizeNumber > 0) {
                const std::string filmName = output::safeFileName(textOrEmpty(film->fileNodeName));
                const output::SourceFile filmSource(textOrEmpty(film->filePath), source_.cipher.get());
                if (!filmSource.ok()) {
                    sourceMissing(folder.path + "/" + filmName, filmSource);
                    continue;
                }
                const WriteResult filmResult = output::copyFileInto(filmSource, &film->fileSizeNumber, open(folder),
                                                                    filmName, buffer_, source_.stop);
                if (copyStopped(filmResult)) return;
                noteWrite(filmResult);
            }
        }
    }

    void recoverTree() {
        RunFolder deviceFolder = folderNamed(treeFolderName(deviceName()));
        forEachSelectedTreeFile(source_.tree, [&](const MVTreeFileNode& file) {
            if (stopped()) return;
            std::vector<std::string> parts = output::safeRelativePath(textOrEmpty(file.dirFilePath));
            if (parts.empty()) parts.push_back(output::safeFileName(textOrEmpty(file.treefileName)));
            std::string item = deviceFolder.path;
            for (const auto& part : parts) item += "/" + part;
            // Only a stored file is copied and only a directory record becomes
            // a folder; for anything else the backup holds nothing, and
            // nothing is made for it.
            std::optional<output::SourceFile> source;
            if (file.isFile) {
                source.emplace(textOrEmpty(file.filePath), source_.cipher.get());
                if (!source->ok()) {
                    count();
                    sourceMissing(item, *source);
                    return;
                }
            } else if (!file.isDirectory) {
                count();
                notHeld(item, "the backup's file list names it, but the backup holds no file for it");
                return;
            }
            // Every part but the last is a folder; the last is the file (or,
            // for a directory record, one more folder).
            const std::size_t folders = file.isFile ? parts.size() - 1 : parts.size();
            std::string error;
            OutputDir current;
            OutputDir* at = &open(deviceFolder);
            for (std::size_t i = 0; i < folders; ++i) {
                OutputDir next = at->subfolder(parts[i], error);
                if (!next.valid()) {
                    count();
                    fail(next.path(), error);
                    return;
                }
                current = std::move(next);
                at = &current;
            }
            if (!file.isFile) {
                count();
                recovered();
                return;
            }
            const WriteResult result =
                output::copyFileInto(*source, &file.realFileSize, *at, parts.back(), buffer_, source_.stop);
            if (copyStopped(result)) return;
            count();
            if (noteWrite(result)) recovered();
        }, source_.stop);
    }

    void recoverContacts() {
        RunFolder folder = folderNamed(kContactFolder);
        MVRtfController list;
        bool any = false;
        for (const auto& contact : source_.contactArray) {
            if (!contact || contact->bSelected != 1) continue;
            if (stopped()) return;  // the cards written so far stay; no list is started
            count();
            any = true;
            list.addRtfContent(output::contactListEntry(*contact));
            std::string base;
            if (!textOrEmpty(contact->contactName).empty()) {
                base = *contact->contactName;
            } else if (!textOrEmpty(contact->contactCompany).empty()) {
                base = *contact->contactCompany;
            } else {
                base = "unknown " + std::to_string(contact->rowid);
            }
            MVVCFController card;
            if (noteWrite(card.creatFile(*contact, open(folder), output::safeFileName(base, ".vcf")))) recovered();
        }
        // The contacts' items are their cards; the list adds no further items.
        if (any) writeList(list, open(folder), "Contact", 0);
    }

    void writeList(MVRtfController& list, OutputDir& folder, const std::string& fileType, std::size_t entries) {
        if (noteWrite(list.writeRtfInPath(folder, fileType)) && entries > 0) recovered(entries);
    }

    // A list is one file made in memory: it is written whole or, when the run
    // stopped before its folder, not at all; a category with nothing selected
    // has no list.
    template <class List, class Entry>
    void recoverList(const char* folderName, const std::string& fileType, const List& records, Entry entry) {
        RunFolder folder = folderNamed(folderName);
        MVRtfController list;
        std::size_t entries = 0;
        for (const auto& record : records) {
            if (!record || record->bSelected != 1) continue;
            count();
            list.addRtfContent(entry(*record));
            ++entries;
        }
        if (entries > 0) writeList(list, open(folder), fileType, entries);
    }

    // Copies a card or location attachment, which must be UTF-8 text.
    WriteResult copyCardText(const output::SourceFile& source, OutputDir& folder, const std::string& name) {
        if (source.encrypted()) {
            // Cards and places are small: decrypted whole, then checked.
            std::string why;
            const auto bytes = source.readAll(std::uint64_t{64} << 20, why);
            return folder.place(name, [&](int dst) -> std::string {
                if (!bytes) return "cannot decrypt the attachment: " + why;
                utf8::Utf8Validator utf8;
                if (!utf8.feed(bytes->data(), bytes->size()) || !utf8.finish()) return "the attachment is not UTF-8 text";
                return output::writeAll(dst, reinterpret_cast<const char*>(bytes->data()), bytes->size());
            });
        }
        return folder.place(name, [&](int dst) -> std::string {
            char* buf = buffer_.get();
            utf8::Utf8Validator utf8;
            for (;;) {
                if (source_.stop.stop_requested()) return output::kWriteStopped;
                const ssize_t n = ::read(source.fd(), buf, output::kCopyChunkBytes);
                if (n < 0) {
                    if (errno == EINTR) continue;
                    return std::string("cannot read source: ") + std::strerror(errno);
                }
                if (n == 0) break;
                if (!utf8.feed(reinterpret_cast<const std::uint8_t*>(buf), static_cast<std::size_t>(n))) {
                    return "the attachment is not UTF-8 text";
                }
                std::string error = output::writeAll(dst, buf, static_cast<std::size_t>(n));
                if (!error.empty()) return error;
            }
            return utf8.finish() ? std::string() : "the attachment is not UTF-8 text";
        });
    }

    // Copies a message's attachment beside its page; returns how the page
    // refers to it. When the copy was stopped the run is cancelled and the
    // reference is not to be used.
    output::AttachmentRef copyAttachment(const MVMessageNode& message, RunFolder& folder, const std::string& pageName) {
        output::AttachmentRef ref;
        const AttachKind kind = attachKind(message);
        ref.picture = kind == AttachKind::Picture || kind == AttachKind::None;
        // Without a copy the page points at the file where the backup holds it.
        ref.href = output::urlEncodePath(output::shown(message.attachmentPath));
        ref.label = lastComponent(output::shown(message.attachmentPath));
        if (kind == AttachKind::None) return ref;
        if (stopped()) return ref;
        const std::string what = "the " + textOrEmpty(message.attachType) + " attachment of the message of " +
                                 output::shown(displayDate(message.messageDate));
        if (!message.attachmentPath || message.attachmentPath->empty()) {
            count();
            // The backup never held this file: nothing failed to write, but the user
            // should know the page lacks it.
            notHeld(folder.path + "/" + pageName, what + " has no file in the backup");
            return ref;
        }
        const std::string& sourcePath = *message.attachmentPath;
        const output::SourceFile source(sourcePath, source_.cipher.get());
        if (!source.ok()) {
            count();
            sourceMissing(folder.path + "/" + pageName, source, what + ": ");
            return ref;
        }
        // A stored file is named by its hash: the copy takes the attachment's own
        // name where the backup's file list holds it (that name has the extension
        // its kind was told by), else the stored name with its kind's extension.
        std::string name;
        if (const std::string* own = attachmentName(sourcePath)) {
            name = output::safeFileName(*own);
        } else if (kind == AttachKind::Picture) {
            // Name the copy by its image type so it opens by itself as well as on the page.
            name = output::safeFileName(lastComponent(sourcePath), pictureExtension(source));
        } else {
            name = output::safeFileName(lastComponent(sourcePath), kind == AttachKind::Film ? ".mov" : ".vcf");
        }
        OutputDir& dir = open(folder);
        const WriteResult result = kind == AttachKind::Card
                                       ? copyCardText(source, dir, name)
                                       : output::copyFileInto(source, nullptr, dir, name, buffer_, source_.stop);
        if (copyStopped(result)) return ref;
        count();
        if (noteWrite(result)) {
            recovered();
            const std::string written = lastComponent(result.path);
            copiedAttachments_[&message] = written;
            ref.href = output::urlEncodePath(written);
            ref.label = written;
        }
        return ref;
    }

    // The device name of the stored file at `storedPath`, from the backup's
    // file tree (whose files are named as the device named them); null when
    // the tree does not hold it.
    const std::string* attachmentName(const std::string& storedPath) {
        if (!attachmentNames_) {
            attachmentNames_.emplace();
            std::vector<const MVTreeDirNode*> stack;
            for (const auto& root : source_.tree) {
                if (root) stack.push_back(root.get());
            }
            while (!stack.empty()) {
                const MVTreeDirNode* folder = stack.back();
                stack.pop_back();
                for (const auto& file : folder->fileChildren) {
                    if (file && file->filePath && !textOrEmpty(file->treefileName).empty())
                        attachmentNames_->emplace(*file->filePath, *file->treefileName);
                }
                for (const auto& child : folder->children) {
                    if (child) stack.push_back(child.get());
                }
            }
        }
        const auto it = attachmentNames_->find(storedPath);
        return it == attachmentNames_->end() ? nullptr : &it->second;
    }

    void recoverMessages() {
        RunFolder folder = folderNamed(kMessageFolder);
        const std::string title = deviceName() + "'s Message";
        for (const auto& conversation : source_.messageTreeArray) {
            if (!conversation || conversation->bSelected != 1) continue;
            if (stopped()) return;
            const std::string pageName = output::safeFileName(output::conversationFileBase(*conversation), ".html");
            MVHtmlController page;
            page.initMessageHtmlHeader(title);
            page.addHtmlContent(output::conversationHeading(*conversation));
            for (const auto& message : conversation->MessageNodeArray) {
                if (!message) continue;
                // The copy comes first so the page can name the file as written.
                const output::AttachmentRef ref = copyAttachment(*message, folder, pageName);
                // A page that would lack some of its attachments is not written;
                // the copies made so far are complete files and stay.
                if (cancelled_) return;
                page.addHtmlContent(output::messageEntry(*message, ref));
            }
            page.addHtmlContent("<hr/>");
            count();
            if (noteWrite(page.writeHtmlInPath(open(folder), pageName))) recovered();
        }
    }

    void recoverSocial() {
        RunFolder folder = folderNamed(kSocialFolder);
        for (const auto& file : source_.faceTwitterArray) {
            if (!file || file->bSelected != 1) continue;
            if (stopped()) return;
            const std::string name = output::safeFileName(textOrEmpty(file->faceTwitterFileName));
            const output::SourceFile source(textOrEmpty(file->faceTwitterFilePath), source_.cipher.get());
            if (!source.ok()) {
                count();
                sourceMissing(folder.path + "/" + name, source);
                continue;
            }
            const WriteResult result =
                output::copyFileInto(source, &file->fileSizeNumber, open(folder), name, buffer_, source_.stop);
            if (copyStopped(result)) return;
            count();
            if (noteWrite(result)) recovered();
        }
    }

    const RecoverySource& source_;
    std::int64_t handled_ = 0;
    bool cancelled_ = false;
    RecoveryReport report_;
    OutputDir dest_;
    bool destinationOpened_ = false;
    output::CopyBuffer buffer_;
    std::optional<std::unordered_map<std::string, std::string>> attachmentNames_;
    std::unordered_map<const MVMessageNode*, std::string> copiedAttachments_;
    std::map<std::string, OutputDir> exportDirs_;
};

}  // namespace

std::int64_t countRecoveryItems(const RecoverySource& store) {
    std::int64_t n = countSelected(store.photoAndVideoArray) + countSelected(store.contactArray) +
                     countSelected(store.noteArray) + countSelected(store.callHistoryArray) +
                     countSelected(store.bookMarkArray) + countSelected(store.calendarArray) +
                     countSelected(store.faceTwitterArray);
    for (const auto& conversation : store.messageTreeArray) {
        if (!conversation || conversation->bSelected != 1) continue;
        ++n;
        for (const auto& message : conversation->MessageNodeArray) {
            if (message && attachKind(*message) != AttachKind::None) ++n;
        }
    }
    // Every selected file of the tree is an item: a copy, a folder for a
    // directory record, or one the backup does not hold.
    forEachSelectedTreeFile(store.tree, [&n](const MVTreeFileNode&) { ++n; });
    return n;
}

RecoveryReport recoverFiles(const RecoverySource& source, const std::string& destination) {
    return RecoveryRun(source, destination).run();
}

}  // namespace salvor
