// Diagnostic log: the short lines that stages write when an input is missing
// or a step fails. The CLI shows them on stderr at --verbose; tests capture them.
#pragma once

#include <functional>
#include <string>

namespace salvor::log {

enum class Level { Error = 0, Info = 1, Debug = 2 };

// Writes one diagnostic line (no trailing newline needed).
void line(const std::string& text, Level level = Level::Info);
// Where lines go; by default lines at Error level go to stderr and others are dropped.
void setSink(std::function<void(Level, const std::string&)> sink);
void setVerbosity(Level maxLevel);

}  // namespace salvor::log
