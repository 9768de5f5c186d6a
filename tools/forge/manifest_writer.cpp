// Stored-file names, the "Manifest.mbdb" writer and the small classification
// helpers the forge needs to predict what a scan reports. These are written
// independently of the reader on purpose: the forge is the reader's referee.
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <stdexcept>

#include "forge/forge.h"

namespace salvor::forge {
namespace {

std::array<unsigned char, 20> sha1Of(const void* data, std::size_t size) {
    std::array<unsigned char, 20> out{};
    unsigned int len = 0;
    if (EVP_Digest(data, size, out.data(), &len, EVP_sha1(), nullptr) != 1 || len != out.size())
        throw std::runtime_error("forge: SHA-1 digest could not be computed");
    return out;
}

void putU8(std::vector<std::uint8_t>& out, std::uint8_t v) { out.push_back(v); }
void putU16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v));
}
void putU32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}
void putU64(std::vector<std::uint8_t>& out, std::uint64_t v) {
    for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

void putString(std::vector<std::uint8_t>& out, const std::string& s) {
    // 0xFFFF is the "absent" marker, so the longest present string is one byte shorter.
    if (s.size() >= 0xFFFF) throw std::runtime_error("forge: manifest string too long: " + s.substr(0, 60));
    putU16(out, static_cast<std::uint16_t>(s.size()));
    out.insert(out.end(), s.begin(), s.end());
}
void putAbsent(std::vector<std::uint8_t>& out) { putU16(out, 0xFFFF); }

// Extension lists of the media step, upper case, in the reader's order.
constexpr const char* kPictures[] = {
    "3DM", "3DMF", "3DS", "ABM", "AFX", "AI", "ANI", "ART", "ARW", "BLD", "BLEND", "BMP", "BOO", "BR5",
    "CDR", "CDR", "CDT", "CGM", "CIFF", "CLP", "CMX", "CONT", "CPT", "CR2", "CRW", "CUR", "CVX", "DCM",
    "DCR", "DCR", "DIB", "DNG", "DRW", "DS4", "DSC", "DT2", "DWF", "DWG", "EMF", "EMZ", "ERF", "FH8",
    "FLC", "FOV", "FPF", "FPX", "FUJI", "FXG", "GIF", "HDP", "HPI", "ICNS", "ICO", "IDML", "IFF", "IMG",
    "INX", "IPX", "ISD", "ITC2", "IV", "JP2", "JPEG", "JPG", "JPX", "K25", "KDC", "LBM", "MA", "MAX",
    "MB", "MDI", "MDL", "MDX", "MINO", "MNG", "MOS", "MRW", "MSP", "NCR", "NEF", "OBJ", "ORF", "PAL",
    "PAT", "PBM", "PCS", "PCT", "PCX", "PEF", "PGM", "PIC", "PICT", "PICTCLIPPING", "PNG", "PPM", "PSD",
    "PSP", "PSPIMGE", "PTX", "PXN", "QXD", "RAF", "RAS", "RAW", "RELS", "RGB", "RLE", "RTD", "SCT", "SHP",
    "SKF", "SKP", "SR2", "SRF", "STP", "SVG", "SVGZ", "TEX", "TGA", "THM", "TIF", "TIFF", "VWX", "WB1",
    "WBC", "WBD", "WBMP", "WBZ", "WEBP", "WMF", "WP", "WPG", "X3F", "XBM", "XCF", "XPM", "XPS", "HEIC", "HEIF"};
constexpr const char* kVideos[] = {
    "3G2", "3GP", "ANM", "ASF", "ASX", "AVI", "AVS", "CLK", "CPI", "DIVX", "DMSM", "DREAM", "DVDMEDIA",
    "DVM", "DVR-MS", "DXR", "F4V", "FBR", "FLA", "FLV", "HDMOV", "M2P", "M2TS", "M4P", "M4V", "MKV",
    "MOD", "MOI", "MOV", "MP4", "MPE", "MPEG", "MPG", "MXF", "OGM", "PSH", "QT", "QTM", "RCPROJECT", "RM",
    "RMVB", "SCM", "SMIL", "SMJPEG", "SRT", "STX", "SWF", "TIX", "TS", "VOB", "VRO", "WMV", "WTV", "XVID",
    "YUV"};
constexpr const char* kAudio[] = {
    "RAM", "RFL", "RMI", "RNS", "RPS", "SIB", "SND", "VPM", "WAV", "WMA", "AA3", "AAC", "AC3",
    "AFC", "AIF", "AIFF", "AM", "AT3", "AU", "CAF", "CDA", "CPF", "DMSA", "DMSE", "DSS", "EMP",
    "EMX", "FLAC", "KPI", "M3D", "M4A", "M4R", "MID", "MIDI", "MP3", "OGG", "OMF", "PTF"};
static_assert(std::size(kPictures) == 140 && std::size(kVideos) == 55 && std::size(kAudio) == 38);

template <std::size_t N>
bool listed(const char* const (&list)[N], const std::string& upper) {
    return std::any_of(std::begin(list), std::end(list), [&](const char* e) { return upper == e; });
}

}  // namespace

std::string storedName(const std::string& domain, const std::string& path) {
    const std::string text = domain + "-" + path;
    const auto digest = sha1Of(text.data(), text.size());
    std::string hex;
    hex.reserve(40);
    char buf[3];
    for (unsigned char b : digest) {
        std::snprintf(buf, sizeof buf, "%02x", b);
        hex += buf;
    }
    return hex;
}

std::vector<std::uint8_t> manifestBytes(const std::vector<FileEntry>& files, const std::vector<std::string>& digests) {
    std::vector<std::uint8_t> out = {0x6D, 0x62, 0x64, 0x62, 0x05, 0x00};
    std::uint64_t inode = 0x10000;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const FileEntry& f = files[i];
        putString(out, f.domain);
        putString(out, f.path);
        if (f.kind == FileEntry::Kind::Link) putString(out, f.linkTarget); else putAbsent(out);
        if (f.kind == FileEntry::Kind::File) {
            if (i < digests.size() && !digests[i].empty()) {
                putString(out, digests[i]);
            } else {
                const auto d = sha1Of(f.content.data(), f.content.size());
                putString(out, std::string(d.begin(), d.end()));
            }
        } else {
            putAbsent(out);
        }
        putAbsent(out);  // no encryption key: the backups are not encrypted

        std::uint16_t mode = 0;
        std::uint64_t size = 0;
        std::uint8_t protection = 0;
        switch (f.kind) {
        case FileEntry::Kind::File:
            mode = 0x8000 | 0644;
            size = std::max<std::uint64_t>(f.syntheticSize, f.content.size());
            protection = f.domain == "KeychainDomain" ? 3 : 4;
            break;
        case FileEntry::Kind::Directory: mode = 0x4000 | 0755; break;
        case FileEntry::Kind::Link: mode = 0xA000 | 0755; break;
        }
        if (f.properties.size() > 255) throw std::runtime_error("forge: too many properties on " + f.path);
        putU16(out, mode);
        putU64(out, inode++);
        putU32(out, 501);  // uid "mobile"
        putU32(out, 501);  // gid "mobile"
        putU32(out, f.mtime);
        putU32(out, f.mtime);
        putU32(out, f.mtime);
        putU64(out, size);
        putU8(out, protection);
        putU8(out, static_cast<std::uint8_t>(f.properties.size()));
        for (const auto& [name, value] : f.properties) {
            putString(out, name);
            putString(out, value);
        }
    }
    return out;
}

std::string sizeText(std::uint64_t bytes) {
    // Single precision on purpose: the reader's texts are rounded that way.
    float v = static_cast<float>(bytes);
    const char* unit = "B";
    if (bytes <= 999ULL) {
    } else if (bytes <= 999999ULL) {
        v = v / 1000.0f;
        unit = "K";
    } else if (bytes <= 999999999ULL) {
        v = v / 1000.0f / 1000.0f;
        unit = "M";
    } else if (bytes <= 999999999999ULL) {
        v = v / 1000.0f / 1000.0f / 1000.0f;
        unit = "G";
    } else {
        v = v / 1000.0f / 1000.0f / 1000.0f / 1000.0f;
        unit = "T";
    }
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.2f%s", static_cast<double>(v), unit);
    return buf;
}

int mediaKind(const std::string& relativePath) {
    const auto slash = relativePath.rfind('/');
    const std::string last = slash == std::string::npos ? relativePath : relativePath.substr(slash + 1);
    const auto dot = last.rfind('.');
    if (dot == std::string::npos) return -1;
    std::string ext = last.substr(dot + 1);
    if (ext.empty()) return -1;
    for (char& c : ext) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (listed(kPictures, ext)) return 0;
    if (listed(kAudio, ext) || listed(kVideos, ext)) return 1;
    return -1;
}

}  // namespace salvor::forge
