// index.html: one page at the top of the destination that opens the whole
// recovery in any browser, without script, through relative links only.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "output/recovery_run.h"

namespace salvor::output {

// The page for a run over `source` that wrote what `report` says, made at `when`.
std::string indexPage(const RecoverySource& source, const RecoveryReport& report, std::chrono::sys_seconds when);

// A path relative to the destination as a link: each component percent-encoded.
std::string relativeLink(std::string_view path);

// Width and height of a JPEG, PNG or GIF file from its first bytes; false
// when the file is none of them or cannot be read.
bool pictureSize(const std::string& path, int& width, int& height);

}  // namespace salvor::output
