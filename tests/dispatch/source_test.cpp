// Read and write sources: suspension counts, level-triggered delivery, cancel, data, lifetimes.

#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/TestSeam.h"
#include "platform/testing/TestMainLoop.h"

#include "dispatch/DispatchTestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <condition_variable>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <sstream>
#include <optional>
#include <pthread.h>
#include <string>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;
using dispatch_test::Counter;
using dispatch_test::Gate;
using dispatch_test::flush;
using dispatch_test::quietPeriod;
using dispatch_test::repeat;
using platform::dispatch::Queue;
using platform::dispatch::Source;

namespace {

// A connected pair of non-blocking stream sockets, closed by the test (never by the layer).
struct SocketPair {
    int a = -1, b = -1;
    explicit SocketPair(int type = SOCK_STREAM) {
        int fds[2];
        if (socketpair(AF_UNIX, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0) ADD_FAILURE() << "socketpair";
        a = fds[0];
        b = fds[1];
    }
    ~SocketPair() {
        if (a >= 0) close(a);
        if (b >= 0) close(b);
    }
    void send(size_t n) const {
        std::vector<char> bytes(n, 'x');
        ASSERT_EQ(write(b, bytes.data(), n), ssize_t(n));
    }
    size_t readOne() const {
        char c;
        return read(a, &c, 1) == 1 ? 1 : 0;
    }
};

bool isOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

// Counts the events the reactor has handed to one source (run its brief handler, or posted the
// delivery to its queue) while it lives: a test waits for that moment rather than sleep.
class HandOvers {
public:
    explicit HandOvers(const Source& source) {
        platform::dispatch::detail::setEventHandedOverHook([this, watched = &source](const Source& s) {
            if (&s == watched) count_.add();
        });
    }
    ~HandOvers() { platform::dispatch::detail::setEventHandedOverHook({}); }
    HandOvers(const HandOvers&) = delete;
    HandOvers& operator=(const HandOvers&) = delete;
    bool waitFor(int n) const { return count_.waitFor(n); }

private:
    Counter count_;
};

// Resumes the suspended read source with one byte waiting, and takes the byte from the descriptor
// while the source's event waits behind a gate on the queue: the event reaches the queue stale.
void makeTheEventStale(const SocketPair& pair, const std::shared_ptr<Queue>& queue, Source& source) {
    Gate gate(queue);
    HandOvers handOvers(source);
    pair.send(1);
    source.resume();
    ASSERT_TRUE(handOvers.waitFor(1));  // the reactor has posted the event behind the gate
    ASSERT_EQ(pair.readOne(), 1u);      // the byte is taken elsewhere first
    gate.open();
}

TEST(Source, CreatedSuspendedAndDeliversOnlyAtSuspendCountZero) {
    struct Case {
        const char* name;
        int extraSuspends;
        int resumes;
        bool delivers;
    };
    const Case cases[] = {
        {"new source, never resumed", 0, 0, false},
        {"new source, resumed once", 0, 1, true},
        {"suspended twice more, resumed twice", 2, 2, false},
        {"suspended twice more, resumed three times", 2, 3, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SocketPair pair;
        auto queue = Queue::createSerial("q");
        auto source = Source::makeRead(pair.a, queue);
        Counter fired;
        source->setEventHandler([&] {
            pair.readOne();
            fired.add();
        });
        pair.send(1);
        for (int i = 0; i < c.extraSuspends; ++i) source->suspend();
        for (int i = 0; i < c.resumes; ++i) source->resume();
        if (c.delivers) {
            EXPECT_TRUE(fired.waitFor(1));
        } else {
            quietPeriod();
            flush(queue);
            EXPECT_EQ(fired.value(), 0);
        }
        source->cancel();
        if (!c.delivers) {
            for (int i = c.resumes; i < c.extraSuspends + 1; ++i) source->resume();
        }
        flush(queue);
    }
}

TEST(Source, LevelTriggeredFiresAgainWhileDataRemains) {
    repeat(50, 3s, [](int) {
        SocketPair pair;
        auto queue = Queue::createSerial("q");
        auto source = Source::makeRead(pair.a, queue);
        std::vector<size_t> seen;  // touched on the queue only
        Counter fired;
        source->setEventHandler([&] {
            seen.push_back(source->getData());
            pair.readOne();  // one byte per invocation: the rest must bring the handler back
            fired.add();
        });
        pair.send(5);
        source->resume();
        ASSERT_TRUE(fired.waitFor(5));
        quietPeriod();
        source->cancel();
        flush(queue);
        EXPECT_EQ(seen, (std::vector<size_t>{5, 4, 3, 2, 1}));
    });
}

// On a concurrent queue only the source itself can keep two invocations apart.
// After events the reactor keeps looking without blocking for a short while, then sleeps in
// epoll. A byte that arrives just before, during or after that stretch must be delivered.
TEST(Source, ReadinessArrivingAtAnyPointOfTheReactorsWatchIsDelivered) {
    const std::chrono::microseconds pauses[] = {0us, 10us, 40us, 70us, 300us, 2000us};
    for (const auto pause : pauses) {
        SCOPED_TRACE(testing::Message() << "pause " << pause.count() << " us");
        SocketPair pair;
        auto queue = Queue::createSerial("q");
        auto source = Source::makeRead(pair.a, queue);
        Counter got;
        source->setEventHandler([&] {
            while (pair.readOne()) got.add();
        });
        source->resume();
        const int rounds = repeat(40, 1s, [&](int round) {
            std::this_thread::sleep_for(pause);
            pair.send(1);
            ASSERT_TRUE(got.waitFor(round + 1, 3s)) << "round " << round;
        });
        EXPECT_EQ(got.value(), rounds);
        source->cancel();
        flush(queue);
    }
}

TEST(Source, AtMostOneInvocationInFlightEvenOnAConcurrentQueue) {
    SocketPair pair;
    auto source = Source::makeRead(pair.a, Queue::global());
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    Counter fired;
    source->setEventHandler([&] {
        if (inside.fetch_add(1) != 0) overlapped = true;
        std::this_thread::sleep_for(200us);
        pair.readOne();
        inside.fetch_sub(1);
        fired.add();
    });
    pair.send(200);
    source->resume();
    ASSERT_TRUE(fired.waitFor(200, 20s));
    EXPECT_FALSE(overlapped);
    Counter cancelled;
    source->setCancelHandler([&] { cancelled.add(); });
    source->cancel();
    ASSERT_TRUE(cancelled.waitFor(1));
}

// epoll takes one registration per descriptor: read and write interest must be merged, so that
// each side is heard while the other is armed and waiting.
TEST(Source, ReadAndWriteSourcesOnOneDescriptorBothDeliver) {
    repeat(50, 2s, [](int) {
        SocketPair pair;
        // Fill a's send buffer: a is not writable until b drains it.
        std::vector<char> chunk(65536, 'f');
        size_t filled = 0;
        for (ssize_t n; (n = write(pair.a, chunk.data(), chunk.size())) > 0;) filled += size_t(n);
        auto queue = Queue::createSerial("q");
        auto reader = Source::makeRead(pair.a, queue);
        auto writer = Source::makeWrite(pair.a, queue);
        Counter reads, writes;
        std::atomic<size_t> writeData{0};
        reader->setEventHandler([&] {
            pair.readOne();
            reads.add();
        });
        writer->setEventHandler([&] {
            writeData = writer->getData();
            writer->suspend();  // writable from now on: one event is enough
            writes.add();
        });
        writer->resume();
        reader->resume();
        // Readable while the write source waits for room.
        pair.send(3);
        ASSERT_TRUE(reads.waitFor(3));
        EXPECT_EQ(writes.value(), 0);
        // Writable while the read source waits for bytes.
        for (size_t drained = 0; drained < filled;) {
            ssize_t n = read(pair.b, chunk.data(), chunk.size());
            if (n > 0) drained += size_t(n);
        }
        ASSERT_TRUE(writes.waitFor(1));
        EXPECT_GE(writeData.load(), 1u);
        // Cancelling one leaves the other working on the same descriptor.
        writer->cancel();
        writer->resume();
        pair.send(2);
        ASSERT_TRUE(reads.waitFor(5));
        reader->cancel();
        flush(queue);
        EXPECT_EQ(writes.value(), 1);
    });
}

TEST(Source, ReadDataIsTheByteCountAtHandlerTime) {
    struct Case {
        const char* name;
        int type;
        size_t bytes;
        bool peerCloses;
        size_t expected;
    };
    const Case cases[] = {
        {"stream with bytes waiting", SOCK_STREAM, 7, false, 7},
        {"stream whose peer closed", SOCK_STREAM, 0, true, 0},
        {"datagram", SOCK_DGRAM, 9, false, 9},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SocketPair pair(c.type);
        auto queue = Queue::createSerial("q");
        auto source = Source::makeRead(pair.a, queue);
        std::atomic<size_t> data{12345};
        Counter fired;
        source->setEventHandler([&] {
            data = source->getData();
            source->suspend();
            fired.add();
        });
        if (c.bytes) pair.send(c.bytes);
        if (c.peerCloses) {
            close(pair.b);
            pair.b = -1;
        }
        source->resume();
        ASSERT_TRUE(fired.waitFor(1));
        EXPECT_EQ(data.load(), c.expected);
        source->cancel();
        source->resume();
        flush(queue);
    }
}

// Readiness that someone else consumed before the handler ran is not delivered: a read handler
// would see 0 bytes and take it for the peer's end of stream.
TEST(Source, ReadinessConsumedBeforeTheHandlerRunsIsNotDelivered) {
    repeat(100, 1s, [](int) {
        SocketPair pair;
        auto queue = Queue::createSerial("q");
        auto source = Source::makeRead(pair.a, queue);
        std::vector<size_t> seen;  // queue only
        Counter fired;
        source->setEventHandler([&] {
            seen.push_back(source->getData());
            pair.readOne();
            fired.add();
        });
        makeTheEventStale(pair, queue, *source);
        flush(queue);
        pair.send(2);
        ASSERT_TRUE(fired.waitFor(2));
        source->cancel();
        flush(queue);
        EXPECT_EQ(seen, (std::vector<size_t>{2, 1}));
    });
}

// A stale event (its byte taken elsewhere before the delivery) whose descriptor becomes ready again
// between the delivery's count and its look at readiness: bytes that came then reach the handler
// as bytes, never as the 0 of an end of stream; a peer that closes there is reported as 0, once.
TEST(Source, ReadinessComingBetweenTheCountAndTheLookIsCountedAgain) {
    struct Row {
        const char* name;
        bool peerCloses;
        std::vector<size_t> expected;
    };
    const Row rows[] = {{"bytes arrive", false, {2}}, {"the peer closes", true, {0}}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        repeat(20, 500ms, [&](int) {
            SocketPair pair;
            auto queue = Queue::createSerial("q");
            auto source = Source::makeRead(pair.a, queue);
            std::vector<size_t> seen;  // queue only
            source->setEventHandler([&] {
                const size_t n = source->getData();
                seen.push_back(n);
                if (n == 0) source->suspend();  // what a socket does at its end of stream
                while (pair.readOne()) {
                }
            });
            bool hooked = false;  // queue only
            platform::dispatch::detail::setAfterReadCountHook([&](int fd, size_t counted) {
                if (fd != pair.a || counted != 0 || hooked) return;
                hooked = true;
                if (row.peerCloses)
                    shutdown(pair.b, SHUT_WR);
                else
                    pair.send(2);
            });
            makeTheEventStale(pair, queue, *source);
            flush(queue);
            quietPeriod();  // a second report of the end of stream would come now
            flush(queue);
            platform::dispatch::detail::setAfterReadCountHook({});
            source->cancel();
            flush(queue);
            EXPECT_TRUE(hooked);
            EXPECT_EQ(seen, row.expected);
        });
    }
}

// A listening socket has no byte count; its handler accepts until accept() says no.
std::string threadName() {
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    return name;
}

// A brief handler runs on the reactor's thread while its queue is idle, as a job of that queue;
// the jobs it posts to other queues go out once its queue is released, so that a request they
// make at once finds it idle. Behind a busy queue, and for other handlers, the delivery waits its
// turn on a pool thread.
TEST(Source, ABriefHandlerRunsOnTheReactorWhileItsQueueIsIdle) {
    struct Row {
        const char* name;
        bool brief, busy, waits;
        const char* thread;
    };
    const Row rows[] = {{"brief, idle queue", true, false, false, "varnel-reactor"},
                        {"brief, idle queue, then a wait on the other queue", true, false, true, "varnel-reactor"},
                        {"brief, busy queue", true, true, false, "varnel-worker"},
                        {"not brief", false, false, false, "varnel-worker"}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SocketPair pair;
        auto queue = Queue::createSerial("q");
        auto other = Queue::createSerial("other");
        auto source = Source::makeRead(pair.a, queue);
        source->setBriefHandler(row.brief);
        std::string thread;
        bool onQueue = false;
        std::atomic<bool> answeredHere{false}, postedFirst{false};
        Counter answered;
        source->setEventHandler([&] {
            while (pair.readOne()) {
            }
            thread = threadName();
            onQueue = Queue::current() == queue;
            other->async([&] {
                answeredHere = platform::dispatch::runHereIfIdle(queue, [] {});
                answered.add();
            });
            // A wait on that queue comes after what was posted to it.
            if (row.waits) other->sync([&] { postedFirst = answered.value() == 1; });
        });
        std::optional<Gate> gate;
        if (row.busy) {
            gate.emplace(queue);
            ASSERT_TRUE(gate->waitBlocking());
        }
        HandOvers handOvers(*source);
        source->resume();
        pair.send(1);
        // Behind a gate, the reactor finds the queue busy: the gate opens once it has posted the
        // delivery.
        ASSERT_TRUE(handOvers.waitFor(1));
        if (gate) gate->open();
        ASSERT_TRUE(answered.waitFor(1));
        dispatch_test::flush(queue);
        EXPECT_EQ(thread, row.thread);
        EXPECT_TRUE(onQueue);
        if (row.waits) {
            EXPECT_TRUE(postedFirst);
        }
        if (row.brief && !row.busy && !row.waits) {
            EXPECT_TRUE(answeredHere);
        }
        source->cancel();
        dispatch_test::flush(queue);
    }
}

// A main loop whose post() holds the poster until release() (or a bound): a slow hand-off.
class SlowPostLoop : public platform::TestMainLoop {
public:
    void post(Job job) override {
        std::unique_lock lock(mutex_);
        cv_.wait_for(lock, 200ms, [&] { return released_; });
        lock.unlock();
        TestMainLoop::post(std::move(job));
    }
    void release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        cv_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool released_ = false;
};

// What a brief handler posts keeps its order with the later jobs of its own queue: those of a
// queue that targets it run as its jobs, and a later job of it posts to another queue only
// after the handler's reports (though they go out after the handler, and a hand-off can be slow).
TEST(Source, ABriefHandlersPostsKeepTheirOrderWithItsQueuesLaterJobs) {
    struct Row {
        const char* name;
        bool reportsTargetTheQueue;
        std::vector<std::string> expected;
    };
    const Row rows[] = {
        {"reports to a queue that targets the handler's", true, {"report", "next job", "next job's report"}},
        {"reports to another queue, behind a slow hand-off", false, {"report", "next job's report"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SlowPostLoop mainLoop;
        SocketPair pair;
        auto queue = Queue::createSerial("q");
        auto reports = Queue::createSerial("reports");
        auto slow = Queue::createSerial("slow");
        slow->setTarget(Queue::main());
        if (row.reportsTargetTheQueue) reports->setTarget(queue);
        std::mutex mutex;
        std::vector<std::string> order;
        auto record = [&](const char* what) {
            std::lock_guard lock(mutex);
            order.push_back(what);
        };
        Counter done;
        std::atomic<bool> slowRan{false};
        auto source = Source::makeRead(pair.a, queue);
        source->setBriefHandler(true);
        source->setEventHandler([&] {
            while (pair.readOne()) {
            }
            slow->async([&] { slowRan = true; });  // its turn goes to the main loop, whose post is slow
            reports->async([&] { record("report"); });
            queue->async([&] {
                if (row.reportsTargetTheQueue) record("next job");
                reports->async([&] {
                    record("next job's report");
                    done.add();
                });
                mainLoop.release();
            });
        });
        source->resume();
        pair.send(1);
        ASSERT_TRUE(done.waitFor(1));
        source->cancel();
        dispatch_test::flush(queue);
        dispatch_test::flush(reports);
        // The slow queue's turn runs on the main loop: left there, it would keep the queue alive.
        EXPECT_TRUE(mainLoop.runUntil([&] { return slowRan.load(); }));
        std::lock_guard lock(mutex);
        EXPECT_EQ(order, row.expected);
    }
}

// Processor time the reactor's thread has used, in clock ticks; -1 when it cannot be read.
long reactorTicks() {
    DIR* tasks = opendir("/proc/self/task");
    if (!tasks) return -1;
    long ticks = -1;
    while (dirent* e = readdir(tasks)) {
        const std::string dir = std::string("/proc/self/task/") + e->d_name;
        std::ifstream comm(dir + "/comm");
        std::string name;
        if (!std::getline(comm, name) || name != "varnel-reactor") continue;
        std::ifstream statFile(dir + "/stat");
        std::string stat((std::istreambuf_iterator<char>(statFile)), {});
        std::istringstream fields(stat.substr(stat.rfind(')') + 2));
        std::string field;
        long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && fields >> field; ++i) {
            if (i == 14) utime = std::stol(field);
            if (i == 15) stime = std::stol(field);
        }
        ticks = utime + stime;
    }
    closedir(tasks);
    return ticks;
}

// After an event the kernel silences the descriptor until someone listens again: a peer that
// hangs up while the source is suspended, or while it is armed on another descriptor, must not
// keep the reactor busy (a hang-up is reported whatever the mask).
TEST(Source, AHangUpWhileNobodyListensCostsTheReactorNothing) {
    SocketPair pair;
    auto queue = Queue::createSerial("q");
    auto source = Source::makeRead(pair.a, queue);
    Counter fired;
    source->setEventHandler([&] {
        while (pair.readOne()) {
        }
        source->suspend();  // nothing more wanted for now
        fired.add();
    });
    source->resume();
    pair.send(1);
    ASSERT_TRUE(fired.waitFor(1));
    shutdown(pair.b, SHUT_RDWR);
    std::this_thread::sleep_for(50ms);  // the reactor's short watch after the event ends
    const long before = reactorTicks();
    if (before < 0) GTEST_SKIP() << "no per-thread processor times here";
    std::this_thread::sleep_for(300ms);
    EXPECT_LE(reactorTicks() - before, 5);  // a reactor woken without end uses about 30
    source->resume();  // listening again, the hang-up is delivered
    ASSERT_TRUE(fired.waitFor(2));
    source->cancel();
    dispatch_test::flush(queue);
}

TEST(Source, ListeningSocketFiresWithNoDataAndTheHandlerDrainsTheBacklog) {
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener, 8), 0);
    socklen_t len = sizeof addr;
    getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    std::vector<int> clients;
    for (int i = 0; i < 3; ++i) {
        int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_EQ(connect(c, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        clients.push_back(c);
    }
    auto queue = Queue::createSerial("accept");
    auto source = Source::makeRead(listener, queue);
    std::vector<int> accepted;
    std::vector<size_t> data;
    Counter done;
    source->setEventHandler([&] {
        data.push_back(source->getData());
        for (;;) {
            int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) break;
            accepted.push_back(fd);
        }
        if (accepted.size() == 3) done.add();
    });
    source->resume();
    ASSERT_TRUE(done.waitFor(1));
    source->cancel();
    flush(queue);
    EXPECT_EQ(data.front(), 0u);
    for (int fd : accepted) close(fd);
    for (int fd : clients) close(fd);
    close(listener);
}

// An invocation that reaches the queue after a suspend waits for the resume.
TEST(Source, EventQueuedBeforeSuspendRunsOnlyAfterResume) {
    repeat(100, 2s, [](int) {
        SocketPair pair;
        auto queue = Queue::createSerial("q");
        auto source = Source::makeRead(pair.a, queue);
        std::atomic<bool> suspended{false};
        std::atomic<bool> ranWhileSuspended{false};
        Counter fired;
        source->setEventHandler([&] {
            if (suspended) ranWhileSuspended = true;
            pair.readOne();
            fired.add();
        });
        Gate gate(queue);
        pair.send(1);
        source->resume();
        std::this_thread::sleep_for(1ms);  // lets the reactor queue the invocation behind the gate
        suspended = true;
        source->suspend();
        gate.open();
        flush(queue);
        quietPeriod();
        flush(queue);
        EXPECT_EQ(fired.value(), 0);
        suspended = false;
        source->resume();
        ASSERT_TRUE(fired.waitFor(1));
        EXPECT_FALSE(ranWhileSuspended);
        source->cancel();
        flush(queue);
    });
}

TEST(Source, AfterCancelTheEventHandlerNeverRunsAgain) {
    enum class Where { QueuedBehindAJob, InsideTheHandler, FromAnotherThreadWhileHandlerRuns };
    struct Case {
        const char* name;
        Where where;
        bool concurrentQueue;  // only the source itself then keeps handler and cancel handler apart
    };
    const Case cases[] = {
        {"invocation already queued", Where::QueuedBehindAJob, false},
        {"from inside the handler", Where::InsideTheHandler, false},
        {"from inside the handler, concurrent queue", Where::InsideTheHandler, true},
        {"from another thread while the handler runs", Where::FromAnotherThreadWhileHandlerRuns, false},
        {"from another thread while the handler runs, concurrent queue", Where::FromAnotherThreadWhileHandlerRuns, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        repeat(100, 1s, [&](int) {
            SocketPair pair;
            auto queue = c.concurrentQueue ? Queue::global() : Queue::createSerial("q");
            auto source = Source::makeRead(pair.a, queue);
            std::atomic<bool> cancelReturned{false};
            std::atomic<bool> ranAfterCancel{false};
            std::atomic<int> inside{0};
            std::atomic<int> insideAtCancelHandler{-1};
            Counter fired, cancelHandlerRuns, blocked;
            source->setCancelHandler([&] {
                insideAtCancelHandler = inside.load();
                cancelHandlerRuns.add();
            });
            source->setEventHandler([&] {
                if (cancelReturned) ranAfterCancel = true;
                inside++;
                fired.add();
                if (c.where == Where::InsideTheHandler) {
                    source->cancel();
                    cancelReturned = true;
                }
                if (c.where == Where::FromAnotherThreadWhileHandlerRuns && fired.value() == 3) {
                    blocked.add();  // the test cancels now, while this invocation is under way
                    for (int i = 0; i < 10000 && !cancelReturned; ++i) std::this_thread::sleep_for(100us);
                }
                if (c.concurrentQueue) std::this_thread::sleep_for(200us);  // room for a cancel handler to overlap
                inside--;
                // No read: the descriptor stays ready and would fire again and again.
            });
            pair.send(1);
            source->resume();
            if (c.where == Where::QueuedBehindAJob) {
                source->suspend();
                Gate gate(queue);
                // An invocation under way at the suspend may still be running (a loaded machine
                // can hold its thread for long): only once the gate holds the queue is none left.
                ASSERT_TRUE(gate.waitBlocking());
                source->resume();
                std::this_thread::sleep_for(1ms);  // lets the reactor queue an invocation behind the gate
                source->cancel();
                cancelReturned = true;
                gate.open();
            } else if (c.where == Where::FromAnotherThreadWhileHandlerRuns) {
                ASSERT_TRUE(blocked.waitFor(1));
                source->cancel();
                cancelReturned = true;
            }
            ASSERT_TRUE(cancelHandlerRuns.waitFor(1));
            quietPeriod();
            if (!c.concurrentQueue) flush(queue);
            EXPECT_FALSE(ranAfterCancel);
            EXPECT_EQ(cancelHandlerRuns.value(), 1);
            EXPECT_EQ(insideAtCancelHandler.load(), 0);  // never while the event handler runs
            if (c.where == Where::FromAnotherThreadWhileHandlerRuns) {
                EXPECT_EQ(fired.value(), 3);
            }
            EXPECT_TRUE(isOpen(pair.a));  // the layer never closes a descriptor
        });
    }
}

TEST(Source, CancelHandlerWaitsForResumeRunsOnceOnTheQueue) {
    struct Case {
        const char* name;
        int suspendsBeforeCancel;
    };
    const Case cases[] = {
        {"cancelled while running", 0},
        {"cancelled while suspended once", 1},
        {"cancelled while suspended twice", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        repeat(100, 2s, [&](int) {
            SocketPair pair;
            auto queue = Queue::createSerial("q");
            auto source = Source::makeRead(pair.a, queue);  // nothing to read: it never fires
            Counter runs;
            std::atomic<bool> onQueue{false};
            source->setEventHandler([] {});
            source->setCancelHandler([&] {
                onQueue = Queue::current() == queue;
                runs.add();
            });
            source->resume();
            for (int i = 0; i < c.suspendsBeforeCancel; ++i) source->suspend();
            source->cancel();
            source->cancel();  // a second cancel changes nothing
            for (int i = 0; i < c.suspendsBeforeCancel; ++i) {
                flush(queue);
                EXPECT_EQ(runs.value(), 0);
                source->resume();
            }
            ASSERT_TRUE(runs.waitFor(1));
            flush(queue);
            EXPECT_EQ(runs.value(), 1);
            EXPECT_TRUE(onQueue);
            EXPECT_TRUE(source->isCancelled());
            EXPECT_TRUE(isOpen(pair.a));
        });
    }
}

// Handlers (and what they hold) are released once the cancel handler has run, never before.
TEST(Source, HandlersReleasedAfterTheCancelHandlerRan) {
    repeat(100, 2s, [](int) {
        SocketPair pair;
        auto queue = Queue::createSerial("q");
        auto source = Source::makeRead(pair.a, queue);
        auto token = std::make_shared<int>(1);
        std::weak_ptr<int> tokenSeen = token;
        std::weak_ptr<Source> sourceSeen = source;
        std::atomic<bool> aliveInCancelHandler{false};
        Counter done;
        // A handler that holds its own source strongly: the cycle must break at cancel.
        source->setEventHandler([token, source] { (void)source; });
        source->setCancelHandler([&, token] {
            aliveInCancelHandler = !tokenSeen.expired();
            done.add();
        });
        token.reset();
        source->resume();
        source->cancel();
        source.reset();
        ASSERT_TRUE(done.waitFor(1));
        flush(queue);
        EXPECT_TRUE(aliveInCancelHandler);
        EXPECT_TRUE(tokenSeen.expired());
        EXPECT_TRUE(sourceSeen.expired());
    });
}

// Dropping the last reference without cancel stops delivery; nothing runs on a dead source.
TEST(Source, DroppedWithoutCancelStopsQuietly) {
    repeat(100, 1s, [](int) {
        SocketPair pair;
        auto queue = Queue::createSerial("q");
        auto source = Source::makeRead(pair.a, queue);
        std::weak_ptr<Source> weakSource = source;
        Counter fired;
        source->setEventHandler([&fired, weakSource] {
            if (auto s = weakSource.lock()) fired.add();
        });
        pair.send(1);
        source->resume();
        source.reset();
        flush(queue);
        quietPeriod();
        flush(queue);
        EXPECT_TRUE(weakSource.expired());
        EXPECT_TRUE(isOpen(pair.a));
    });
}

TEST(Source, HandlerReplacedWhileRunningTakesOverForTheNextEvent) {
    SocketPair pair;
    auto queue = Queue::createSerial("q");
    auto source = Source::makeRead(pair.a, queue);
    Counter first, second;
    source->setEventHandler([&] {
        pair.readOne();
        first.add();
        source->setEventHandler([&] {
            pair.readOne();
            second.add();
        });
    });
    pair.send(3);
    source->resume();
    ASSERT_TRUE(second.waitFor(2));
    EXPECT_EQ(first.value(), 1);
    source->cancel();
    flush(queue);
}

// Suspends, resumes and a cancel from other threads while bytes flow: handlers never overlap,
// none runs once the cancel handler has, and the cancel handler runs once after the last resume.
TEST(Source, StressSuspendResumeCancelFromOtherThreads) {
    struct Case {
        const char* name;
        bool concurrentQueue;
    };
    for (const Case& c : {Case{"serial queue", false}, Case{"concurrent queue", true}}) {
        SCOPED_TRACE(c.name);
        repeat(40, 2s, [&](int round) {
            SocketPair pair;
            auto queue = c.concurrentQueue ? Queue::global() : Queue::createSerial("q");
            auto source = Source::makeRead(pair.a, queue);
            std::atomic<int> inside{0};
            std::atomic<bool> overlapped{false}, afterCancelHandler{false}, cancelHandlerDone{false};
            Counter cancelRuns, fired;
            source->setEventHandler([&] {
                if (inside.fetch_add(1) != 0) overlapped = true;
                if (cancelHandlerDone) afterCancelHandler = true;
                char buffer[16];
                (void)!read(pair.a, buffer, 1 + round % 16);
                inside.fetch_sub(1);
                fired.add();
            });
            source->setCancelHandler([&] {
                if (inside.load() != 0) overlapped = true;
                cancelHandlerDone = true;
                cancelRuns.add();
            });
            source->resume();
            std::atomic<bool> stop{false};
            std::thread writer([&] {
                for (int i = 0; i < 400 && !stop; ++i) {
                    (void)!write(pair.b, "s", 1);  // may meet a full buffer while suspended
                    if (i % 8 == 0) std::this_thread::yield();
                }
            });
            std::thread toggler([&] {
                for (int i = 0; i < 200 && !stop; ++i) {
                    source->suspend();
                    std::this_thread::yield();
                    source->resume();
                }
            });
            fired.waitFor(20, 2s);
            stop = true;
            toggler.join();
            // Cancel while suspended on odd rounds: the cancel handler must wait for the resume.
            const bool suspended = round % 2 == 1;
            if (suspended) source->suspend();
            source->cancel();
            writer.join();
            if (suspended) {
                std::this_thread::sleep_for(1ms);
                EXPECT_EQ(cancelRuns.value(), 0);
                source->resume();
            }
            ASSERT_TRUE(cancelRuns.waitFor(1));
            std::this_thread::sleep_for(2ms);
            EXPECT_EQ(cancelRuns.value(), 1);
            EXPECT_FALSE(overlapped);
            EXPECT_FALSE(afterCancelHandler);
            EXPECT_TRUE(isOpen(pair.a));
        });
    }
}

TEST(SourceDeath, MisuseAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            SocketPair pair;
            auto source = Source::makeRead(pair.a, Queue::createSerial("q"));
            source->resume();
            source->resume();
        },
        "not suspended");
    EXPECT_DEATH(Source::makeRead(0, nullptr), "needs a queue");
}

}  // namespace
