#include "output/vcf_controller.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "output/rtf_controller.h"
#include "output/safe_name.h"

namespace salvor {

std::size_t MVVCFController::baseEncode(const std::uint8_t* src, std::size_t srcLen, char* destBytes,
                                        std::size_t destLen, const char* charset, bool padded) {
    if (!src || srcLen == 0 || !destBytes || destLen == 0 || !charset || std::strlen(charset) < 64) return 0;
    const std::size_t needed = (srcLen + 2) / 3 * 4;
    if (destLen < needed) return 0;

    // Encode in blocks of whole 3-byte groups (EVP_EncodeBlock takes an int length).
    constexpr std::size_t kBlock = 3 * 16384;
    std::size_t written = 0;
    std::vector<unsigned char> out(kBlock / 3 * 4 + 1);
    for (std::size_t offset = 0; offset < srcLen; offset += kBlock) {
        const std::size_t n = std::min(kBlock, srcLen - offset);
        const int produced = EVP_EncodeBlock(out.data(), src + offset, static_cast<int>(n));
        std::memcpy(destBytes + written, out.data(), static_cast<std::size_t>(produced));
        written += static_cast<std::size_t>(produced);
    }

    if (std::strncmp(charset, kBase64Alphabet, 64) != 0) {
        unsigned char map[256];
        for (int i = 0; i < 256; ++i) map[i] = static_cast<unsigned char>(i);
        for (int i = 0; i < 64; ++i) {
            map[static_cast<unsigned char>(kBase64Alphabet[i])] = static_cast<unsigned char>(charset[i]);
        }
        for (std::size_t i = 0; i < written; ++i) {
            if (destBytes[i] != '=') destBytes[i] = static_cast<char>(map[static_cast<unsigned char>(destBytes[i])]);
        }
    }
    if (!padded) {
        while (written > 0 && destBytes[written - 1] == '=') --written;
    }
    return written;
}

std::string MVVCFController::base64(const ByteBuffer& bytes) {
    if (bytes.empty()) return {};
    std::string out((bytes.size() + 2) / 3 * 4, '\0');
    out.resize(baseEncode(bytes.data(), bytes.size(), out.data(), out.size(), kBase64Alphabet, true));
    return out;
}

std::string MVVCFController::vcardEscape(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        switch (c) {
            case '\\': out += "\\\\"; break;
            case ',': out += "\\,"; break;
            case ';': out += "\\;"; break;
            case '\r':
                if (i + 1 < value.size() && value[i + 1] == '\n') ++i;
                out += "\\n";
                break;
            case '\n': out += "\\n"; break;
            default: out += c;
        }
    }
    return out;
}

namespace {

std::string trimmed(std::string_view text) {
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    return std::string(text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1));
}

// The separate values of a multi-valued field, blank ones left out. A record
// that carries only the joined text (one made without the extractor's list)
// gives that text whole, or split at spaces when no value can hold one.
std::vector<std::string> fieldValues(const std::vector<std::string>& list, const Text& joined, bool splitAtSpaces) {
    std::vector<std::string> out;
    if (!list.empty()) {
        for (const auto& v : list) {
            if (!trimmed(v).empty()) out.push_back(v);
        }
        return out;
    }
    const std::string whole = trimmed(textOrEmpty(joined));
    if (whole.empty()) return out;
    if (!splitAtSpaces) return {whole};
    std::size_t pos = 0;
    while (pos < whole.size()) {
        const std::size_t end = std::min(whole.find(' ', pos), whole.size());
        if (end > pos) out.push_back(whole.substr(pos, end - pos));
        pos = end + 1;
    }
    return out;
}

// The structured name: family; given; additional names; prefix; suffix, each
// part escaped on its own so the separators stay separators. A record made
// without the parts files its whole name as the given name, which an address
// book shows and sorts as typed rather than as a surname.
std::string structuredName(const MVContactNode& c) {
    const auto part = [](const Text& value) { return MVVCFController::vcardEscape(trimmed(textOrEmpty(value))); };
    if (c.contactFirstName || c.contactMiddleName || c.contactLastName)
        return part(c.contactLastName) + ";" + part(c.contactFirstName) + ";" + part(c.contactMiddleName) + ";;";
    return ";" + part(c.contactName) + ";;;";
}

}  // namespace

const char* MVVCFController::pictureType(const ByteBuffer& bytes) {
    const auto starts = [&](std::initializer_list<std::uint8_t> magic) {
        return bytes.size() >= magic.size() && std::equal(magic.begin(), magic.end(), bytes.begin());
    };
    if (starts({0xFF, 0xD8, 0xFF})) return "JPEG";
    if (starts({0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'})) return "PNG";
    if (starts({'G', 'I', 'F', '8', '7', 'a'}) || starts({'G', 'I', 'F', '8', '9', 'a'})) return "GIF";
    return nullptr;
}

std::string MVVCFController::cardText(const MVContactNode& c) {
    const auto line = [](std::string& card, const std::string& name, std::string_view value) {
        card += name + ":" + vcardEscape(value) + "\r\n";
    };
    const std::vector<std::string> phones = fieldValues(c.contactPhoneValues, c.contactPhone, false);
    const std::vector<std::string> emails = fieldValues(c.contactEmailValues, c.contactEmail, true);
    const std::vector<std::string> pages = fieldValues(c.contactHomepageValues, c.contactHomepage, true);
    const std::string company = trimmed(textOrEmpty(c.contactCompany));

    // An address book shows a card by its formatted name, which every card must have.
    std::string formatted = trimmed(textOrEmpty(c.contactName));
    if (formatted.empty()) formatted = company;
    if (formatted.empty() && !phones.empty()) formatted = trimmed(phones.front());
    if (formatted.empty() && !emails.empty()) formatted = trimmed(emails.front());
    if (formatted.empty()) formatted = "Unknown";

    std::string card = "BEGIN:VCARD\r\nVERSION:3.0\r\n";
    card += "N:" + structuredName(c) + "\r\n";
    line(card, "FN", formatted);
    if (!company.empty()) line(card, "ORG", company);
    for (std::size_t i = 0; i < emails.size(); ++i)
        line(card, i == 0 ? "EMAIL;INTERNET;HOME;PREF" : "EMAIL;INTERNET;HOME", emails[i]);
    for (std::size_t i = 0; i < phones.size(); ++i) line(card, i == 0 ? "TEL;CELL;PREF" : "TEL;CELL", phones[i]);
    for (const auto& page : pages) line(card, "URL", page);
    if (c.imageData && !c.imageData->empty()) {
        const char* type = pictureType(*c.imageData);
        card += std::string("PHOTO;ENCODING=b") + (type ? std::string(";TYPE=") + type : std::string()) + ":" +
                base64(*c.imageData) + "\r\n";
    }
    card += "END:VCARD";
    return card;
}

output::WriteResult MVVCFController::creatFile(const MVContactNode& contact, const std::string& filePath) {
    std::string folderPath, name, error;
    output::splitPath(filePath, folderPath, name);
    output::OutputDir folder = output::OutputDir::create(folderPath, error);
    if (!folder.valid()) return {false, filePath, error};
    return creatFile(contact, folder, output::safeFileName(name));
}

output::WriteResult MVVCFController::creatFile(const MVContactNode& contact, output::OutputDir& folder,
                                               const std::string& safeName) {
    strContent = cardText(contact);
    return folder.placeBytes(safeName, strContent);
}

}  // namespace salvor
