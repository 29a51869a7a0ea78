#include "platform/UiBridge.h"

#include <algorithm>
#include <atomic>
#include <chrono>

namespace platform {

namespace {
std::atomic<UiBridge*> g_bridge{nullptr};
}

UiBridge* UiBridge::current() { return g_bridge.load(std::memory_order_acquire); }

void UiBridge::install(UiBridge* bridge) { g_bridge.store(bridge, std::memory_order_release); }

uint32_t waitServingUi(Waitable& object, uint32_t ms)
{
    UiBridge* ui = UiBridge::current();
    if (!ui || !ui->isUiThread())
        return object.wait(ms);
    // Short enough that a waiting box or event is hardly delayed, long
    // enough that the wait costs next to nothing.
    constexpr uint32_t SLICE_MS = 5;
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    for (;;) {
        ui->serveWaitingCalls();
        uint32_t slice = SLICE_MS;
        if (ms != INFINITE) {
            const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
            if (spent >= static_cast<long long>(ms))
                return object.wait(0);
            slice = std::min<uint32_t>(slice, ms - static_cast<uint32_t>(spent));
        }
        const uint32_t result = object.wait(slice);
        if (result != WAIT_TIMEOUT)
            return result;
    }
}

} // namespace platform
