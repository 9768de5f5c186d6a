#include "output/rtf_controller.h"

#include "core/categories.h"
#include "core/helpers.h"

namespace salvor {

void MVRtfController::addRtfContent(const std::string& text) {
    strRtfContent += text;
    strRtfContent += "\n\n";
}

std::string MVRtfController::listFileName(const std::string& fileType) {
    // A list is named by the category whose folder it goes into.
    for (const CategoryInfo& info : categoryTable())
        if (*info.listFile && fileType == info.folder) return info.listFile;
    return "TXT.txt";
}

output::WriteResult MVRtfController::writeRtfInPath(const std::string& folderPath, const std::string& fileType) {
    std::string error;
    output::OutputDir folder = output::OutputDir::create(folderPath, error);
    if (!folder.valid()) return {false, folderPath + "/" + listFileName(fileType), error};
    return writeRtfInPath(folder, fileType);
}

output::WriteResult MVRtfController::writeRtfInPath(output::OutputDir& folder, const std::string& fileType) {
    setRtfEnder();
    return folder.placeBytes(listFileName(fileType), strRtfContent);
}

namespace output {

namespace {
void field(std::string& out, const char* label, const Text& value) {
    out += label;
    out += shown(value);
    out += "  ";
}
}  // namespace

std::string contactListEntry(const MVContactNode& c) {
    std::string out;
    field(out, "Name:", c.contactName);
    field(out, "Phone:", c.contactPhone);
    field(out, "Email:", c.contactEmail);
    field(out, "Company:", c.contactCompany);
    field(out, "JobTitle:", c.contactJobtitle);
    field(out, "Home Page:", c.contactHomepage);
    field(out, "Birthday:", c.contactBirthday);
    field(out, "Note:", c.contactNote);
    return out;
}

std::string noteListEntry(const MVNoteNode& n) {
    std::string out;
    field(out, "Title:", n.noteTitle);
    field(out, "Note:", n.noteContent);
    field(out, "Date:", displayDate(n.noteDate));
    return out;
}

std::string callListEntry(const MVCallHistoryNode& c) {
    std::string out;
    field(out, "Name:", c.callName);
    field(out, "Phone:", c.callPhone);
    field(out, "Date:", displayDate(c.callDate));
    field(out, "Type:", c.callType);
    field(out, "Duration:", displayCallDuration(c));
    return out;
}

std::string bookMarkListEntry(const MVBookMarkNode& b) {
    std::string out;
    field(out, "Title:", b.bookMarkTitle);
    field(out, "URL:", b.bookMarkURL);
    return out;
}

std::string calendarListEntry(const MVCalendarNode& e) {
    std::string out;
    field(out, "Title:", e.calTitle);
    field(out, "Note:", e.calNote);
    field(out, "Start Date:", displayDate(e.startDate));
    field(out, "End Date:", displayDate(e.endDate));
    return out;
}

}  // namespace output
}  // namespace salvor
