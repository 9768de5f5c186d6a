// The carving primitives over any bytes taken as a database file. A header the
// image refuses is replaced by a 512-byte page size so that the probes still
// run over the rest. Every decode writes into a span inside a guarded buffer,
// and every read is compared with the input (or 0 past its end), so a write
// past a destination, a read outside the image or a wrong zero extension aborts.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "carve/carve_primitives.h"

namespace {

namespace carve = salvor::carve;

void check(bool ok) {
    if (!ok) std::abort();
}

constexpr std::uint8_t kGuard = 0xA5;

// The byte the image must show at at + i: the file's, or 0 past its end or past 2^64.
std::uint8_t ref(const std::vector<std::uint8_t>& file, std::uint64_t at, std::uint64_t i = 0) {
    if (at + i < at) return 0;
    return at + i < file.size() ? file[at + i] : 0;
}

// Runs every decoder at `at` into destinations of several sizes inside a guarded buffer.
void decodeAt(const carve::PageImage& image, std::uint64_t at, std::int64_t position, std::int64_t length) {
    for (const std::size_t room : {std::size_t{0}, std::size_t{3}, std::size_t{512}}) {
        std::vector<std::uint8_t> buffer(room + 16, kGuard);
        const std::span<std::uint8_t> dest(buffer.data() + 8, room);
        std::uint64_t dataoff = 0;
        const bool a = carve::AnalyseDBDataFile(image, position, dataoff, at, length, dest);
        check(a ? dataoff > 0 && dataoff <= 121 : dataoff == 0);
        const std::uint64_t before = dataoff;
        carve::AnalyseTheDBDataFile(image, position, dataoff, at, 1, length, dest);
        check(dataoff - before <= 121);
        const std::uint64_t mid = dataoff;
        carve::AnalyseAlterbleDB(image, position, dataoff, at, length, dest);
        check(dataoff - mid <= 2041);
        const std::uint64_t late = dataoff;
        carve::AnalyseAlterbleDBFile(image, position, dataoff, at, 2, length, dest);
        check(dataoff - late <= 2041);
        for (std::size_t i = 0; i < 8; ++i) check(buffer[i] == kGuard && buffer[room + 8 + i] == kGuard);
    }
}

void probeAt(const carve::PageImage& image, const std::vector<std::uint8_t>& file, std::uint64_t at) {
    const std::uint8_t b = ref(file, at);
    check(carve::checkSQliteVersion(image, at) == (b == 2 ? 1 : 0));
    check(carve::bImageURLAlter(image, at) == (b != 9 ? 1 : 0));
    carve::bNoteAlter(image, at);
    carve::IsAlterAboutContent(image, at);
    carve::ISAlterMessageContentFiled(image, at);
    carve::isAlterPropertyField(image, at);
    const int type = carve::getPageType(image, at);
    check(type >= -1 && type <= 4 && (at != 0 || type == -1));
    const std::int64_t back = carve::bSortAlter(image, at);
    check(back == -1 || (back >= 0 && static_cast<std::uint64_t>(back) <= at && ref(file, at - static_cast<std::uint64_t>(back)) == 0));
    const std::int64_t ahead = carve::bIsAlterbleDBFile(image, at, 6);
    check(ahead >= 0 && ref(file, at, static_cast<std::uint64_t>(ahead)) == 0);
    check(carve::bIsAlterbleDBFile(image, at, 2) == (b >= 14 ? 1 : 0));
    const int fl = carve::getFieldLength(image, at);
    check(fl >= 0 && fl <= 2);
    carve::getDeletedMark(image, at, 4, 4);

    std::array<std::uint8_t, 16> out;
    out.fill(kGuard);
    if (carve::readData(image, std::span(out).first(14), at, 14)) {
        for (std::uint64_t i = 0; i < 14; ++i) check(out[i] == ref(file, at, i));
        check(out[14] == kGuard);
    }
    if (const auto hex = carve::getHexString(image, at, 3)) {
        check(hex->size() == 6);
        check(carve::valueOfHexDigits(*hex, 2) == ref(file, at));
        carve::getAlterInteger(static_cast<std::uint8_t>(carve::valueOfHexDigits(*hex, 2)),
                               static_cast<std::uint8_t>(carve::valueOfHexDigits(hex->substr(2), 2)));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> file(data, data + size);
    auto image = carve::PageImage::open(file, "fuzz");
    if (!image) {
        if (file.size() < 18) file.resize(18, 0);
        file[16] = 0x02;
        file[17] = 0x00;
        image = carve::PageImage::open(file, "fuzz");
        check(image.has_value());
    }
    const std::uint32_t pageSize = image->pageSize();
    check(pageSize >= 512 && pageSize <= 65536 && (pageSize & (pageSize - 1)) == 0);
    check(image->pageCount() == file.size() / pageSize);

    // The first pages, and one past the end: its bytes all read as 0.
    const std::uint64_t pages = std::min<std::uint64_t>(image->pageCount(), 3) + 1;
    for (std::uint64_t n = 0; n < pages; ++n) {
        const std::uint64_t start = n * pageSize;
        const salvor::ByteReader page = image->page(n);
        check(page.size() == pageSize);
        for (std::uint64_t i = 0; i < pageSize; i += 97)
            check(*page.peekU8(i) == (n < image->pageCount() ? ref(file, start, i) : 0));

        const std::uint64_t span = std::min<std::uint64_t>(pageSize, 1024);
        const auto hex = carve::getHexString(*image, start == 0 ? 100 : start, span);
        check(hex && hex->size() == 2 * span);
        // The windows, against the literal rule: every half-byte start up to
        // but not including (length - w), each window tested on its own.
        const std::string_view head = std::string_view(*hex).substr(0, 96);
        for (const std::int64_t w : {0, 8, 10, 16}) {
            auto literal = [&](auto test) {
                for (std::size_t i = 0; i + static_cast<std::size_t>(w) < head.size(); ++i)
                    if (test(head.substr(i, static_cast<std::size_t>(w)))) return 1;
                return 0;
            };
            for (int kind = 0; kind <= 7; ++kind)
                check(carve::bcheckSubStringIsValid(head, kind, w) ==
                      literal([&](std::string_view v) { return carve::bCheckDataIsValid(v, kind) == 1; }));
            check(carve::bcheckChatIOS6SubStringIsValid(head, w) ==
                  literal([](std::string_view v) { return v.starts_with("0600"); }));
            check(carve::bcheckMessageIOS6SubStringIsValid(head, w) == literal([](std::string_view v) {
                      for (const char* p : {"0800010000", "0800010011", "0800020011", "0800020000", "0800090011"})
                          if (v.starts_with(p)) return true;
                      return false;
                  }));
        }
        carve::bcheckSubStringIsValid(*hex, static_cast<int>(n % 6) + 1, 16);
        carve::bcheckChatIOS6SubStringIsValid(*hex, 8);
        carve::bcheckMessageIOS6SubStringIsValid(*hex, 16);

        std::vector<std::uint8_t> bytes(span);
        image->copy(start, bytes);
        const std::string text = carve::GetLastPageStringWithChar(bytes);
        check(text.size() == span);
        if (text.size() > 8) carve::getNextSubStringInString(text, text.substr(text.size() / 2, 3));

        // Probes and decoders at a spread of positions, record headers included.
        for (std::uint64_t i = 0; i < span; i += (i < 64 ? 1 : 17)) {
            probeAt(*image, file, start + i);
            if (i % 5 == 0)
                decodeAt(*image, start + i, static_cast<std::int64_t>(i % 7), 5 + static_cast<std::int64_t>(i % 11));
        }
    }
    // Offsets at and around the ends of the file and of the offset range.
    for (const std::uint64_t at : {std::uint64_t{0}, std::uint64_t{file.size() - 1}, std::uint64_t{file.size()},
                                   std::uint64_t{file.size() + 1}, UINT64_MAX - 1, UINT64_MAX}) {
        probeAt(*image, file, at);
        decodeAt(*image, at, INT64_MAX, INT64_MIN);
        decodeAt(*image, at, -3, 2);
    }
    return 0;
}
