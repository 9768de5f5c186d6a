// The category list writer: one plain UTF-8 text list per category, named
// after the category ("Contacts.txt", "Call History.txt", ...).
#pragma once

#include <string>

#include "core/records.h"
#include "output/output_dir.h"

namespace salvor {

class MVRtfController {
public:
    MVRtfController() { setRtfHeader(); }

    std::string strRtfContent;

    void setRtfHeader() { strRtfContent.clear(); }
    // Appends the entry and an empty line after it.
    void addRtfContent(const std::string& text);
    void setRtfEnder() {}
    // Writes the list into the folder under its category's name; a name
    // already taken gets the next number ("Contacts (2).txt"), nothing is replaced.
    output::WriteResult writeRtfInPath(const std::string& folderPath, const std::string& fileType);
    output::WriteResult writeRtfInPath(output::OutputDir& folder, const std::string& fileType);

    // "Contact" → "Contacts.txt", ...; any other type gives "TXT.txt".
    static std::string listFileName(const std::string& fileType);
};

namespace output {

// A field as the documents show it: absent text reads "(null)".
inline std::string shown(const Text& text) { return text ? *text : std::string("(null)"); }

// One list entry per record, fields labelled and each followed by two spaces.
std::string contactListEntry(const MVContactNode& contact);
std::string noteListEntry(const MVNoteNode& note);
std::string callListEntry(const MVCallHistoryNode& call);
std::string bookMarkListEntry(const MVBookMarkNode& bookMark);
std::string calendarListEntry(const MVCalendarNode& event);

}  // namespace output
}  // namespace salvor
