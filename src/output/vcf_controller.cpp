#include "output/vcf_controller.h"

#include <openssl/evp.h>

#include <cstring>

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

std::string MVVCFController::cardText(const MVContactNode& c) {
    auto value = [](const Text& t) { return vcardEscape(output::shown(t)); };
    std::string card = "BEGIN:VCARD\r\nVERSION:3.0\r\n";
    card += "N:" + value(c.contactName) + "\r\n";
    card += "ORG:" + value(c.contactCompany) + "\r\n";
    card += "EMAIL;INTERNET;HOME;PREF:" + value(c.contactEmail) + "\r\n";
    card += "TEL;CELL;PREF:" + value(c.contactPhone) + "\r\n";
    card += "URL:" + value(c.contactHomepage) + "\r\n";
    if (c.imageData) card += "PHOTO;ENCODING=b;TYPE=JPEG:" + base64(*c.imageData) + "\r\n";
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
