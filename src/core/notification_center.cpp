#include "core/notification_center.h"

#include <algorithm>
#include <memory>

namespace salvor {

NotificationCenter::Token NotificationCenter::addObserver(std::string name, Handler handler) {
    std::lock_guard lock(mutex_);
    const Token token = next_++;
    observers_.push_back({token, std::move(name), std::make_shared<Handler>(std::move(handler))});
    return token;
}

void NotificationCenter::removeObserver(Token token) {
    std::lock_guard lock(mutex_);
    std::erase_if(observers_, [token](const Observer& o) { return o.token == token; });
}

void NotificationCenter::post(const std::string& name, const std::any& object) {
    // Snapshot the matching handlers so a handler may subscribe or unsubscribe.
    std::vector<std::shared_ptr<Handler>> targets;
    {
        std::lock_guard lock(mutex_);
        for (const auto& o : observers_)
            if (o.name == name) targets.push_back(o.handler);
    }
    for (const auto& h : targets) (*h)(object);
}

}  // namespace salvor
