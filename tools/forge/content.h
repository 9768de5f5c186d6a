// Small, realistic-looking file contents for the forge's media and application
// files: just enough of each format's header that a viewer or `file` would
// recognise it, followed by deterministic filler.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "forge/forge.h"

namespace salvor::forge {

using Bytes = std::vector<std::uint8_t>;

// Header of a JPEG (start of image, JFIF marker, start of scan); `body` filler
// bytes and the end-of-image marker follow when `withTail` is true.
Bytes jpegBytes(Rng& rng, std::size_t body, bool withTail = true);
// PNG signature and a correct IHDR chunk, an IDAT chunk of `body` bytes and IEND.
Bytes pngBytes(Rng& rng, std::size_t body);
// QuickTime: "ftyp" and "wide" atoms and an "mdat" atom running to the end of
// the file; `body` bytes of it are included.
Bytes quickTimeBytes(Rng& rng, std::size_t body, const char brand[4] = "qt  ");
// An MP3 file: an ID3v2 tag and `frames` MPEG audio frames.
Bytes mp3Bytes(Rng& rng, int frames);
// A property list holding one dictionary of a few strings and numbers, as XML.
Bytes plistBytes(Rng& rng, const std::string& identifier);
// A property list (a libplist node) as XML or binary bytes.
Bytes serialisePlist(void* root, bool binary);
// A real SQLite database with one small table, built in `scratchDir`.
Bytes sqliteBytes(Rng& rng, const std::string& scratchDir, const std::string& table);
// Printable filler text.
Bytes textBytes(Rng& rng, std::size_t size);
// Uniform pseudo-random bytes.
void fillRandom(Rng& rng, std::uint8_t* data, std::size_t size);
// A backup time as the backup list shows it: local "YYYY-MM-DD HH:MM".
std::string localMinuteText(std::int64_t when);

}  // namespace salvor::forge
