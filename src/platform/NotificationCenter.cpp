#include "platform/NotificationCenter.h"

#include <algorithm>
#include <atomic>

namespace platform {

struct NotificationCenter::Observer::Entry {
    std::string name;
    Handler handler;
    std::atomic<bool> removed{false};
};

NotificationCenter::Observer::~Observer() {
    if (center_) center_->remove(entry_.get());
}

NotificationCenter::NotificationCenter() = default;
NotificationCenter::~NotificationCenter() = default;

NotificationCenter& NotificationCenter::defaultCenter() {
    static NotificationCenter center;
    return center;
}

NotificationCenter::ObserverToken NotificationCenter::addObserver(std::string name, Handler handler) {
    auto entry = std::make_shared<Observer::Entry>();
    entry->name = std::move(name);
    entry->handler = std::move(handler);
    {
        std::lock_guard lock(mutex_);
        entries_.push_back(entry);
    }
    return ObserverToken(new Observer(this, std::move(entry)));
}

void NotificationCenter::removeObserver(const ObserverToken& token) {
    if (token) remove(token->entry_.get());
}

void NotificationCenter::remove(const Observer::Entry* entry) {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(entries_.begin(), entries_.end(),
                           [entry](const auto& e) { return e.get() == entry; });
    if (it == entries_.end()) return;
    (*it)->removed = true;
    entries_.erase(it);
}

void NotificationCenter::post(const Notification& notification) {
    std::vector<std::shared_ptr<Observer::Entry>> snapshot;
    {
        std::lock_guard lock(mutex_);
        snapshot = entries_;
    }
    for (const auto& entry : snapshot) {
        if (entry->removed) continue;
        if (!entry->name.empty() && entry->name != notification.name) continue;
        // The snapshot keeps the handler alive even if its observer goes away while it runs.
        entry->handler(notification);
    }
}

void NotificationCenter::postNotificationName(std::string name, std::any object,
                                              std::map<std::string, std::any> userInfo) {
    post(Notification{std::move(name), std::move(object), std::move(userInfo)});
}

size_t NotificationCenter::observerCount() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

}  // namespace platform
