// Message database (both layouts), its attachment files, and the parties that
// messages and calls share.
#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <utility>

#include <plist/plist.h>

#include "forge/db_common.h"

namespace salvor::forge::db {

namespace {

const std::vector<std::string> kUnknownAreas = {"808", "907", "681", "701"};

std::string lowerAscii(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// Either address contains the other: the two would share one conversation.
bool overlaps(const std::string& a, const std::string& b) {
    std::string x = lowerAscii(a), y = lowerAscii(b);
    return x.find(y) != std::string::npos || y.find(x) != std::string::npos;
}

std::string tenDigits(const std::string& stored) {
    std::string d;
    for (char c : stored)
        if (c >= '0' && c <= '9') d += c;
    if (d.size() == 11 && d[0] == '1') d.erase(0, 1);
    return d;
}

}  // namespace

void chooseParties(Context& cx) {
    Rng& rng = cx.rng;
    cx.parties.clear();
    cx.unknownCallers.clear();
    const int nConv = std::max(1, cx.scale.conversations);
    std::vector<std::size_t> known, gone;
    for (std::size_t i = 0; i < cx.people.size(); ++i) {
        if (cx.people[i].phones.empty()) continue;
        (cx.people[i].live ? known : gone).push_back(i);
    }
    for (std::size_t i = known.size(); i > 1; --i) std::swap(known[i - 1], known[rng.below(i)]);
    std::size_t nextKnown = 0;

    auto clash = [&](const std::string& addr) {
        for (const auto& p : cx.parties)
            if (overlaps(p.addr, addr)) return true;
        return false;
    };
    auto unknownParty = [&](Context::Party& p) {
        for (;;) {
            std::string d10 = rng.pick(kUnknownAreas) + digits(rng, 7);
            p.addr = "+1" + d10;
            p.callAddr = d10;
            if (clash(p.addr)) continue;
            if (lookupContact(cx.book, p.addr, true) || lookupContact(cx.book, p.callAddr, false)) continue;
            return;
        }
    };

    for (int k = 0; k < nConv; ++k) {
        Context::Party p;
        bool done = false;
        if (k == 1 && cx.ios >= 5) {
            p.addr = "friend." + std::to_string(k) + "@icloud.example.com";
            p.email = p.imessage = true;
            done = !clash(p.addr) && !lookupContact(cx.book, p.addr, true);
        } else if (k == 4 && !gone.empty()) {
            // A number of a contact that was deleted: nobody's name any more.
            std::size_t who = gone[rng.below(gone.size())];
            std::string d10 = tenDigits(cx.people[who].phones.front());
            p.addr = "+1" + d10;
            p.callAddr = d10;
            p.person = static_cast<int>(who);
            done = !clash(p.addr) && !lookupContact(cx.book, p.addr, true) && !lookupContact(cx.book, p.callAddr, false);
            if (!done) p.person = -1;
        } else if (k % 4 != 3) {
            while (!done && nextKnown < known.size()) {
                std::size_t who = known[nextKnown++];
                const auto& person = cx.people[who];
                std::string d10 = tenDigits(person.phones[rng.below(person.phones.size())]);
                p.addr = "+1" + d10;
                p.callAddr = rng.chance(50) ? d10 : "1" + d10;
                auto a = lookupContact(cx.book, p.addr, true);
                auto b = lookupContact(cx.book, p.callAddr, false);
                if (!clash(p.addr) && a && *a == person.bookIndex && b && *b == person.bookIndex) {
                    p.person = static_cast<int>(who);
                    p.imessage = cx.ios >= 5 && rng.chance(50);
                    done = true;
                }
            }
        }
        if (!done) {
            p = Context::Party{};
            unknownParty(p);
            p.imessage = cx.ios >= 5 && rng.chance(20);
        }
        cx.parties.push_back(std::move(p));
    }
    int nCallers = std::min(8, std::max(1, cx.scale.calls / 4));
    for (int k = 0; k < nCallers; ++k) {
        Context::Party p;
        unknownParty(p);
        cx.unknownCallers.push_back(p.callAddr);
    }
}

namespace {

const std::vector<std::string> kPhrases = {
    "On my way",
    "Can you call me back?",
    "Lunch at noon? 🍕",
    "Running ten minutes late, sorry 🏃",
    "Thanks, see you tomorrow",
    "Did you get the tickets for Saturday?",
    "Happy birthday! Hope you have a wonderful day with the family and lots of cake",
    "Café at 8? ☕",
    "The meeting moved to room 4B, bring the printed slides and the budget sheet please",
    "Ok 👍",
    "Where did you park?",
    "Groceries: milk, eggs, bread, apples",
    "Ich bin gleich da 🚲",
};

enum class AttachKind { None, Image, Movie, Contact, Location, MissingImage };

struct Msg {
    std::int64_t rowid = 0;
    int party = 0;
    bool fromMe = false;
    bool imsg = false;
    std::int64_t unixTime = 0;
    std::string text;
    AttachKind attach = AttachKind::None;
    bool deleted = false;
    int flags = 2;  // older layout
    const Blob* attachInfo = nullptr;
    bool burst = false;   // part of a thread deleted as a whole
    bool later = false;   // written after the deletions
    std::string guid;     // newer layout, as stored
    std::string accountGuid;  // newer layout, iMessages
    std::optional<std::string> oldText;  // the text before an edit
};

struct Attachment {
    std::int64_t rowid = 0;
    std::int64_t messageRowid = 0;
    std::string devicePath;  // "~/Library/SMS/Attachments/..."
    std::string uti, mime, name, type;
    bool stored = true;
    Blob content;
};

Blob movieBytes(Rng& rng) {
    Blob b = {0, 0, 0, 0x14, 'f', 't', 'y', 'p', 'q', 't', ' ', ' ', 0, 0, 0, 0, 'q', 't', ' ', ' '};
    Blob data = randomBytes(rng, 2048);
    std::uint32_t sz = static_cast<std::uint32_t>(data.size() + 8);
    b.insert(b.end(), {static_cast<std::uint8_t>(sz >> 24), static_cast<std::uint8_t>(sz >> 16),
                       static_cast<std::uint8_t>(sz >> 8), static_cast<std::uint8_t>(sz), 'm', 'd', 'a', 't'});
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

Blob textBytes(const std::string& s) { return Blob(s.begin(), s.end()); }

Blob typedStreamBody(const std::string& text) {
    // The shape of an archived attributed string; only its size and presence matter here.
    static const char kHead[] =
        "\x04\x0bstreamtyped\x81\xe8\x03\x84\x01@\x84\x84\x84\x12NSAttributedString\x00\x84\x84\x08NSObject\x00"
        "\x85\x92\x84\x84\x84\x08NSString\x01\x94\x84\x01+";
    static const char kTail[] = "\x86\x84\x02iI\x01\x01\x92\x84\x84\x84\x0cNSDictionary\x00\x94\x84\x01i\x00\x86\x86";
    std::string body = text.substr(0, 127);
    Blob b(kHead, kHead + sizeof kHead - 1);
    b.push_back(static_cast<std::uint8_t>(body.size()));
    b.insert(b.end(), body.begin(), body.end());
    b.insert(b.end(), kTail, kTail + sizeof kTail - 1);
    return b;
}

Blob binaryPlist(plist_t node) {
    char* out = nullptr;
    uint32_t len = 0;
    plist_to_bin(node, &out, &len);
    Blob b(out, out + len);
    std::free(out);
    return b;
}

}  // namespace

void buildMessages(Context& cx) {
    Rng& rng = cx.rng;
    if (cx.parties.empty()) chooseParties(cx);
    // The parties of messages; a thread deleted whole in the newer layouts
    // adds its own, which nothing else (calls) knows.
    std::vector<Context::Party> parties = cx.parties;
    const int n = std::max(0, cx.scale.messages);
    const int nParties = static_cast<int>(parties.size());
    const bool newer = cx.ios >= 6;
    // Draws for the whole-thread party come from their own generator, so
    // every other category's rows stay as they were.
    Rng threadRng(0x7468726561640000ULL ^ static_cast<std::uint64_t>(cx.ios) ^ static_cast<std::uint64_t>(cx.pageSize) << 8);
    int threadParty = -1;

    // ---- plan the rows ----
    std::vector<Msg> msgs(static_cast<std::size_t>(n));
    std::vector<int> who(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) who[static_cast<std::size_t>(i)] = i < nParties ? i : static_cast<int>(rng.below(static_cast<std::uint64_t>(nParties)));
    for (std::size_t i = who.size(); i > 1; --i) std::swap(who[i - 1], who[rng.below(i)]);
    const std::int64_t start = cx.ios == 4 ? 1283000000 : cx.ios == 5 ? 1325000000 : cx.ios == 6 ? 1357000000 : 1385000000;
    const std::int64_t span = 60000000;  // about two years
    const std::int64_t maxStep = std::max<std::int64_t>(2, 2 * span / std::max(1, n));
    std::int64_t t = start;
    auto planMessage = [&](Msg& m, std::int64_t rowid, int partyIndex) {
        m.rowid = rowid;
        m.party = partyIndex;
        const auto& party = parties[static_cast<std::size_t>(m.party)];
        t += rng.range(1, maxStep);
        m.unixTime = t;
        m.fromMe = rng.chance(45);
        m.imsg = cx.ios >= 5 && (party.email || (party.imessage && rng.chance(70)));
        m.text = rng.pick(kPhrases);
        while (m.text.size() < static_cast<std::size_t>(std::max(0, cx.scale.messageTextBytes)))
            m.text += ". " + rng.pick(kPhrases);
        m.text += " (" + std::to_string(m.rowid) + ")";
        m.flags = m.fromMe ? 3 : 2;
        if (!m.imsg && rng.chance(3)) m.flags = 33;  // a send that failed: no known direction
    };
    for (int i = 0; i < n; ++i) planMessage(msgs[static_cast<std::size_t>(i)], i + 1, who[static_cast<std::size_t>(i)]);
    // Attachments (the newer layout): a picture, a film, a contact card, a
    // location card, and a picture whose file did not make it into the backup.
    std::vector<Attachment> atts;
    if (newer && n >= 6) {
        const AttachKind kinds[] = {AttachKind::Image, AttachKind::Movie, AttachKind::Contact, AttachKind::Location,
                                    AttachKind::MissingImage};
        for (int k = 0; k < 5; ++k) {
            Msg& m = msgs[static_cast<std::size_t>((k + 1) * n / 6)];
            m.attach = kinds[k];
            m.text = k == 0 ? "Look at this (" + std::to_string(m.rowid) + ")" : "\xEF\xBF\xBC";
            Attachment a;
            a.rowid = k + 1;
            a.messageRowid = m.rowid;
            std::string dir = "Library/SMS/Attachments/" + std::string(1, "0123456789abcdef"[rng.below(16)]) +
                              std::string(1, "0123456789abcdef"[rng.below(16)]) + "/" + digits(rng, 2) + "/" + uuid(rng) + "/";
            switch (kinds[k]) {
                case AttachKind::Image:
                case AttachKind::MissingImage:
                    a.name = "IMG_" + std::to_string(1000 + k) + ".JPG";
                    a.uti = "public.jpeg";
                    a.mime = "image/jpeg";
                    a.type = "Image";
                    a.content = jpegBytes("message picture " + std::to_string(k));
                    a.stored = kinds[k] == AttachKind::Image;
                    break;
                case AttachKind::Movie:
                    a.name = "IMG_" + std::to_string(1000 + k) + ".MOV";
                    a.uti = "com.apple.quicktime-movie";
                    a.mime = "video/quicktime";
                    a.type = "Mov";
                    a.content = movieBytes(rng);
                    break;
                case AttachKind::Contact:
                    a.name = "Contact.vcf";
                    a.uti = "public.vcard";
                    a.mime = "text/vcard";
                    a.type = "Contact";
                    a.content = textBytes("BEGIN:VCARD\r\nVERSION:3.0\r\nN:Keller;Jonas;;;\r\nFN:Jonas Keller\r\n"
                                          "TEL;type=CELL;type=pref:+1 (415) 555-0199\r\nEND:VCARD\r\n");
                    break;
                default:
                    a.name = "Current Location.loc.vcf";
                    a.uti = "public.vcard";
                    a.mime = "text/vcard";
                    a.type = "Location";
                    a.content = textBytes("BEGIN:VCARD\r\nVERSION:3.0\r\nN:;Current Location;;;\r\nFN:Current Location\r\n"
                                          "item1.URL;type=pref:http://maps.apple.com/?ll=37.331689\\,-122.030731\r\n"
                                          "item1.X-ABLabel:map url\r\nEND:VCARD\r\n");
                    break;
            }
            a.devicePath = "~/" + dir + a.name;
            atts.push_back(std::move(a));
        }
    }
    // iOS 5: one received iMessage carries an attachment description.
    Blob attachInfo;
    if (cx.ios == 5) {
        for (Msg& m : msgs) {
            if (!m.imsg || m.fromMe) continue;
            plist_t d = plist_new_dict();
            plist_dict_set_item(d, "filename", plist_new_string("IMG_0042.JPG"));
            plist_dict_set_item(d, "mime-type", plist_new_string("image/jpeg"));
            attachInfo = binaryPlist(d);
            plist_free(d);
            m.attachInfo = &attachInfo;
            break;
        }
    }
    // Which rows are deleted again (never one with an attachment).
    {
        std::vector<std::size_t> cand;
        for (std::size_t i = 0; i < msgs.size(); ++i)
            if (msgs[i].attach == AttachKind::None && !msgs[i].attachInfo) cand.push_back(i);
        int nDel = std::min<int>(deletedCount(n, cx.scale.deletedPercent), static_cast<int>(cand.size()));
        for (int k = 0; k < nDel; ++k) {
            std::size_t j = static_cast<std::size_t>(k) + rng.below(cand.size() - static_cast<std::size_t>(k));
            std::swap(cand[static_cast<std::size_t>(k)], cand[j]);
            msgs[cand[static_cast<std::size_t>(k)]].deleted = true;
        }
        // iOS 5 keeps iMessages in the same table: at least one of them is deleted.
        const auto deletedImsg = [&](std::size_t i) { return msgs[i].imsg && msgs[i].deleted; };
        if (cx.ios == 5 && nDel > 0 && std::none_of(cand.begin(), cand.end(), deletedImsg))
            for (std::size_t i : cand)
                if (msgs[i].imsg) {
                    msgs[i].deleted = true;
                    break;
                }
    }
    // What a phone does afterwards: a long text thread is deleted as a whole
    // (enough consecutive rows that whole pages go to the free list), a few
    // later messages reuse part of the freed space, and a few texts are
    // changed, which may leave the older version behind in free space.
    if (n >= 10) {
        std::vector<int> phoneParties;
        for (int p = 0; p < nParties; ++p)
            if (!parties[static_cast<std::size_t>(p)].email) phoneParties.push_back(p);
        int burstParty = phoneParties.empty() ? -1 : rng.pick(phoneParties);
        if (newer && burstParty >= 0) {
            // The newer layouts: the thread is a conversation of its own, and
            // deleting it removes its handle, chat and join rows too.
            Context::Party p;
            do {
                p.callAddr = "702" + digits(threadRng, 7);
                p.addr = "+1" + p.callAddr;
            } while (std::any_of(parties.begin(), parties.end(), [&](const Context::Party& q) { return overlaps(q.addr, p.addr); }) ||
                     lookupContact(cx.book, p.addr, true) || lookupContact(cx.book, p.callAddr, false));
            parties.push_back(std::move(p));
            burstParty = threadParty = static_cast<int>(parties.size()) - 1;
        }
        const int burst = burstParty < 0 ? 0 : std::max(6, 3 * cx.pageSize / 220);
        for (int k = 0; k < burst; ++k) {
            Msg m;
            m.rowid = static_cast<std::int64_t>(msgs.size()) + 1;
            m.party = burstParty;
            t += rng.range(1, 600);
            m.unixTime = t;
            m.fromMe = rng.chance(50);
            m.flags = m.fromMe ? 3 : 2;
            m.text = rng.pick(kPhrases) + ". " + rng.pick(kPhrases) + ". " + rng.pick(kPhrases);
            while (m.text.size() < static_cast<std::size_t>(std::max(0, cx.scale.messageTextBytes)))
                m.text += ". " + rng.pick(kPhrases);
            m.text += " (" + std::to_string(m.rowid) + ")";
            // Some deleted texts are long enough (58 bytes) that their serial type takes two bytes.
            if (k == 0)
                while (m.text.size() < 58) m.text += " and more";
            m.burst = m.deleted = true;
            msgs.push_back(std::move(m));
        }
        // Enough later rows to fill the last page and take a freed one.
        const int later = std::max(3, cx.pageSize / 256);
        for (int k = 0; k < later; ++k) {
            Msg m;
            planMessage(m, static_cast<std::int64_t>(msgs.size()) + 1, static_cast<int>(rng.below(static_cast<std::uint64_t>(nParties))));
            m.later = true;
            msgs.push_back(std::move(m));
        }
        // Edited texts: plain SMS rows only, whose text lives in one column.
        std::vector<std::size_t> editable;
        for (int i = 0; i < n; ++i) {
            const Msg& m = msgs[static_cast<std::size_t>(i)];
            if (!m.deleted && !m.imsg && m.attach == AttachKind::None && !m.attachInfo) editable.push_back(static_cast<std::size_t>(i));
        }
        for (int k = 0; k < 2 && !editable.empty(); ++k) {
            const std::size_t j = rng.below(editable.size());
            Msg& m = msgs[editable[j]];
            editable.erase(editable.begin() + static_cast<std::ptrdiff_t>(j));
            m.oldText = m.text;
            m.text = rng.pick(kPhrases) + " (" + std::to_string(m.rowid) + ", corrected)";
        }
    }

    // Stored date of a message as the device keeps it.
    auto storedDate = [&](const Msg& m) -> std::int64_t {
        if (cx.ios == 4) return m.unixTime;
        if (cx.ios == 5) return m.imsg ? m.unixTime - kEpoch2001 : m.unixTime;
        if (cx.ios == 6) return m.unixTime - kEpoch2001;
        return (m.unixTime - kEpoch2001) * 1000000000LL + static_cast<std::int64_t>(m.rowid * 7919 % 1000000000);
    };

    const std::string gen = "ios" + std::to_string(cx.ios) + "/";
    DbFile db(cx.scratchPath("sms.db"), false, cx.pageSize);
    db.exec(schemaText(gen + "sms.db.sql"));
    nlohmann::json deadRows = nlohmann::json::array();
    std::map<std::pair<int, bool>, std::int64_t> handleOf;  // (party, iMessage) -> handle ROWID

    std::vector<std::size_t> deadIndex;  // msgs index of each deleted row, in deadRows order
    db.begin();
    {
        const bool ios7 = cx.ios >= 7;
        std::unique_ptr<Inserter> hIns, mIns, cIns, cmj, chj;
        std::map<std::pair<int, bool>, std::int64_t> chatOf;
        std::int64_t nextHandle = 1;
        if (newer) {
            hIns = std::make_unique<Inserter>(db, "handle");
            mIns = std::make_unique<Inserter>(db, "message");
            cIns = std::make_unique<Inserter>(db, "chat");
            cmj = std::make_unique<Inserter>(db, "chat_message_join");
            chj = std::make_unique<Inserter>(db, "chat_handle_join");
        } else {
            mIns = std::make_unique<Inserter>(db, "message");
            Inserter gIns(db, "msg_group"), gmIns(db, "group_member");
            std::map<int, std::int64_t> newest;
            for (const Msg& m : msgs)
                if (!m.imsg) newest[m.party] = m.rowid;
            std::int64_t member = 1;
            for (const auto& [party, last] : newest) {
                gIns.insert({party + 1, 0, last, 0, static_cast<std::int64_t>(rng.below(2000000000))});
                gmIns.insert({member++, party + 1, parties[static_cast<std::size_t>(party)].addr, "us"});
            }
        }
        auto insertNewer = [&](Msg& m) {
            const auto& party = parties[static_cast<std::size_t>(m.party)];
            auto key = std::make_pair(m.party, m.imsg);
            if (!handleOf.count(key)) {
                std::int64_t h = nextHandle++;
                handleOf[key] = h;
                hIns->insert({h, party.addr, party.email ? V() : V("us"), m.imsg ? "iMessage" : "SMS", nullptr});
                std::string service = m.imsg ? "iMessage" : "SMS";
                std::vector<V> chat = {h, service + ";-;" + party.addr, 45, 3, uuid(m.party == threadParty ? threadRng : rng), nullptr, party.addr, service,
                                       nullptr, m.imsg ? V("E:me@icloud.example.com") : V("P:+14155550100"), 0, nullptr};
                if (ios7) chat.emplace_back(nullptr);
                cIns->insert(chat);
                chj->insert({h, h});
                chatOf[key] = h;
            }
            std::int64_t date = storedDate(m);
            std::int64_t later = ios7 ? date + 30000000000LL : date + 30;
            Blob body;
            if (m.imsg) body = typedStreamBody(m.text);
            m.guid = uuid(rng);
            m.accountGuid = m.imsg ? uuid(rng) : std::string();
            std::vector<V> row = {m.rowid,
                                  m.guid,
                                  m.text,
                                  0,
                                  nullptr,
                                  handleOf[key],
                                  nullptr,
                                  (m.imsg && ios7) ? V() : V("us"),
                                  m.imsg ? V(body) : V(),
                                  10,
                                  0,
                                  m.imsg ? "iMessage" : "SMS",
                                  m.imsg ? V("e:me@icloud.example.com") : V(),
                                  m.imsg ? V(m.accountGuid) : V(),
                                  0,
                                  date,
                                  m.fromMe ? std::int64_t{0} : later,
                                  (m.fromMe && m.imsg) ? later : std::int64_t{0},
                                  1,
                                  1,
                                  0,
                                  m.fromMe ? 1 : 0,
                                  0,
                                  0,
                                  0,
                                  0,
                                  m.fromMe ? 0 : 1,
                                  0,
                                  m.fromMe ? 1 : 0,
                                  0,
                                  0,
                                  0,
                                  0,
                                  0,
                                  m.attach != AttachKind::None ? 1 : 0,
                                  nullptr,
                                  1,
                                  0};
            mIns->insert(row);
            cmj->insert({chatOf[key], m.rowid});
        };
        auto insertOlder = [&](Msg& m) {
            const bool madrid = cx.ios == 5;
            const auto& party = parties[static_cast<std::size_t>(m.party)];
            std::int64_t date = storedDate(m);
            std::vector<V> row;
            Blob body;  // referenced by row until it is inserted
            if (!m.imsg) {
                row = {m.rowid, party.addr, date, m.text, m.flags, 0, nullptr, m.party + 1, 0, 0,
                       m.fromMe ? 4 : 0, 0, nullptr, "us", nullptr, nullptr, 1};
                if (madrid)
                    row.insert(row.end(), {nullptr, nullptr, 0, nullptr, 0, nullptr, nullptr, nullptr, 0, nullptr,
                                           nullptr, 0, 0, 0, 0, nullptr});
            } else {
                body = typedStreamBody(m.text);
                row = {m.rowid, nullptr, date, m.text, 0, 0, nullptr, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr, 1};
                row.insert(row.end(), {V(body), party.addr, 10, uuid(rng), 0, nullptr, "Madrid",
                                       "e:me@icloud.example.com", m.fromMe ? 12289 : 36869,
                                       m.attachInfo ? V(*m.attachInfo) : V(), nullptr, 0, 1,
                                       m.fromMe ? std::int64_t{0} : date + 30, m.fromMe ? date + 2 : std::int64_t{0},
                                       uuid(rng)});
            }
            mIns->insert(row);
        };
        // Rows are first written with their original text; edits come later.
        auto insertOne = [&](Msg& m) {
            std::optional<std::string> edited;
            if (m.oldText) edited = std::exchange(m.text, *m.oldText);
            newer ? insertNewer(m) : insertOlder(m);
            if (edited) m.text = *edited;
        };
        for (Msg& m : msgs)
            if (!m.later) insertOne(m);
        if (newer) {
            Inserter aIns(db, "attachment"), maj(db, "message_attachment_join");
            for (const Attachment& a : atts) {
                std::int64_t created = msgs[static_cast<std::size_t>(a.messageRowid - 1)].unixTime - kEpoch2001;
                bool outgoing = msgs[static_cast<std::size_t>(a.messageRowid - 1)].fromMe;
                std::vector<V> row = {a.rowid, uuid(rng), created, 0, a.devicePath, a.uti, a.mime, 5, outgoing ? 1 : 0};
                if (ios7) row.insert(row.end(), {nullptr, a.name, static_cast<std::int64_t>(a.content.size())});
                aIns.insert(row);
                maj.insert({a.messageRowid, a.rowid});
                if (a.stored) cx.addFile("MediaDomain", a.devicePath.substr(2), a.content);
            }
        }
        db.commit();
        db.begin();
        for (std::size_t i = 0; i < msgs.size(); ++i) {
            const Msg& m = msgs[i];
            if (!m.deleted) continue;
            const auto& party = parties[static_cast<std::size_t>(m.party)];
            execWithId(db, "DELETE FROM message WHERE ROWID = ?", m.rowid);
            if (newer)
                execWithIds(db, "DELETE FROM chat_message_join WHERE chat_id = ? AND message_id = ?",
                            {handleOf[{m.party, m.imsg}], m.rowid});
            nlohmann::json d = {{"ROWID", m.rowid}, {"text", m.text}, {"date", storedDate(m)},
                                {"dateText", dateText(storedDate(m), 0)}, {"address", party.addr}};
            if (newer) {
                d["handle_id"] = handleOf[{m.party, m.imsg}];
                d["is_from_me"] = m.fromMe ? 1 : 0;
                d["service"] = m.imsg ? "iMessage" : "SMS";
            } else {
                d["flags"] = m.imsg ? 0 : m.flags;
                d["is_madrid"] = m.imsg ? 1 : 0;
                if (m.imsg) d["madrid_flags"] = m.fromMe ? 12289 : 36869;
            }
            deadRows.push_back(std::move(d));
            deadIndex.push_back(i);
        }
        if (threadParty >= 0 && handleOf.count({threadParty, false})) {
            const std::int64_t h = handleOf[{threadParty, false}];
            execWithId(db, "DELETE FROM chat_handle_join WHERE chat_id = ?", h);
            execWithId(db, "DELETE FROM chat WHERE ROWID = ?", h);
            execWithId(db, "DELETE FROM handle WHERE ROWID = ?", h);
        }
        db.commit();
        db.begin();
        for (Msg& m : msgs)
            if (m.later) insertOne(m);
        for (const Msg& m : msgs)
            if (m.oldText) execWithTextAndIds(db, "UPDATE message SET text = ? WHERE ROWID = ?", m.text, {m.rowid});
        db.commit();
    }
    const Blob file = db.finish();
    // Whether a row's bytes survived: the body from its first text column on
    // (the newer layout: guid + text; the older one: address + date + text).
    // Whether the row is complete: its body up to the last column a recovery
    // reports (the newer layout: on to the date; an older iMessage: on to its handle).
    auto body = [&](const Msg& m, const std::string& text, bool complete) {
        Blob b;
        auto append = [&b](const Blob& more) { b.insert(b.end(), more.begin(), more.end()); };
        if (newer) {
            appendText(b, m.guid);
            appendText(b, text);
            if (!complete) return b;
            append(intBody(handleOf[{m.party, m.imsg}]));
            if (!(m.imsg && cx.ios >= 7)) appendText(b, "us");
            if (m.imsg) append(typedStreamBody(text));
            append(intBody(10));
            appendText(b, m.imsg ? "iMessage" : "SMS");
            if (m.imsg) appendText(b, "e:me@icloud.example.com" + m.accountGuid);
            append(intBody(storedDate(m)));
        } else {
            if (!m.imsg) appendText(b, parties[static_cast<std::size_t>(m.party)].addr);
            append(intBody(storedDate(m)));
            appendText(b, text);
            if (m.imsg && complete) {
                append(typedStreamBody(text));
                appendText(b, parties[static_cast<std::size_t>(m.party)].addr);
            }
        }
        return b;
    };
    std::vector<Blob> needles;
    for (std::size_t i : deadIndex) needles.push_back(body(msgs[i], msgs[i].text, false));
    for (const Msg& m : msgs)
        if (m.oldText) needles.push_back(body(m, *m.oldText, false));
    const std::size_t completeAt = needles.size();
    for (std::size_t i : deadIndex) needles.push_back(body(msgs[i], msgs[i].text, true));
    // The address of a thread deleted with its handle lives only in the
    // handle's row (id, country, service), and a message names its handle by
    // row id only: the address comes back only while the handle's cell keeps
    // its row id (its first bytes are not overwritten when it is freed).
    if (threadParty >= 0) {
        const std::string& addr = parties[static_cast<std::size_t>(threadParty)].addr;
        const auto h = handleOf.find({threadParty, false});
        Blob cell;
        if (h != handleOf.end() && addr.size() < 50 && h->second < 128) {
            const Blob record = [&] {
                Blob r = {6, 0, static_cast<std::uint8_t>(13 + 2 * addr.size()), 17, 19, 0};
                appendText(r, addr + "usSMS");
                return r;
            }();
            cell = {static_cast<std::uint8_t>(record.size()), static_cast<std::uint8_t>(h->second)};
            cell.insert(cell.end(), record.begin(), record.end());
        } else {
            appendText(cell, addr + "usSMS");
        }
        needles.push_back(cell);
    }
    const std::vector<bool> there = holdsAll(file, needles);
    for (std::size_t k = 0; k < deadIndex.size(); ++k) {
        deadRows[k]["recoverable"] = static_cast<bool>(there[k]);
        deadRows[k]["complete"] = static_cast<bool>(there[completeAt + k]);
        if (msgs[deadIndex[k]].burst) deadRows[k]["thread"] = true;
        if (msgs[deadIndex[k]].party == threadParty) {
            deadRows[k]["handleDeleted"] = true;
            deadRows[k]["addressRecoverable"] = static_cast<bool>(there.back());
        }
    }
    nlohmann::json stale = nlohmann::json::array();
    std::size_t next = deadIndex.size();
    for (const Msg& m : msgs)
        if (m.oldText)
            stale.push_back({{"ROWID", m.rowid}, {"text", *m.oldText}, {"newText", m.text}, {"date", storedDate(m)},
                             {"dateText", dateText(storedDate(m), 0)},
                             {"address", parties[static_cast<std::size_t>(m.party)].addr},
                             {"recoverable", static_cast<bool>(there[next++])}});
    cx.addFile("HomeDomain", "Library/SMS/sms.db", file);

    // ---- expected records, in row order ----
    std::vector<std::optional<std::size_t>> match(parties.size());
    for (std::size_t p = 0; p < parties.size(); ++p) match[p] = lookupContact(cx.book, parties[p].addr, true);
    std::map<std::int64_t, const Attachment*> attOf;
    for (const Attachment& a : atts) attOf[a.messageRowid] = &a;

    nlohmann::json live = nlohmann::json::array();
    std::vector<std::string> phones;
    std::vector<nlohmann::json> names;
    for (const Msg& m : msgs) {
        if (m.deleted) continue;
        const auto& party = parties[static_cast<std::size_t>(m.party)];
        const auto& hit = match[static_cast<std::size_t>(m.party)];
        nlohmann::json name = hit ? nlohmann::json(*cx.book[*hit].name) : nlohmann::json();
        nlohmann::json picture = hit ? bytesJson(cx.book[*hit].picture) : nlohmann::json();
        std::string content = textAsRead(m.text);
        std::string type;
        if (newer) {
            type = m.fromMe ? "Send" : "Received";
        } else if (m.imsg) {
            type = m.fromMe ? "Send" : "Received";
            if (m.attachInfo) {
                std::string s;
                for (std::uint8_t b : *m.attachInfo)
                    if (b) s += static_cast<char>(b);
                content = validUtf8(s) ? s : "";  // a binary blob is no text
            }
        } else {
            type = m.flags == 2 || m.flags == 22 ? "Received" : (m.flags == 3 || m.flags == 16387 ? "Send" : "unknown");
        }
        nlohmann::json path, atype;
        auto at = attOf.find(m.rowid);
        if (at != attOf.end()) {
            const Attachment& a = *at->second;
            atype = a.type;
            if (a.stored) path = hashedName("MediaDomain", a.devicePath.substr(2));
            if (a.type == "Contact" || a.type == "Location") picture = a.stored ? bytesJson(&a.content) : nlohmann::json();
        }
        live.push_back({{"messageName", name},
                        {"messagePhone", party.addr},
                        {"messageContent", content},
                        {"messageDate", dateText(storedDate(m), 0)},
                        {"messageType", type},
                        {"bImessage", (!newer && m.imsg) ? 1 : 0},
                        {"bSelected", 0},
                        {"bDeleted", 0},
                        {"handle_id", -1},
                        {"isHasAttach", (newer && m.attach != AttachKind::None) ? 1 : 0},
                        {"attachmentPath", path},
                        {"attachType", atype},
                        {"rowId", newer ? m.rowid : -1},
                        {"contactImageData", picture}});
        phones.push_back(party.addr);
        names.push_back(name);
    }

    // Conversations: a message joins the first conversation whose address
    // contains its address (when longer) or is contained in / equal to it.
    struct Conv {
        std::string addr;
        nlohmann::json name;
        std::vector<std::size_t> members;
    };
    std::vector<Conv> convs;
    std::map<std::string, std::size_t> convOf;
    auto contains = [](const std::string& hay, const std::string& needle) {
        return !needle.empty() && lowerAscii(hay).find(lowerAscii(needle)) != std::string::npos;
    };
    for (std::size_t i = 0; i < phones.size(); ++i) {
        const std::string& ph = phones[i];
        auto cached = convOf.find(ph);
        std::size_t target = convs.size();
        if (cached != convOf.end()) {
            target = cached->second;
        } else {
            for (std::size_t c = 0; c < convs.size(); ++c) {
                const std::string& ca = convs[c].addr;
                bool hit = ca.size() > ph.size() ? contains(ca, ph) : (contains(ph, ca) || ph == ca);
                if (hit) {
                    target = c;
                    break;
                }
            }
            convOf[ph] = target;
        }
        if (target == convs.size()) convs.push_back({ph, names[i], {}});
        convs[target].members.push_back(i);
    }
    nlohmann::json convJson = nlohmann::json::array();
    for (const Conv& c : convs)
        convJson.push_back({{"messageTreeNodeName", c.name},
                            {"messageTreeNodeAdress", c.addr},
                            {"members", c.members},
                            {"bSelected", 0},
                            {"bdeleted", 0}});
    cx.plan.truth["messages"] = {{"live", std::move(live)}, {"deleted", std::move(deadRows)}, {"stale", std::move(stale)}};
    cx.plan.truth["conversations"] = {{"live", std::move(convJson)}, {"deleted", nlohmann::json::array()}};
}

}  // namespace salvor::forge::db
