// The conversation page writer: one HTML page per conversation, styled as
// chat bubbles, written as UTF-16 little-endian with a byte-order mark.
#pragma once

#include <string>
#include <string_view>

#include "core/records.h"
#include "output/output_dir.h"

namespace salvor {

class MVHtmlController {
public:
    std::string strHtmlContent;

    // Replaces the buffer by the page header; `title` is plain text (escaped here).
    void initMessageHtmlHeader(const std::string& title);
    // Appends HTML as given.
    void addHtmlContent(const std::string& html) { strHtmlContent += html; }
    // Appends the footer and writes the page (a name already taken gets the
    // next number; nothing is replaced).
    output::WriteResult writeHtmlInPath(const std::string& filePath);
    output::WriteResult writeHtmlInPath(output::OutputDir& folder, const std::string& safeName);

    static const char* styleSheet();
};

namespace output {

// Text made safe to stand in HTML content or a quoted attribute.
std::string htmlEscape(std::string_view text);
// Percent-encodes a path for an attribute (every byte but unreserved ones and "/").
std::string urlEncodePath(std::string_view path);

// "<p><h3>Name: ... </h3><hr/><p>" for a conversation.
std::string conversationHeading(const MVMessageTreeNode& conversation);

// How a message's attachment is referred to: an (already URL-encoded) address
// and whether it is shown as a picture or as a link to the copied file.
struct AttachmentRef {
    std::string href;
    std::string label;  // link text when not a picture (plain text)
    bool picture = true;
};

// Who wrote a message, as its sender line names them: "Me" for a sent
// message, otherwise the contact's name, else the address, else "Unknown".
std::string sender(const MVMessageNode& message);

// The sender line and body of one message. `attachment` is used when the
// message has an attachment.
std::string messageEntry(const MVMessageNode& message, const AttachmentRef& attachment);

}  // namespace output
}  // namespace salvor
