#include "core/shared_text.h"

#include <ostream>

namespace salvor {

std::shared_ptr<const std::string> SharedText::made(std::string text) {
    static const std::shared_ptr<const std::string> kCommon[] = {
        std::make_shared<const std::string>(), std::make_shared<const std::string>("unselected"),
        std::make_shared<const std::string>("selected"), std::make_shared<const std::string>("selectedSome")};
    for (const auto& common : kCommon)
        if (*common == text) return common;
    return std::make_shared<const std::string>(std::move(text));
}

std::ostream& operator<<(std::ostream& out, const SharedText& t) { return out << textOrEmpty(t); }

std::shared_ptr<const std::string> PathText::noFolder() {
    static const auto empty = std::make_shared<const std::string>();
    return empty;
}

std::shared_ptr<const std::string> TextPool::shared(std::string_view text) {
    if (const auto it = texts_.find(text); it != texts_.end()) return it->second;
    auto made = std::make_shared<const std::string>(text);
    texts_.emplace(std::string_view(*made), made);
    return made;
}

SharedText TextPool::text(std::string_view text) { return SharedText(shared(text)); }

PathText TextPool::path(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return PathText(path);
    const std::string_view folder = path.substr(0, slash + 1);
    if (!lastFolder_ || *lastFolder_ != folder) lastFolder_ = shared(folder);
    return PathText(lastFolder_, path.substr(slash + 1));
}

}  // namespace salvor
