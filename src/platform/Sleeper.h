#pragma once
// Short waits of the main thread (0.05 s to 2.0 s). The real sleeper sleeps; tests inject a
// recording one so that no test waits them out.

#include <mutex>
#include <vector>

namespace platform {

class Sleeper {
public:
    virtual ~Sleeper();
    virtual void sleep(double seconds) = 0;

    static Sleeper& real();
};

class RecordingSleeper : public Sleeper {
public:
    void sleep(double seconds) override;
    std::vector<double> sleeps() const;
    void clear();

private:
    mutable std::mutex mutex_;
    std::vector<double> sleeps_;
};

}  // namespace platform
