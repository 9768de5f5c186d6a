// Contact names for phone numbers, as the call and message stages show them:
// a number matches a contact when the middle part of the shorter of the two
// (digits and letters only) occurs in the longer.
#pragma once

#include <cstddef>
#include <vector>

#include "core/records.h"

namespace salvor {

// A lookup's answer: the contact's name and picture together, so nothing is
// left behind for the next lookup to pick up.
struct ContactMatch {
    Text name;
    Bytes picture;
    bool found = false;
};

class ContactIndex {
public:
    ContactIndex() = default;
    // Reads `contacts` as it is at each lookup (the live contacts of the scan).
    explicit ContactIndex(const std::vector<ContactPtr>& contacts) : contacts_(&contacts) {}

    // The first contact whose key matches; `minKey` is the shortest key length accepted.
    ContactMatch find(const Text& phone, std::size_t minKey) const;
    // Name only, any key length (call history).
    Text getNameByPhoneNumber(const Text& phone) const;
    // Name and picture, keys of at least 6 characters (messages). `withData` is not read.
    ContactMatch getNameByPhoneNumber(const Text& phone, const void* withData) const;

private:
    const std::vector<ContactPtr>* contacts_ = nullptr;
};

}  // namespace salvor
