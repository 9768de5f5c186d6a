// The deleted-messages scan over any bytes taken as a message database, in
// each of its three layouts. A header the image refuses is replaced by a
// 512-byte page size so that the carving still runs over the rest. Every
// carved message must hold valid text no longer than a page can give.
#include <any>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "carve/deleted_messages.h"
#include "core/events.h"
#include "core/scan_context.h"
#include "core/utf8.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace salvor;
    std::vector<std::uint8_t> file(data, data + size);
    auto image = carve::PageImage::open(file, "fuzz");
    if (!image) {
        if (file.size() < 19) file.resize(19, 0);
        file[16] = 0x02;
        file[17] = 0x00;
        image = carve::PageImage::open(file, "fuzz");
        check(image.has_value());
    }
    // The newer layout, then the two older ones (byte 18 as given, then flipped).
    for (int layout = 0; layout < 3; ++layout) {
        NotificationCenter nc;
        ScanContext ctx(nc);
        ctx.currentNodeIsiOS6Version = layout == 0;
        auto live = std::make_shared<MVChatMessageNode>();
        live->rowid = 1, live->phoneValue = std::string("+14155550101");
        ctx.chatMessageArray.push_back(live);
        if (layout == 2 && file.size() > 18) file[18] = file[18] == 2 ? 1 : 2;
        nc.addObserver(events::ScanDelMessageInfo, [&](const std::any& o) {
            const auto m = std::any_cast<MessagePtr>(o);
            for (const Text* t : {&m->messageContent, &m->messagePhone, &m->messageDate}) {
                check(utf8::isValid(textOrEmpty(*t)));
                check(textOrEmpty(*t).size() <= 3 * std::size_t{image->pageSize()});
            }
        });
        const auto pages = carve::PageImage::open(file, "fuzz");
        if (pages) DelMessageScan(ctx, *pages).run();
    }
    return 0;
}
