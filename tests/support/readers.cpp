#include "support/readers.h"

#include <gtest/gtest.h>

#include <cstdio>

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

std::string pdfText(const std::string& path) {
    const ShellResult r = shell("pdftotext -enc UTF-8 " + quoted(path) + " -", false);
    EXPECT_EQ(r.status, 0) << path;
    return r.out;
}

int pdfPages(const std::string& path) {
    const ShellResult r = shell("pdfinfo " + quoted(path), false);
    EXPECT_EQ(r.status, 0) << path;
    const auto at = r.out.find("Pages:");
    return at == std::string::npos ? -1 : std::atoi(r.out.c_str() + at + 6);
}

}  // namespace salvor::test
