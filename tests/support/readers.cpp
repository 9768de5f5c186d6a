#include "support/readers.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

namespace salvor::test {

namespace {
std::string reader(const char* name) { return std::string(SALVOR_SOURCE_DIR) + "/tests/support/readers/" + name; }

nlohmann::json runReader(const std::string& command) {
    const ShellResult r = shell(command, false);
    EXPECT_EQ(r.status, 0) << command << "\n" << r.out;
    return nlohmann::json::parse(r.out, nullptr, false);
}
}  // namespace

std::string quoted(const std::string& path) {
    std::string out = "'";
    for (char c : path) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

ShellResult shell(const std::string& command, bool withErrors) {
    ShellResult result;
    std::FILE* pipe = ::popen((command + (withErrors ? " 2>&1" : "")).c_str(), "r");
    if (!pipe) return result;
    char buf[65536];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) result.out.append(buf, n);
    const int status = ::pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

nlohmann::json readIcs(const std::string& path) {
    return runReader("/usr/bin/python3 " + quoted(reader("read_ics.py")) + " " + quoted(path));
}

nlohmann::json readCsv(const std::vector<std::string>& paths) {
    std::string command = "/usr/bin/python3 " + quoted(reader("read_csv.py"));
    for (const auto& p : paths) command += " " + quoted(p);
    return runReader(command);
}

nlohmann::json checkLinks(const std::string& page) {
    return runReader("/usr/bin/python3 " + quoted(reader("check_links.py")) + " " + quoted(page));
}

std::string pdfText(const std::string& path, bool byLayout) {
    const ShellResult r = shell(std::string("pdftotext ") + (byLayout ? "-layout " : "") + "-enc UTF-8 " + quoted(path) + " -", false);
    EXPECT_EQ(r.status, 0) << path;
    return r.out;
}

std::string pdfBodyText(const std::string& path, bool byLayout) {
    const std::string text = pdfText(path, byLayout);
    std::string out;
    std::size_t page = 0, start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find('\f', start), text.size());
        std::istringstream lines(text.substr(start, end - start));
        bool titleSkipped = page == 0;
        for (std::string line; std::getline(lines, line);) {
            if (!titleSkipped && !line.empty()) {
                titleSkipped = true;
                continue;
            }
            const std::size_t from = std::min(line.find_first_not_of(' '), line.size());
            const std::string bare = line.substr(from, line.find_last_not_of(' ') + 1 - from);
            if (bare.rfind("Page ", 0) == 0 && bare.size() > 5 && bare.find_first_not_of("0123456789", 5) == std::string::npos)
                continue;
            out += line + "\n";
        }
        ++page;
        start = end + 1;
    }
    return out;
}

int pdfPages(const std::string& path) {
    const ShellResult r = shell("pdfinfo " + quoted(path), false);
    EXPECT_EQ(r.status, 0) << path;
    const auto at = r.out.find("Pages:");
    return at == std::string::npos ? -1 : std::atoi(r.out.c_str() + at + 6);
}

}  // namespace salvor::test
