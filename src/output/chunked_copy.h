// Copies of photos, films, backup files and application files: read and
// written through one fixed buffer, so no file is ever held whole in memory.
#pragma once

#include <cstdint>
#include <stop_token>
#include <string>
#include <vector>

#include "output/output_dir.h"

namespace salvor::output {

constexpr std::size_t kCopyChunkBytes = 8u * 1024u * 1024u;

// A reusable copy buffer, allocated on first use.
struct CopyBuffer {
    std::vector<char> bytes;
    char* get() {
        if (bytes.size() < kCopyChunkBytes) bytes.resize(kCopyChunkBytes);
        return bytes.data();
    }
};

// Copies exactly `expectedBytes` from `srcFd` to `dstFd` in chunks of 8 MiB.
// Bytes the source does not supply (it is shorter than recorded) are written
// as zeros; a read or write error ends the copy with its reason. `stop` is
// checked before every chunk: once it is requested the copy ends with
// kWriteStopped, so even a file of gigabytes stops within one chunk.
std::string copyChunked(int srcFd, std::uint64_t expectedBytes, int dstFd, CopyBuffer& buffer,
                        const std::stop_token& stop = {});

// Opens `sourcePath` and copies `expectedBytes` of it into a new file of
// `folder` named `safeName` (numbered on a clash). When `expectedBytes` is
// absent the source's own size is used. A source that cannot be opened
// writes nothing and is reported; a copy stopped through `stop` leaves
// nothing and comes back with `stopped` set.
WriteResult copyFileInto(const std::string& sourcePath, const std::uint64_t* expectedBytes, OutputDir& folder,
                         const std::string& safeName, CopyBuffer& buffer, const std::stop_token& stop = {});

}  // namespace salvor::output
