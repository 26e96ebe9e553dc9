#include "platform/NotificationCenter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using platform::Notification;
using platform::NotificationCenter;

TEST(NotificationCenter, DeliversInRegistrationOrderOnlyToMatchingNames) {
    NotificationCenter center;
    std::vector<std::string> log;
    auto a = center.addObserver("n", [&](const Notification&) { log.push_back("a"); });
    auto other = center.addObserver("other", [&](const Notification&) { log.push_back("other"); });
    auto b = center.addObserver("n", [&](const Notification&) { log.push_back("b"); });
    auto all = center.addObserver("", [&](const Notification& n) { log.push_back("all:" + n.name); });

    center.postNotificationName("n", 42);
    EXPECT_EQ(log, (std::vector<std::string>{"a", "b", "all:n"}));
}

TEST(NotificationCenter, CarriesObjectAndUserInfo) {
    NotificationCenter center;
    int seen = 0;
    std::string info;
    auto token = center.addObserver("n", [&](const Notification& n) {
        seen = std::any_cast<int>(n.object);
        info = std::any_cast<std::string>(n.userInfo.at("key"));
    });
    center.postNotificationName("n", 7, {{"key", std::string("value")}});
    EXPECT_EQ(seen, 7);
    EXPECT_EQ(info, "value");
}

TEST(NotificationCenter, HandlerThatPostsAgainRunsNestedDeliveryFirst) {
    NotificationCenter center;
    std::vector<std::string> log;
    auto first = center.addObserver("outer", [&](const Notification&) {
        log.push_back("outer-1");
        center.postNotificationName("inner");
        log.push_back("outer-1 done");
    });
    auto second = center.addObserver("outer", [&](const Notification&) { log.push_back("outer-2"); });
    auto inner = center.addObserver("inner", [&](const Notification&) { log.push_back("inner"); });

    center.postNotificationName("outer");
    EXPECT_EQ(log, (std::vector<std::string>{"outer-1", "inner", "outer-1 done", "outer-2"}));
}

TEST(NotificationCenter, ObserverRemovedDuringDeliveryIsSkipped) {
    NotificationCenter center;
    std::vector<std::string> log;
    NotificationCenter::ObserverToken victim;
    NotificationCenter::ObserverToken self;
    auto remover = center.addObserver("n", [&](const Notification&) {
        log.push_back("remover");
        center.removeObserver(victim);
    });
    self = center.addObserver("n", [&](const Notification&) {
        log.push_back("self");
        self.reset();  // destroys its own registration while running
    });
    victim = center.addObserver("n", [&](const Notification&) { log.push_back("victim"); });

    center.postNotificationName("n");
    EXPECT_EQ(log, (std::vector<std::string>{"remover", "self"}));
    log.clear();
    center.postNotificationName("n");
    EXPECT_EQ(log, (std::vector<std::string>{"remover"}));
    EXPECT_EQ(center.observerCount(), 1u);
}

TEST(NotificationCenter, ObserverAddedDuringDeliveryHearsOnlyLaterPosts) {
    NotificationCenter center;
    int late = 0;
    NotificationCenter::ObserverToken added;
    auto adder = center.addObserver("n", [&](const Notification&) {
        if (!added) added = center.addObserver("n", [&](const Notification&) { ++late; });
    });
    center.postNotificationName("n");
    EXPECT_EQ(late, 0);
    center.postNotificationName("n");
    EXPECT_EQ(late, 1);
}

TEST(NotificationCenter, DestroyedObserverIsNeverCalled) {
    NotificationCenter center;
    int calls = 0;
    {
        auto token = center.addObserver("n", [&](const Notification&) { ++calls; });
        center.postNotificationName("n");
    }
    center.postNotificationName("n");
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(center.observerCount(), 0u);
}
