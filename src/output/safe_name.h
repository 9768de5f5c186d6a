// Every output path made from record fields goes through safeFileName: record
// texts come from the backup and may hold separators, "..", control bytes or
// names longer than a file system allows.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace salvor::output {

// The longest file name (in bytes) that common file systems accept.
constexpr std::size_t kMaxNameBytes = 255;

// Turns one record field into a single file name: path separators, control
// characters and invalid UTF-8 bytes become "_"; leading dots and spaces and
// trailing spaces and dots are dropped, so the file is never hidden; a name
// that is then empty becomes "unnamed"; the name is shortened (never inside a UTF-8 sequence,
// keeping a short extension) so that it and `extension` fit in kMaxNameBytes.
// `extension` (".vcf", ".html") is appended as given and must itself be safe.
std::string safeFileName(std::string_view field, std::string_view extension = {});

// Splits a slash-separated relative path from a record (a manifest's
// domain/relative path) into safe components: empty, "." and ".." parts are
// dropped and every other part is made safe as by safeFileName, but keeps
// its dots and spaces (these are the device's own file names).
std::vector<std::string> safeRelativePath(std::string_view path);

// The n-th name for a clash (n >= 2): "Ann.vcf" → "Ann (2).vcf", still
// within kMaxNameBytes. n <= 1 returns the name unchanged.
std::string numberedName(const std::string& safeName, unsigned n);

// Splits a name into stem and extension (".jpg"); a leading dot or an
// extension longer than 16 bytes is not treated as one.
void splitExtension(std::string_view name, std::string_view& stem, std::string_view& extension);

}  // namespace salvor::output
