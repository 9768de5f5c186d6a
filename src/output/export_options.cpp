#include "output/export_options.h"

namespace salvor {

std::optional<ExportFormats> parseExportFormats(std::string_view list, std::string& error) {
    ExportFormats f;
    f.classic = false;
    bool any = false;
    while (true) {
        const std::size_t comma = list.find(',');
        std::string_view word = list.substr(0, comma);
        while (!word.empty() && word.front() == ' ') word.remove_prefix(1);
        while (!word.empty() && word.back() == ' ') word.remove_suffix(1);
        if (word == "classic") f.classic = true;
        else if (word == "ics") f.ics = true;
        else if (word == "csv") f.csv = true;
        else if (word == "pdf") f.pdf = true;
        else if (word == "html") f.html = true;
        else if (word == "all") f = {true, true, true, true, true};
        else {
            error = word.empty() ? "an empty format name" : "unknown format '" + std::string(word) + "'";
            error += " (use classic, ics, csv, pdf, html or all, separated by commas)";
            return std::nullopt;
        }
        any = true;
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    if (!any) return std::nullopt;
    return f;
}

std::string exportFormatsText(const ExportFormats& f) {
    std::string out;
    auto add = [&](bool on, const char* word) {
        if (!on) return;
        if (!out.empty()) out += ',';
        out += word;
    };
    add(f.classic, "classic");
    add(f.ics, "ics");
    add(f.csv, "csv");
    add(f.pdf, "pdf");
    add(f.html, "html");
    return out;
}

}  // namespace salvor
