// The vCard writer: one vCard 3.0 file per contact.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/records.h"
#include "output/output_dir.h"

namespace salvor {

class MVVCFController {
public:
    // The standard Base64 alphabet, which the card's picture uses.
    static constexpr const char* kBase64Alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

    std::string strContent;

    // Builds the card into strContent and writes it to `filePath` (a name
    // already taken gets the next number; nothing is replaced).
    output::WriteResult creatFile(const MVContactNode& contact, const std::string& filePath);
    output::WriteResult creatFile(const MVContactNode& contact, output::OutputDir& folder, const std::string& safeName);

    // The card's text: CR LF after every line but the last. Every card has
    // N (family, given and additional names from the record's name parts, or
    // the whole name as the given name) and FN; each phone number, e-mail address and home page has a line of
    // its own, and a field without a value has no line.
    static std::string cardText(const MVContactNode& contact);
    // The picture's format by its first bytes ("JPEG", "PNG", "GIF"); null when unknown.
    static const char* pictureType(const ByteBuffer& bytes);

    // Base64 of `src` with the 64-character `charset`, "=" padded when
    // `padded`. Returns the characters written, 0 when an input is empty or
    // missing or `destLen` is too small (4 per started group of 3 bytes).
    static std::size_t baseEncode(const std::uint8_t* src, std::size_t srcLen, char* destBytes, std::size_t destLen,
                                  const char* charset, bool padded);
    static std::string base64(const ByteBuffer& bytes);

    // A text value as vCard 3.0 needs it: backslash, comma and semicolon
    // escaped with a backslash, line breaks written as "\n".
    static std::string vcardEscape(std::string_view value);
};

}  // namespace salvor
