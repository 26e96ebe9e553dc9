// Serial, global and main queues: order, exclusion, lifetime, sync, specifics and targets.

#include "platform/dispatch/Dispatch.h"

#include "dispatch/DispatchTestSupport.h"
#include "platform/testing/TestMainLoop.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using dispatch_test::Counter;
using dispatch_test::Gate;
using dispatch_test::repeat;
using platform::dispatch::Job;
using platform::dispatch::Priority;
using platform::dispatch::Queue;
using platform::dispatch::Source;

namespace {

int kKeyA, kKeyB;  // addresses used as queue-specific keys
int kValueA, kValueB;

// Records whether two jobs ever ran at once.
struct Exclusion {
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    void enter() {
        if (inside.fetch_add(1) != 0) overlapped = true;
    }
    void leave() { inside.fetch_sub(1); }
};

TEST(SerialQueue, RunsAsyncAndSyncJobsInSubmissionOrderOneAtATime) {
    repeat(200, 3s, [](int) {
        auto queue = Queue::createSerial("fifo");
        std::vector<int> order;  // touched only by the queue's jobs, read after the last sync
        Exclusion exclusion;
        for (int i = 0; i < 40; ++i) {
            Job job = [&, i] {
                exclusion.enter();
                order.push_back(i);
                exclusion.leave();
            };
            if (i % 7 == 3) {
                queue->sync(job);
            } else {
                queue->async(job);
            }
        }
        queue->sync([] {});
        ASSERT_EQ(order.size(), 40u);
        for (int i = 0; i < 40; ++i) ASSERT_EQ(order[i], i);
        ASSERT_FALSE(exclusion.overlapped);
    });
}

TEST(SerialQueue, JobsFromManyThreadsNeverOverlapAndKeepEachThreadsOrder) {
    repeat(50, 3s, [](int) {
        auto queue = Queue::createSerial("many");
        constexpr int kThreads = 4, kJobs = 200;
        std::vector<int> lastSeen(kThreads, -1);
        std::atomic<bool> outOfOrder{false};
        Exclusion exclusion;
        Counter done;
        std::vector<std::thread> producers;
        for (int t = 0; t < kThreads; ++t) {
            producers.emplace_back([&, t] {
                for (int i = 0; i < kJobs; ++i) {
                    queue->async([&, t, i] {
                        exclusion.enter();
                        if (lastSeen[t] != i - 1) outOfOrder = true;
                        lastSeen[t] = i;
                        exclusion.leave();
                        done.add();
                    });
                }
            });
        }
        for (auto& p : producers) p.join();
        ASSERT_TRUE(done.waitFor(kThreads * kJobs));
        ASSERT_FALSE(exclusion.overlapped);
        ASSERT_FALSE(outOfOrder);
    });
}

// A queue lives while it has work: its owner may drop it at once, or from inside its own job.
TEST(SerialQueue, LivesWhileJobsArePendingAndMayBeReleasedInsideItsOwnJob) {
    struct Case {
        const char* name;
        bool releaseInsideJob;
    };
    for (const Case& c : {Case{"owner drops it with jobs queued", false}, Case{"its own job drops it", true}}) {
        SCOPED_TRACE(c.name);
        repeat(300, 2s, [&](int) {
            auto holder = Queue::createSerial("short-lived");
            std::weak_ptr<Queue> weak = holder;
            Counter ran;
            Gate gate(holder);
            if (c.releaseInsideJob) holder->async([&holder] { holder.reset(); });
            holder->async([&ran] { ran.add(); });  // queued behind the release: still runs
            holder->async([&ran] { ran.add(); });
            if (!c.releaseInsideJob) holder.reset();
            gate.open();
            ASSERT_TRUE(ran.waitFor(2));
            for (int spin = 0; spin < 100000 && !weak.expired(); ++spin) std::this_thread::sleep_for(100us);
            ASSERT_TRUE(weak.expired());
        });
    }
}

TEST(SerialQueue, SyncFromAnotherSerialQueueRunsThereAndReturns) {
    repeat(200, 2s, [](int) {
        auto a = Queue::createSerial("a");
        auto b = Queue::createSerial("b");
        a->setSpecific(&kKeyA, &kValueA);
        b->setSpecific(&kKeyB, &kValueB);
        std::atomic<int> bHits{0};
        b->async([&] { bHits++; });  // b is busy or has a backlog when a's sync arrives
        Counter done;
        a->async([&] {
            void* insideA = nullptr;
            void* insideB = nullptr;
            bool currentIsB = false;
            int bHitsSeen = 0;
            b->sync([&] {
                insideB = Queue::getSpecific(&kKeyB);
                insideA = Queue::getSpecific(&kKeyA);
                currentIsB = Queue::current() == b;
                bHitsSeen = bHits;
            });
            EXPECT_EQ(insideB, &kValueB);
            EXPECT_EQ(insideA, nullptr);  // a does not lend its values to b
            EXPECT_TRUE(currentIsB);
            EXPECT_EQ(bHitsSeen, 1);      // after b's earlier job
            EXPECT_EQ(Queue::current(), a);
            EXPECT_EQ(Queue::getSpecific(&kKeyA), &kValueA);
            done.add();
        });
        ASSERT_TRUE(done.waitFor(1));
    });
}

// Work that a job posts to an idle serial queue is kept for the job's thread, which runs it when
// the job returns. A job that blocks after posting is no hold-up for that work, however many
// times it posts and blocks: waiting on a condition for each post, or syncing onto its queue, the
// job sees every one run.
TEST(SerialQueue, WorkPostedByAJobThatThenBlocksStillRuns) {
    struct Case {
        const char* name;
        bool viaSync;
    };
    constexpr int kPosts = 4;
    for (const Case& c : {Case{"waits on a condition", false}, Case{"syncs onto the queue it posted to", true}}) {
        SCOPED_TRACE(c.name);
        repeat(50, 2s, [&](int) {
            auto a = Queue::createSerial("a");
            auto b = Queue::createSerial("b");
            Counter posted, done;
            int seen = 0;  // posts the job saw run while it waited
            a->async([&] {
                for (int i = 1; i <= kPosts; ++i) {
                    b->async([&] { posted.add(); });
                    bool sawIt = false;
                    if (c.viaSync) {
                        b->sync([&] { sawIt = posted.value() == i; });
                    } else {
                        sawIt = posted.waitFor(i, 5s);
                    }
                    if (!sawIt) break;
                    ++seen;
                }
                done.add();
            });
            ASSERT_TRUE(done.waitFor(1));
            ASSERT_EQ(seen, kPosts);
        });
    }
}

// Values are read without a lock from a few slots, more keys from a list beside them; either way
// a value can be replaced and removed.
TEST(QueueSpecific, ManyKeysOnOneQueue) {
    auto queue = Queue::createSerial("many");
    static int keys[7];
    static int values[7];
    for (int i = 0; i < 7; ++i) queue->setSpecific(&keys[i], &values[i]);
    queue->sync([&] {
        for (int i = 0; i < 7; ++i) EXPECT_EQ(Queue::getSpecific(&keys[i]), &values[i]) << "key " << i;
    });
    queue->setSpecific(&keys[1], nullptr);
    queue->setSpecific(&keys[6], nullptr);
    queue->setSpecific(&keys[5], &values[0]);
    EXPECT_EQ(queue->specific(&keys[1]), nullptr);
    EXPECT_EQ(queue->specific(&keys[6]), nullptr);
    EXPECT_EQ(queue->specific(&keys[5]), &values[0]);
    queue->setSpecific(&keys[1], &values[1]);  // back in its slot
    EXPECT_EQ(queue->specific(&keys[1]), &values[1]);
    EXPECT_EQ(queue->specific(&kKeyA), nullptr);
}

TEST(QueueSpecific, SeenInsideJobsAndSyncOfTheQueueAndItsTargetsOnly) {
    auto target = Queue::createSerial("target");
    auto marked = Queue::createSerial("marked");
    auto plain = Queue::createSerial("plain");
    target->setSpecific(&kKeyA, &kValueA);
    marked->setTarget(target);
    marked->setSpecific(&kKeyB, &kValueB);

    struct Case {
        const char* name;
        std::shared_ptr<Queue> queue;
        bool viaSync;
        void* a;
        void* b;
    };
    const Case cases[] = {
        {"target, async", target, false, &kValueA, nullptr},
        {"target, sync", target, true, &kValueA, nullptr},
        {"queue marked as targeting it, async", marked, false, &kValueA, &kValueB},
        {"queue marked as targeting it, sync", marked, true, &kValueA, &kValueB},
        {"unrelated queue", plain, true, nullptr, nullptr},
        {"global queue", Queue::global(), true, nullptr, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::atomic<void*> a{&kKeyA}, b{&kKeyA};
        Counter done;
        Job probe = [&] {
            a = Queue::getSpecific(&kKeyA);
            b = Queue::getSpecific(&kKeyB);
            done.add();
        };
        if (c.viaSync) c.queue->sync(probe);
        else c.queue->async(probe);
        ASSERT_TRUE(done.waitFor(1));
        EXPECT_EQ(a.load(), c.a);
        EXPECT_EQ(b.load(), c.b);
    }
    // Off every queue, on a plain thread: nothing.
    std::thread([] { EXPECT_EQ(Queue::getSpecific(&kKeyA), nullptr); EXPECT_EQ(Queue::current(), nullptr); }).join();
    // Values can be replaced and removed.
    target->setSpecific(&kKeyA, &kValueB);
    EXPECT_EQ(target->specific(&kKeyA), &kValueB);
    target->setSpecific(&kKeyA, nullptr);
    EXPECT_EQ(target->specific(&kKeyA), nullptr);
}

TEST(SerialQueue, TargetedQueueRunsInOrderWithItsTargetsJobs) {
    repeat(50, 3s, [](int) {
        auto target = Queue::createSerial("target");
        auto a = Queue::createSerial("a");
        auto b = Queue::createSerial("b");
        a->setTarget(target);
        b->setTarget(target);
        Exclusion exclusion;
        std::vector<int> aOrder;
        Counter done;
        for (int i = 0; i < 100; ++i) {
            a->async([&, i] {
                exclusion.enter();
                aOrder.push_back(i);
                EXPECT_EQ(Queue::current(), a);
                exclusion.leave();
                done.add();
            });
            b->async([&] {
                exclusion.enter();
                exclusion.leave();
                done.add();
            });
            target->async([&] {
                exclusion.enter();
                exclusion.leave();
                done.add();
            });
        }
        ASSERT_TRUE(done.waitFor(300));
        ASSERT_FALSE(exclusion.overlapped);
        for (int i = 0; i < 100; ++i) ASSERT_EQ(aOrder[i], i);
    });
}

// A request offered to runHereIfIdle() runs before the call returns, on the caller's thread and
// as a job of the queue, only while the queue is idle; otherwise, posted, it waits its turn behind
// what is queued, and what is posted during a run here waits behind that run.
TEST(SerialQueue, RunHereIfIdleRunsAtOnceOnlyOnAnIdleQueueAndKeepsTheOrder) {
    using platform::dispatch::runHereIfIdle;
    struct Row {
        const char* name;
        bool busy, targeted;
    };
    for (const Row row : {Row{"idle", false, false}, Row{"busy", true, false}, Row{"with a target", false, true}}) {
        SCOPED_TRACE(row.name);
        auto queue = Queue::createSerial("q");
        if (row.targeted) queue->setTarget(Queue::createSerial("target"));
        std::vector<std::string> order;  // queue only
        std::optional<Gate> gate;
        if (row.busy) {
            gate.emplace(queue);
            ASSERT_TRUE(gate->waitBlocking());
            queue->async([&] { order.push_back("earlier"); });
        }
        const auto caller = std::this_thread::get_id();
        std::atomic<bool> ran{false}, onCaller{false}, asTheQueue{false};
        const Job request = [&] {
            order.push_back("request");
            onCaller = std::this_thread::get_id() == caller;
            asTheQueue = Queue::current() == queue;
            queue->async([&] { order.push_back("posted inside"); });
            order.push_back("request end");
            ran = true;
        };
        if (!runHereIfIdle(queue, request)) queue->async(request);
        // Posted, the request may run on a pool thread before the call returns: only a run on
        // the caller's thread counts as run at once.
        const bool ranBeforeReturn = ran && onCaller;
        if (gate) gate->open();
        dispatch_test::flush(queue);  // the request has run
        dispatch_test::flush(queue);  // and what it posted
        EXPECT_EQ(ranBeforeReturn, !row.busy && !row.targeted);
        EXPECT_EQ(onCaller, ranBeforeReturn);
        EXPECT_TRUE(asTheQueue);
        std::vector<std::string> expected{"request", "request end", "posted inside"};
        if (row.busy) expected.insert(expected.begin(), "earlier");
        EXPECT_EQ(order, expected);
    }
}

// Idle pool threads watch for new work a short while before they sleep, and work posted while
// one watches wakes nobody. Posts that come just before, during and after that watch, from
// several threads onto several queues at once, must all run: a lost hand-off hangs a queue.
TEST(SerialQueue, JobsPostedAtAnyPointOfAnIdleThreadsWatchAllRun) {
    const std::chrono::microseconds pauses[] = {0us, 5us, 30us, 60us, 200us, 2000us};
    constexpr int kPosters = 4;
    for (const auto pause : pauses) {
        SCOPED_TRACE(testing::Message() << "pause " << pause.count() << " us");
        std::vector<std::shared_ptr<Queue>> queues;
        for (int i = 0; i < kPosters; ++i) queues.push_back(Queue::createSerial("q"));
        Counter ran;
        const int rounds = repeat(40, 1s, [&](int round) {
            std::this_thread::sleep_for(pause);
            std::vector<std::thread> posters;
            for (int p = 0; p < kPosters; ++p) {
                // Each thread posts onto its own queue and, every other round, onto a global queue.
                posters.emplace_back([&, p] {
                    queues[size_t(p)]->async([&] { ran.add(); });
                    if (round % 2) Queue::global()->async([&] { ran.add(); });
                });
            }
            for (auto& t : posters) t.join();
            // Well under the 5 s after which a sleeping pool thread looks again on its own.
            ASSERT_TRUE(ran.waitFor((round + 1) * kPosters + (round + 1) / 2 * kPosters, 3s)) << "round " << round;
        });
        EXPECT_EQ(ran.value(), rounds * kPosters + rounds / 2 * kPosters);
    }
}

TEST(GlobalQueue, ThreePrioritiesEachOneRecognisableQueue) {
    const Priority priorities[] = {Priority::Low, Priority::Default, Priority::High};
    for (Priority p : priorities) {
        auto q = Queue::global(p);
        EXPECT_TRUE(q->isGlobal());
        EXPECT_FALSE(q->isMain());
        EXPECT_EQ(q, Queue::global(p));
        for (Priority other : priorities) {
            if (other != p) {
                EXPECT_NE(q, Queue::global(other));
            }
        }
    }
    EXPECT_EQ(Queue::global(), Queue::global(Priority::Default));
    EXPECT_FALSE(Queue::createSerial("s")->isGlobal());
    EXPECT_FALSE(Queue::main()->isGlobal());
    EXPECT_TRUE(Queue::main()->isMain());
    EXPECT_EQ(Queue::createSerial("label")->label(), "label");
}

// Blocking jobs (name look-ups, connect) each get a thread: all of them run at once.
TEST(GlobalQueue, ToleratesManyBlockingJobsAtOnce) {
    constexpr int kJobs = 24;
    std::mutex mutex;
    std::condition_variable cv;
    int running = 0;
    bool release = false;
    Counter finished;
    for (int i = 0; i < kJobs; ++i) {
        Queue::global(i % 2 ? Priority::High : Priority::Low)->async([&] {
            std::unique_lock lock(mutex);
            ++running;
            cv.notify_all();
            cv.wait_for(lock, 20s, [&] { return release; });
            lock.unlock();
            finished.add();
        });
    }
    {
        std::unique_lock lock(mutex);
        EXPECT_TRUE(cv.wait_for(lock, 20s, [&] { return running == kJobs; })) << running << " running";
        release = true;
        cv.notify_all();
    }
    ASSERT_TRUE(finished.waitFor(kJobs, 30s));
}

// Global-queue jobs that each block until released: more of them than the pool runs at once.
class BlockedJobs {
public:
    explicit BlockedJobs(int count) : count_(count) {
        for (int i = 0; i < count; ++i) {
            Queue::global(Priority(i % 3))->async([s = state_] {
                std::unique_lock lock(s->mutex);
                ++s->running;
                s->cv.notify_all();
                s->cv.wait(lock, [&] { return s->released; });
                ++s->finished;
                s->cv.notify_all();
            });
        }
    }
    ~BlockedJobs() { EXPECT_TRUE(release()) << "blocked jobs did not all end"; }
    // Waits until at least n of the jobs block at once.
    bool waitRunning(int n) {
        std::unique_lock lock(state_->mutex);
        return state_->cv.wait_for(lock, 30s, [&] { return state_->running >= n; });
    }
    // Lets every job go and waits until all have ended.
    bool release() {
        std::unique_lock lock(state_->mutex);
        state_->released = true;
        state_->cv.notify_all();
        return state_->cv.wait_for(lock, 30s, [&] { return state_->finished == count_; });
    }

private:
    struct State {
        std::mutex mutex;
        std::condition_variable cv;
        int running = 0;
        int finished = 0;
        bool released = false;
    };
    const int count_;
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

// The pool runs at most 512 global-queue jobs at once. However many of them block, the work of
// serial queues, timers and sources takes a thread of its own and runs at once.
TEST(GlobalQueue, SerialQueuesTimersAndSourcesKeepRunningWhileJobsBlock) {
    constexpr int kBlocked = 600;
    BlockedJobs blocked(kBlocked);
    ASSERT_TRUE(blocked.waitRunning(500));
    std::this_thread::sleep_for(50ms);  // the pool is as full as it gets

    // Each row starts something that must end in one count; what it returns lives until then.
    using Start = std::function<std::shared_ptr<void>(const std::shared_ptr<Counter>&)>;
    struct Row {
        const char* name;
        Start start;
    };
    auto timerOn = [](std::shared_ptr<Queue> queue) {
        return [queue](const std::shared_ptr<Counter>& done) -> std::shared_ptr<void> {
            auto timer = Source::makeTimer(queue);
            timer->setEventHandler([done] { done->add(); });
            timer->setTimer(5ms);
            timer->resume();
            return timer;
        };
    };
    auto afterOnto = [](std::shared_ptr<Queue> queue) {
        return [queue](const std::shared_ptr<Counter>& done) -> std::shared_ptr<void> {
            platform::dispatch::after(5ms, queue, [done] { done->add(); });
            return nullptr;
        };
    };
    const Row rows[] = {
        {"a job on a serial queue",
         [](const std::shared_ptr<Counter>& done) -> std::shared_ptr<void> {
             auto queue = Queue::createSerial("free");
             queue->async([done] { done->add(); });
             return queue;
         }},
        {"a job on a serial queue that targets another",
         [](const std::shared_ptr<Counter>& done) -> std::shared_ptr<void> {
             auto queue = Queue::createSerial("free");
             queue->setTarget(Queue::createSerial("target"));
             queue->async([done] { done->add(); });
             return queue;
         }},
        {"a timer on a serial queue", timerOn(Queue::createSerial("timer"))},
        {"a timer on a global queue", timerOn(Queue::global(Priority::High))},
        {"after() onto a serial queue", afterOnto(Queue::createSerial("after"))},
        {"after() onto a global queue", afterOnto(Queue::global(Priority::Low))},
        {"a read source on a serial queue",
         [](const std::shared_ptr<Counter>& done) -> std::shared_ptr<void> {
             int fds[2];
             if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0) return nullptr;
             auto source = Source::makeRead(fds[0], Queue::createSerial("reader"));
             source->setEventHandler([fd = fds[0], done] {
                 char c;
                 if (read(fd, &c, 1) == 1) done->add();
             });
             source->setCancelHandler([fds0 = fds[0], fds1 = fds[1]] {
                 close(fds0);
                 close(fds1);
             });
             source->resume();
             if (write(fds[1], "x", 1) != 1) return nullptr;
             // Cancelled when the row ends; its cancel handler closes the pair.
             return std::shared_ptr<void>(nullptr, [source](void*) { source->cancel(); });
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto done = std::make_shared<Counter>();
        std::shared_ptr<void> keep = row.start(done);
        EXPECT_TRUE(done->waitFor(1, 2s));
    }
}

// More jobs than the pool runs at once each sync onto one serial queue that is busy when they
// arrive. Every sync waits for that queue's drain: it must get a thread, or all wait for good.
TEST(GlobalQueue, ManyJobsSyncingOntoABusySerialQueueAllReturn) {
    constexpr int kJobs = 600;
    auto busy = Queue::createSerial("busy");
    Gate gate(busy);
    ASSERT_TRUE(gate.waitBlocking());
    auto entered = std::make_shared<Counter>();
    auto returned = std::make_shared<Counter>();
    for (int i = 0; i < kJobs; ++i) {
        Queue::global()->async([busy, entered, returned] {
            entered->add();
            busy->sync([] {});
            returned->add();
        });
    }
    // As many jobs as the pool runs at once are waiting in sync before the queue frees up.
    EXPECT_TRUE(entered->waitFor(500, 30s));
    std::this_thread::sleep_for(50ms);
    gate.open();
    EXPECT_TRUE(returned->waitFor(kJobs, 30s)) << returned->value() << " of " << kJobs << " returned";
}

TEST(GlobalQueue, JobsSeeTheGlobalQueueAsCurrent) {
    Counter done;
    std::atomic<bool> ok{false};
    auto q = Queue::global(Priority::High);
    q->async([&] {
        ok = Queue::current() == q;
        done.add();
    });
    ASSERT_TRUE(done.waitFor(1));
    EXPECT_TRUE(ok);
}

TEST(MainQueue, RunsJobsOnTheMainExecutorInOrderWithMainSpecifics) {
    platform::TestMainLoop loop;
    auto main = Queue::main();
    main->setSpecific(&kKeyA, &kValueA);
    std::vector<int> order;  // touched on the main thread only
    std::atomic<int> offMain{0};
    std::atomic<int> wrongSpecific{0};
    std::thread producer([&] {
        for (int i = 0; i < 100; ++i) {
            main->async([&, i] {
                if (!loop.isMainThread()) offMain++;
                if (Queue::getSpecific(&kKeyA) != &kValueA || Queue::current() != main) wrongSpecific++;
                order.push_back(i);
            });
        }
    });
    producer.join();
    ASSERT_TRUE(loop.runUntil([&] { return order.size() == 100; }, 10s));
    for (int i = 0; i < 100; ++i) ASSERT_EQ(order[i], i);
    EXPECT_EQ(offMain, 0);
    EXPECT_EQ(wrongSpecific, 0);
    main->setSpecific(&kKeyA, nullptr);
}

TEST(MainQueue, SyncFromAnotherThreadBlocksUntilTheMainLoopRanTheJob) {
    platform::TestMainLoop loop;
    repeat(50, 2s, [&](int) {
        std::atomic<bool> jobRan{false}, returned{false}, returnedBeforeJob{false};
        auto worker = Queue::createSerial("worker");
        worker->async([&] {
            Queue::main()->sync([&] { jobRan = true; });
            if (!jobRan) returnedBeforeJob = true;
            returned = true;
        });
        // Not one main-loop turn has run yet: the sync cannot have finished.
        std::this_thread::sleep_for(1ms);
        EXPECT_FALSE(returned);
        ASSERT_TRUE(loop.runUntil([&] { return returned.load(); }, 10s));
        EXPECT_FALSE(returnedBeforeJob);
        worker->sync([] {});
    });
}

using SyncDeath = ::testing::Test;

TEST(SyncDeath, SyncOntoTheQueueAlreadyRunningAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct Case {
        const char* name;
        std::function<void()> body;
    };
    const Case cases[] = {
        {"serial queue from its own job",
         [] {
             auto q = Queue::createSerial("self");
             q->sync([q] { q->sync([] {}); });
         }},
        {"target from a job of a queue that targets it",
         [] {
             auto target = Queue::createSerial("target");
             auto q = Queue::createSerial("q");
             q->setTarget(target);
             q->sync([target] { target->sync([] {}); });
         }},
        {"main queue from the main thread",
         [] {
             platform::TestMainLoop loop;
             Queue::main()->sync([] {});
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_DEATH(c.body(), "would wait forever");
    }
}

}  // namespace
