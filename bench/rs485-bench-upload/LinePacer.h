#pragma once
// The tool's half of a paced line. The simulated bus paces what the devices
// send, but a pseudo-terminal hands the tool's requests over at once; the
// pacer sits between the tool and the bus and lets each request through only
// when its last byte would have arrived at the line's baud rate (10 bits a
// byte, the line taken by one direction at a time). Answers pass unchanged.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

// Byte counts of both directions, readable from another process (the pacer
// runs beside the simulator, in a child of the benchmark).
struct LineCounters {
    static constexpr int BUCKETS = 12;
    static constexpr int64_t BUCKET_NS = 500'000;

    std::atomic<uint64_t> requestBytes{0};
    std::atomic<uint64_t> answerBytes{0};
    // The tool's turnaround: from the last answer byte handed to it to the
    // first byte of its next request, in buckets of 0.5 ms (the last: more).
    std::atomic<uint64_t> turnarounds{0};
    std::atomic<uint64_t> turnaroundNs{0};
    std::atomic<uint64_t> turnaroundBuckets[BUCKETS] = {};
    // Monotonic time of the last answer chunk handed to the tool (ns).
    std::atomic<int64_t> lastAnswerNs{0};

    void reset()
    {
        requestBytes = 0;
        answerBytes = 0;
        turnarounds = 0;
        turnaroundNs = 0;
        for (auto& bucket : turnaroundBuckets)
            bucket = 0;
        lastAnswerNs = 0;
    }
};

class LinePacer {
public:
    LinePacer(unsigned baud, LineCounters& counters);
    ~LinePacer();
    LinePacer(const LinePacer&) = delete;
    LinePacer& operator=(const LinePacer&) = delete;

    // Connects to the bus's terminal and opens the tool's; false with lastError().
    bool start(const std::string& busPath);
    // What the tool opens as its serial port.
    const std::string& toolPath() const { return m_toolPath; }
    const std::string& lastError() const { return m_error; }

private:
    void carryRequests();
    void carryAnswers();
    void noteTurnaround();

    const std::chrono::nanoseconds m_byteTime;
    LineCounters& m_counters;
    int m_toolMaster = -1;
    int m_toolSlaveHold = -1;
    int m_bus = -1;
    int m_wake[2] = {-1, -1};
    std::string m_toolPath;
    std::string m_error;
    std::thread m_requests;
    std::thread m_answers;
};
