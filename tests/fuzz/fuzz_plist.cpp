// The property-list adapter on arbitrary bytes, walking whatever it parsed.
#include <cstdint>
#include <string>

#include "platform/plist.h"

namespace {

std::size_t walk(const salvor::plist::Node& node, int depth) {
    std::size_t seen = 1;
    (void)node.asString();
    (void)node.asInteger();
    (void)node.asReal();
    (void)node.asBool();
    (void)node.asData();
    (void)node.asDateUnix();
    (void)node.at(node.size());
    if (depth > 600) return seen;  // the adapter refuses deeper documents
    node.forEach([&](const std::string& key, const salvor::plist::Node& value) {
        if (!key.empty()) (void)node.string(key);
        seen += walk(value, depth + 1);
    });
    return seen;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const salvor::plist::Document doc = salvor::plist::Document::fromBytes(data, size);
    if (doc.empty()) return 0;
    walk(doc.root(), 0);
    (void)doc.rootDict().dict("Lockdown").string("DeviceName");
    return 0;
}
