#include "platform/UiBridge.h"

#include <atomic>

namespace platform {

namespace {
std::atomic<UiBridge*> g_bridge{nullptr};
}

UiBridge* UiBridge::current() { return g_bridge.load(std::memory_order_acquire); }

void UiBridge::install(UiBridge* bridge) { g_bridge.store(bridge, std::memory_order_release); }

} // namespace platform
