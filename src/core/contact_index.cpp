#include "core/contact_index.h"

#include <algorithm>
#include <cctype>

namespace salvor {

namespace {

std::string normalisePhone(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s)
        if (c != '-' && c != '(' && c != ')' && c != ' ') out.push_back(c);
    return out;
}

bool containsNoCase(const std::string& hay, const std::string& needle) {
    if (needle.empty() || needle.size() > hay.size()) return false;
    auto it = std::search(hay.begin(), hay.end(), needle.begin(), needle.end(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
    });
    return it != hay.end();
}

// The middle part of a number: from a quarter of its length, a quarter plus a half long.
std::string phoneKey(const std::string& s) {
    const std::size_t L = s.size();
    const std::size_t start = L / 4;
    return s.substr(start, std::min(L - start, L / 4 + L / 2));
}

// Index of the first contact whose numbers share the key with `phone`, or -1.
long matchContact(const std::vector<ContactPtr>& contacts, const Text& phone, std::size_t minKey) {
    const std::string p = normalisePhone(textOrEmpty(phone));
    for (std::size_t i = 0; i < contacts.size(); ++i) {
        const auto& contact = contacts[i];
        if (!contact || textOrEmpty(contact->contactPhone).empty()) continue;
        const std::string c = normalisePhone(*contact->contactPhone);
        const bool keyFromC = c.size() < p.size();
        const std::string key = phoneKey(keyFromC ? c : p);
        if (key.size() < minKey) continue;
        if (containsNoCase(keyFromC ? p : c, key)) return static_cast<long>(i);
    }
    return -1;
}

}  // namespace

ContactMatch ContactIndex::find(const Text& phone, std::size_t minKey) const {
    if (!contacts_) return {};
    const long i = matchContact(*contacts_, phone, minKey);
    if (i < 0) return {};
    const ContactPtr& contact = (*contacts_)[static_cast<std::size_t>(i)];
    return {contact->contactName, contact->imageData, true};
}

Text ContactIndex::getNameByPhoneNumber(const Text& phone) const { return find(phone, 1).name; }

ContactMatch ContactIndex::getNameByPhoneNumber(const Text& phone, const void* /*withData*/) const {
    return find(phone, 6);
}

}  // namespace salvor
