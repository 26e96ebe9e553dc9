#pragma once
// The fixture of the TCP socket tests: a socket with a recording delegate on its own queue and a
// blocking peer on 127.0.0.1 to connect to.

#include <gtest/gtest.h>

#include <memory>

#include "net/AsyncTcpSocket.h"
#include "net/TcpTestSupport.h"

namespace nettest {

class TcpSocket : public ::testing::Test {
public:
    void SetUp() override {
        ASSERT_TRUE(peer.ok());
        delegate = std::make_shared<Recorder>();
        delegateQueue = Queue::createSerial("test.delegate");
        sock = AsyncTcpSocket::initWithDelegateDelegateQueue(delegate, delegateQueue);
    }
    void TearDown() override {
        sock.reset();
        flushDelegateQueue();
    }
    // Every report posted so far has been delivered.
    void flushDelegateQueue() {
        if (delegateQueue) delegateQueue->sync([] {});
    }
    // Everything the socket has queued so far has run, and so have its reports.
    void settle() {
        if (sock) sock->performBlock([] {});
        flushDelegateQueue();
    }

    // Connects the socket to the peer and waits for the report of this connection.
    void connect() {
        const size_t before = delegate->of(Event::Connect).size();
        Error err;
        ASSERT_TRUE(sock->connectToHostOnPortError("127.0.0.1", peer.port(), &err)) << err.toString();
        ASSERT_TRUE(peer.accept());
        ASSERT_TRUE(delegate->waitForCount(Event::Connect, before + 1));
    }

    Peer peer;
    std::shared_ptr<Recorder> delegate;
    std::shared_ptr<Queue> delegateQueue;
    std::shared_ptr<AsyncTcpSocket> sock;
};

}  // namespace nettest
