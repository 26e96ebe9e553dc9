#pragma once
// Synchronous notifications by name. Delivery runs on the posting thread, in registration order,
// over a snapshot of the observers: a handler may post again or add observers (new ones hear only
// later posts), and an observer removed during a delivery is skipped from then on.

#include <any>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace platform {

struct Notification {
    std::string name;
    std::any object;                            // the sender's payload, may be empty
    std::map<std::string, std::any> userInfo;   // may be empty
};

class NotificationCenter {
public:
    using Handler = std::function<void(const Notification&)>;

    // Keeps a registration alive; destroying the last copy removes the observer.
    class Observer {
    public:
        ~Observer();
        Observer(const Observer&) = delete;
        Observer& operator=(const Observer&) = delete;

    private:
        friend class NotificationCenter;
        struct Entry;
        Observer(NotificationCenter* center, std::shared_ptr<Entry> entry)
            : center_(center), entry_(std::move(entry)) {}
        NotificationCenter* center_;
        std::shared_ptr<Entry> entry_;
    };
    using ObserverToken = std::shared_ptr<Observer>;

    NotificationCenter();
    ~NotificationCenter();
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    static NotificationCenter& defaultCenter();

    // Observes the notifications called name (an empty name observes every notification).
    [[nodiscard]] ObserverToken addObserver(std::string name, Handler handler);
    void removeObserver(const ObserverToken& token);

    void post(const Notification& notification);
    void postNotificationName(std::string name, std::any object = {},
                              std::map<std::string, std::any> userInfo = {});

    size_t observerCount() const;

private:
    void remove(const Observer::Entry* entry);

    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<Observer::Entry>> entries_;
};

}  // namespace platform
