// Named events with one object each, delivered synchronously on the posting
// thread: a handler has run to its end before post() returns.
#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace salvor {

class NotificationCenter {
public:
    using Handler = std::function<void(const std::any& object)>;
    using Token = std::uint64_t;

    Token addObserver(std::string name, Handler handler);
    void removeObserver(Token token);
    // Calls every observer of `name`, in subscription order, on this thread.
    void post(const std::string& name, const std::any& object = {});

private:
    struct Observer {
        Token token;
        std::string name;
        std::shared_ptr<Handler> handler;
    };
    std::mutex mutex_;  // guards the observer list only, never held while a handler runs
    std::vector<Observer> observers_;
    Token next_ = 1;
};

}  // namespace salvor
