// The JSON writer on arbitrary bytes: whatever a backup holds in its texts,
// the document written must parse, and every text must come back with its
// valid UTF-8 intact.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "cli/json_writer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The first byte chooses how deep the text sits (up to 300 levels, past
    // the indented depth), the rest is the text, used as a key and a value.
    const std::size_t depth = data[0] % 301;
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

    char* buffer = nullptr;
    std::size_t length = 0;
    std::FILE* out = open_memstream(&buffer, &length);
    if (!out) return 0;
    {
        salvor::cli::JsonWriter w(out);
        for (std::size_t i = 0; i < depth; ++i) {
            w.beginObject();
            w.key(text);
        }
        w.beginArray();
        w.string(text);
        w.number(static_cast<long long>(size) * -7);
        w.null();
        w.endArray();
        for (std::size_t i = 0; i < depth; ++i) w.endObject();
        if (!w.finish()) std::abort();
    }
    std::fclose(out);
    const std::string document(buffer, length);
    std::free(buffer);

    nlohmann::json parsed;
    try {
        parsed = nlohmann::json::parse(document);
    } catch (const std::exception&) {
        std::abort();  // the one thing the writer must never do: write invalid JSON
    }
    const nlohmann::json* at = &parsed;
    for (std::size_t i = 0; i < depth; ++i) {
        if (!at->is_object() || at->size() != 1) std::abort();
        at = &at->begin().value();
    }
    if (!at->is_array() || at->size() != 3 || !(*at)[0].is_string()) std::abort();
    // Text that is valid UTF-8 comes back unchanged.
    const std::string back = (*at)[0].get<std::string>();
    bool valid = true;
    try {
        (void)nlohmann::json(std::string(text)).dump();
    } catch (const std::exception&) {
        valid = false;
    }
    if (valid && back != text) std::abort();
    return 0;
}
