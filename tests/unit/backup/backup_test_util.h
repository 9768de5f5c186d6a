// Helpers for the backup-source tests: a private temporary folder, a small
// manifest writer and a recorder of the events a stage posts.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <any>

#include "backup/device_list.h"
#include "core/scan_context.h"
#include "core/record_collector.h"
#include "core/record_collector.h"
#include "platform/dispatcher.h"
#include "support/support.h"

namespace salvor::testing_backup {

using test::TempDir;

inline void writeFile(const std::string& path, std::string_view bytes) { test::writeFile(path, std::string(bytes)); }
inline void writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    test::writeFile(path, std::string(bytes.begin(), bytes.end()));
}

// Writes "Manifest.mbdb" contents record by record.
class MbdbWriter {
public:
    MbdbWriter() : bytes_{0x6D, 0x62, 0x64, 0x62, 0x05, 0x00} {}

    // A string field; nullopt writes the absent marker 0xFFFF.
    MbdbWriter& str(std::optional<std::string_view> s) {
        if (!s) return length(0xFFFF);
        length(static_cast<std::uint16_t>(s->size()));
        bytes_.insert(bytes_.end(), s->begin(), s->end());
        return *this;
    }
    MbdbWriter& length(std::uint16_t n) {
        bytes_.push_back(static_cast<std::uint8_t>(n >> 8));
        bytes_.push_back(static_cast<std::uint8_t>(n & 0xFF));
        return *this;
    }
    // The 40-byte attribute block whose last byte is the property count.
    MbdbWriter& attributes(std::uint8_t propertyCount) {
        for (int i = 0; i < 39; ++i) bytes_.push_back(static_cast<std::uint8_t>(i));
        bytes_.push_back(propertyCount);
        return *this;
    }
    // One complete record with `properties` name/value pairs.
    MbdbWriter& record(std::optional<std::string_view> domain, std::optional<std::string_view> path,
                       int properties = 0) {
        str(domain).str(path).str(std::nullopt).str("0123456789abcdefghij").str(std::nullopt);
        attributes(static_cast<std::uint8_t>(properties));
        for (int i = 0; i < properties; ++i) str("com.apple.name").str("value");
        return *this;
    }
    MbdbWriter& raw(std::initializer_list<std::uint8_t> b) {
        bytes_.insert(bytes_.end(), b);
        return *this;
    }
    std::vector<std::uint8_t>& bytes() { return bytes_; }
    void save(const std::string& folder) const { writeFile(folder + "/Manifest.mbdb", bytes_); }

private:
    std::vector<std::uint8_t> bytes_;
};

// A stage's context over a sink that keeps what it is given.
struct ScanHarness {
    RecordCollector sink;
    InlineDispatcher dispatcher;
    ScanContext ctx{sink};
    MVIOSDeviceController devices;
    DeviceNodePtr currentNode;
    std::vector<TreeDirPtr>& records = sink.backupFiles;
    std::vector<int>& progress = sink.progressValues;
    std::vector<PhotoPtr>& photos = sink.photos;
    std::vector<FaceTwitterPtr>& social = sink.socialFiles;
    std::vector<std::string>& order = sink.order;  // the sink methods called, in order
};

}  // namespace salvor::testing_backup
