#include "output/html_controller.h"

#include "output/rtf_controller.h"
#include "output/safe_name.h"
#include "core/helpers.h"
#include "core/utf8.h"

namespace salvor {

const char* MVHtmlController::styleSheet() {
    return "body{padding:0;margin:0;font:1em/1.4 Helvetica, Cambria, Georgia, sans-serif;color:#333;"
           "font-size:12px;background:#fff;}"
           "\t.date{text-align:center;}"
           "\t#container{width:500px;padding:0 0 50px;margin:0 auto;}"
           "\th1{font-size:18px;text-align:center;font-weight:bold;}"
           "\th3{font-size:14px;font-weight:bold;font-style:normal;text-align:left;color:#272727;}"
           "\t.triangle-isosceles{position:relative;padding:10px;margin:1em 0 3em;width:200px;"
           "word-wrap:break-word;overflow-wrap:anywhere;background:#f3f3f3;"
           "background:-webkit-gradient(linear, 0 0, 0 100%, from(#f3f3f3), to(#dedede));"
           "background:-moz-linear-gradient(#f3f3f3, #dedede);background:-o-linear-gradient(#f3f3f3, #dedede);"
           "background:linear-gradient(#f3f3f3, #dedede);"
           "-webkit-border-radius:10px;-moz-border-radius:10px;border-radius:10px;}"
           "\t.triangle-isosceles:after{content:'';position:absolute;bottom:-15px;left:30px;"
           "border-width:15px 15px 0;border-style:solid;border-color:#dedede transparent;display:block;width:0;}"
           "\t.content{width:400px;position:relative;z-index:1;}"
           "\t.triangle-isosceles2{position:relative;left:170px;padding:10px;margin:1em 0 3em;width:200px;"
           "word-wrap:break-word;overflow-wrap:anywhere;background:#addc53;"
           "background:-webkit-gradient(linear, 0 0, 0 100%, from(#addc53), to(#8eca35));"
           "background:-moz-linear-gradient(#addc53, #8eca35);background:-o-linear-gradient(#addc53, #8eca35);"
           "background:linear-gradient(#addc53, #8eca35);"
           "-webkit-border-radius:10px;-moz-border-radius:10px;border-radius:10px;}"
           "\t.triangle-isosceles2:after{content:'';position:absolute;bottom:-15px;right:30px;"
           "border-width:15px 15px 0;border-style:solid;border-color:#8eca35 transparent;display:block;width:0;}"
           "\t.triangle-isosceles3{position:relative;left:170px;padding:10px;margin:1em 0 3em;width:200px;"
           "word-wrap:break-word;overflow-wrap:anywhere;background:#a0cff8;"
           "background:-webkit-gradient(linear, 0 0, 0 100%, from(#a0cff8), to(#87bfef));"
           "background:-moz-linear-gradient(#a0cff8, #87bfef);background:-o-linear-gradient(#a0cff8, #87bfef);"
           "background:linear-gradient(#a0cff8, #87bfef);"
           "-webkit-border-radius:10px;-moz-border-radius:10px;border-radius:10px;}"
           "\t.triangle-isosceles3:after{content:'';position:absolute;bottom:-15px;right:30px;"
           "border-width:15px 15px 0;border-style:solid;border-color:#87bfef transparent;display:block;width:0;}"
           "\thr{height:1px;border:none;border-bottom:1px dotted #cccccc;margin:0;}"
           "\t.imgdic{left:170px;position:relative;}";
}

void MVHtmlController::initMessageHtmlHeader(const std::string& title) {
    const std::string t = output::htmlEscape(title);
    strHtmlContent = "<!DOCTYPE html><html lang='en'><head><meta charset='utf-8'><title>" + t + "</title><style>";
    strHtmlContent += styleSheet();
    strHtmlContent += "</style></head><body><h1>" + t + "</h1><div id='container'><div class='content'>";
}

output::WriteResult MVHtmlController::writeHtmlInPath(const std::string& filePath) {
    std::string folderPath, name, error;
    output::splitPath(filePath, folderPath, name);
    output::OutputDir folder = output::OutputDir::create(folderPath, error);
    if (!folder.valid()) return {false, filePath, error};
    return writeHtmlInPath(folder, output::safeFileName(name));
}

output::WriteResult MVHtmlController::writeHtmlInPath(output::OutputDir& folder, const std::string& safeName) {
    strHtmlContent += "</div></div></body></html>";
    return folder.placeBytes(safeName, utf8::toUtf16LEWithBom(strHtmlContent));
}

namespace output {

std::string htmlEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string urlEncodePath(std::string_view path) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    out.reserve(path.size());
    for (char ch : path) {
        const auto c = static_cast<unsigned char>(ch);
        const bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                          c == '.' || c == '_' || c == '~' || c == '/';
        if (keep) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0x0F];
        }
    }
    return out;
}

std::string conversationHeading(const MVMessageTreeNode& conversation) {
    return "<p><h3>Name: " + htmlEscape(shown(conversation.messageTreeNodeName)) + " &nbsp;&nbsp;Phone: " +
           htmlEscape(shown(conversation.messageTreeNodeAdress)) + " &nbsp;&nbsp;Email: </h3><hr/><p>";
}

std::string sender(const MVMessageNode& m) {
    // The name belongs to the conversation's other party, whichever way the
    // message went, so only the direction says who wrote it.
    if (textOrEmpty(m.messageType) == "Send") return "Me";
    const std::string& name = textOrEmpty(m.messageName);
    if (name.find_first_not_of(' ') != std::string::npos) return name;
    const std::string& address = textOrEmpty(m.messagePhone);
    return address.empty() ? std::string("Unknown") : address;
}

std::string messageEntry(const MVMessageNode& m, const AttachmentRef& attachment) {
    std::string out;
    const std::string date = htmlEscape(shown(displayDate(m.messageDate)));
    const std::string type = shown(m.messageType);
    out = "<p class='name'>Name: " + htmlEscape(sender(m)) + " &nbsp;&nbsp; Date: " + date + " <p>";
    if (m.isHasAttach) {
        // Received attachments stand on the left, everything else is shifted right.
        out += type == "Received" ? "<p>" : "<p class='imgdic'>";
        if (attachment.picture) {
            out += "<img src='" + htmlEscape(attachment.href) + "'/>";
        } else {
            out += "<a href='" + htmlEscape(attachment.href) + "'>" + htmlEscape(attachment.label) + "</a>";
        }
        out += "</p>";
    } else if (type == "Send") {
        out += "<p class='triangle-isosceles2'> " + htmlEscape(shown(m.messageContent)) + " </p>";
    } else {
        out += "<p class='triangle-isosceles'> " + htmlEscape(shown(m.messageContent)) + " </p>";
    }
    return out;
}

}  // namespace output
}  // namespace salvor
