// The documents a recovery run writes besides the classic ones, for a large
// selection: 100,000 messages in 4,000 conversations (some with commas,
// quotes, line breaks, emoji and other scripts), with contacts, calls, notes,
// bookmarks and calendar events beside them. Each format is written alone, in
// a child process, and its wall time and peak memory growth are printed; the
// printable conversations must stay bounded in memory however many there are.
//
//   bench_export [--messages N] [--conversations N] [--formats csv,ics,html,pdf,classic] [work folder]
//
// A work folder named on the command line is kept, to look at what was written.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <iterator>
#include <memory>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "output/recovery_run.h"
#include "peak_memory.h"

#if __has_include("conversation_pdf.h")
#include "conversation_pdf.h"
#define BENCH_HAVE_PDF 1
#endif

namespace {

namespace fs = std::filesystem;
using namespace salvor;

Timestamp dateText(long minutes) { return Timestamp(std::chrono::seconds(1357000000 + minutes * 60)); }

RecoverySource selection(int messages, int conversations) {
    RecoverySource s;
    s.device = std::make_shared<MVIOSDeviceNode>();
    s.device->strDeviceName = "Bench phone";
    static const char* const kTexts[] = {
        "On my way, see you at 7", "Bought milk, eggs, bread", "He said \"maybe\" and left",
        "Line one\nline two\nline three", "=SUM(A1:A9) is not a formula here", "Happy birthday! \xF0\x9F\x8E\x89\xF0\x9F\x8E\x82",
        "\xE6\x98\x8E\xE5\xA4\xA9\xE8\xA7\x81", "\xD9\x85\xD8\xB1\xD8\xAD\xD8\xA8\xD8\xA7",
        "A longer message that wraps over several lines in a bubble, so that the page fills faster and the "
        "layout has real work to do on every one of them."};
    const int per = std::max(1, messages / std::max(1, conversations));
    long minute = 0;
    for (int c = 0; c < conversations; ++c) {
        auto conv = std::make_shared<MVMessageTreeNode>();
        conv->messageTreeNodeName = "Person " + std::to_string(c);
        conv->messageTreeNodeAdress = "+1555" + std::to_string(1000000 + c);
        conv->bSelected = 1;
        for (int m = 0; m < per; ++m) {
            auto msg = std::make_shared<MVMessageNode>();
            msg->messageContent = kTexts[(c + m) % std::size(kTexts)];
            msg->messageDate = dateText(minute += 7);
            msg->messageType = m % 2 ? "Send" : "Received";
            msg->messageName = *conv->messageTreeNodeName;
            msg->messagePhone = *conv->messageTreeNodeAdress;
            msg->bDeleted = (m % 17) == 0;
            conv->MessageNodeArray.push_back(std::move(msg));
        }
        s.messageTreeArray.push_back(std::move(conv));
    }
    for (int i = 0; i < 5000; ++i) {
        auto contact = std::make_shared<MVContactNode>();
        contact->contactName = "Person " + std::to_string(i);
        contact->contactPhoneValues = {"+1555" + std::to_string(1000000 + i), "555-0100"};
        contact->bSelected = 1;
        s.contactArray.push_back(contact);
        auto call = std::make_shared<MVCallHistoryNode>();
        call->callName = contact->contactName;
        call->callPhone = contact->contactPhoneValues[0];
        call->callDate = dateText(i * 13);
        call->callTime = i % 600;
        call->bSelected = 1;
        s.callHistoryArray.push_back(call);
        auto event = std::make_shared<MVCalendarNode>();
        event->calTitle = "Meeting, room " + std::to_string(i % 40);
        event->startDate = dateText(i * 60);
        event->endDate = dateText(i * 60 + 45);
        event->bSelected = 1;
        s.calendarArray.push_back(event);
    }
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    int messages = 100000, conversations = 4000;
    std::string formats = "csv,ics,html,classic,pdf";
    fs::path work = fs::temp_directory_path() / ("salvor-bench-export-" + std::to_string(::getpid()));
    bool keep = false;  // a folder named on the command line is left for a look
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--messages" && i + 1 < argc) messages = std::atoi(argv[++i]);
        else if (a == "--conversations" && i + 1 < argc) conversations = std::atoi(argv[++i]);
        else if (a == "--formats" && i + 1 < argc) formats = argv[++i];
        else {
            work = a;
            keep = true;
        }
    }
    const RecoverySource source = selection(messages, conversations);
    std::printf("%d messages in %d conversations, 5000 contacts, calls and events\n", messages, conversations);
    std::printf("%-8s %10s %14s %10s\n", "format", "seconds", "peak MiB", "files");
    std::size_t at = 0;
    while (at <= formats.size()) {
        const std::size_t comma = std::min(formats.find(',', at), formats.size());
        const std::string word = formats.substr(at, comma - at);
        at = comma + 1;
        std::string why;
        const auto parsed = parseExportFormats(word, why);
        if (!parsed) {
            std::fprintf(stderr, "bench_export: %s\n", why.c_str());
            return 2;
        }
        const fs::path dest = work / word;
        double wall = -1;
        std::size_t files = 0;
        int pipeFds[2];
        if (::pipe(pipeFds) != 0) return 1;
        const long peak = bench_memory::peakGrowthKiB([&] {
            RecoverySource run = source;
            run.exports.formats = *parsed;
#ifdef BENCH_HAVE_PDF
            // Made in the child, where the run is measured.
            if (parsed->pdf) {
                pdf::ensureApplication();
                run.exports.conversationDocument = pdf::conversationPdfWriter();
            }
#endif
            const auto start = std::chrono::steady_clock::now();
            const RecoveryReport report = recoverFiles(run, dest.string());
            const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            std::size_t n = 0;
            for (const auto& f : report.folders) n += f.files;
            const double out[2] = {took, static_cast<double>(n)};
            if (::write(pipeFds[1], out, sizeof out) != sizeof out) std::_Exit(1);
        });
        double in[2] = {-1, 0};
        if (::read(pipeFds[0], in, sizeof in) == sizeof in) {
            wall = in[0];
            files = static_cast<std::size_t>(in[1]);
        }
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        std::printf("%-8s %10.2f %14.1f %10zu\n", word.c_str(), wall, peak < 0 ? -1.0 : peak / 1024.0, files);
        std::fflush(stdout);
    }
    std::error_code ec;
    if (!keep) fs::remove_all(work, ec);
    return 0;
}
