#pragma once
// Wait results with the values the reporting code (reportWaitResult) expects,
// so that every wait in the serial stack reports exactly as on the original
// platform.
#include <cstdint>

namespace platform {

constexpr uint32_t WAIT_OBJECT_0 = 0x00000000;  // signalled / obtained
constexpr uint32_t WAIT_ABANDONED = 0x00000080; // mutex obtained, its last owner thread ended holding it
constexpr uint32_t WAIT_TIMEOUT = 0x00000102;
constexpr uint32_t WAIT_FAILED = 0xFFFFFFFF;
constexpr uint32_t INFINITE = 0xFFFFFFFF;       // as a time limit: wait without limit

// Something a thread can wait for: an Event, a Mutex, the end of a Thread.
class Waitable {
public:
    virtual ~Waitable() = default;
    // Waits at most ms milliseconds (INFINITE: no limit). For a Mutex, a
    // successful wait takes ownership.
    virtual uint32_t wait(uint32_t ms) = 0;
};

// waitFor(object, ms): the one spelling of a wait used throughout the code.
inline uint32_t waitFor(Waitable& object, uint32_t ms) { return object.wait(ms); }
inline uint32_t waitFor(Waitable* object, uint32_t ms) { return object ? object->wait(ms) : WAIT_FAILED; }

} // namespace platform
