// Independent readers of the documents a recovery writes for other programs:
// Python's own parsers and the poppler tools, run as separate processes.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace salvor::test {

// Runs a shell command; its standard output (and error, when `withErrors`)
// and exit status.
struct ShellResult {
    int status = -1;
    std::string out;
};
ShellResult shell(const std::string& command, bool withErrors = true);
// A path quoted for the shell.
std::string quoted(const std::string& path);

// The calendar file as python3-icalendar reads it (see readers/read_ics.py).
nlohmann::json readIcs(const std::string& path);
// CSV files as Python's csv module reads them: path → {"rows", "ends_crlf", "bom"}.
nlohmann::json readCsv(const std::vector<std::string>& paths);
// Every link of an HTML page followed from its folder (see readers/check_links.py).
nlohmann::json checkLinks(const std::string& page);
// The text pdftotext takes from a PDF (in reading order), and its page count from pdfinfo.
// With `byLayout`, lines as they stand on the page (pdftotext -layout).
std::string pdfText(const std::string& path, bool byLayout = false);
int pdfPages(const std::string& path);
// pdfText without what repeats on every page: the "Page N" lines, and the
// first line of every page after the first (the running title).
std::string pdfBodyText(const std::string& path, bool byLayout = false);

}  // namespace salvor::test
