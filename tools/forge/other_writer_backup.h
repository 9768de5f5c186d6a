// A backup whose category databases come from the second writer
// (tests/support/other_writer/other_writer.py): the C++ forge writes an iOS 6
// or 7 backup, then the address book, message database, call history and
// notes store are replaced, under their stored names, by the files the
// Python writer built with its own order of operations. Carving judged on
// these files is judged on bytes the carver's authors did not lay out.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

namespace salvor::forge {

struct OtherWriterBackup {
    std::string path;     // the backup folder
    nlohmann::json truth;  // the second writer's truth, in the keys the judges read
};

// Writes the backup under `dir` (which must exist). `script` is other_writer.py,
// `schemas` the folder of table layouts. Throws std::runtime_error when the
// writer fails or the forged backup lacks one of the stored files.
OtherWriterBackup forgeOtherWriterBackup(const std::string& dir, std::uint64_t seed, int iosMajor,
                                         const std::string& script, const std::string& schemas);

// The same for an iOS 15 or 17 backup of the iOS 10 and later layout
// (other_writer_modern.py): the message database, address book, notes store
// and Safari's history (on iOS 17 the call log too), each with its
// write-ahead log, replace the forge's
// under the stored names Manifest.db gives them. `schemas` is the folder of
// modern table layouts. The truth is the forge's, with those categories
// replaced (Safari's: the forge's bookmarks and the writer's history).
OtherWriterBackup forgeOtherWriterModernBackup(const std::string& dir, std::uint64_t seed, int iosMajor,
                                               const std::string& script, const std::string& schemas);

}  // namespace salvor::forge
