#include "platform/Mutex.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace platform {

struct Mutex::Core {
    std::mutex lock;
    std::condition_variable cond;
    std::thread::id owner{};
    unsigned depth = 0;
    bool abandoned = false;

    void abandonBy(std::thread::id dying)
    {
        {
            std::lock_guard<std::mutex> guard(lock);
            if (owner != dying)
                return;
            owner = std::thread::id{};
            depth = 0;
            abandoned = true;
        }
        cond.notify_one();
    }
};

namespace {

// Set once the registry of this thread is gone (late in thread exit); a
// thread_local must not be used after its destructor has run.
thread_local bool t_registryGone = false;

// The mutexes the current thread holds; at thread exit each is abandoned.
// The registry shares each core, so a Mutex destroyed meanwhile leaves
// nothing dangling here.
struct HeldMutexes {
    std::vector<std::shared_ptr<Mutex::Core>> cores;
    ~HeldMutexes()
    {
        t_registryGone = true;
        const auto self = std::this_thread::get_id();
        for (auto& core : cores)
            core->abandonBy(self);
    }
};

HeldMutexes* heldByThisThread()
{
    if (t_registryGone)
        return nullptr;
    thread_local HeldMutexes held;
    return &held;
}

void remember(const std::shared_ptr<Mutex::Core>& core)
{
    if (HeldMutexes* held = heldByThisThread())
        held->cores.push_back(core);
}

void forget(const std::shared_ptr<Mutex::Core>& core)
{
    HeldMutexes* held = heldByThisThread();
    if (!held)
        return;
    auto it = std::find(held->cores.begin(), held->cores.end(), core);
    if (it != held->cores.end())
        held->cores.erase(it);
}

} // namespace

Mutex::Mutex() : m_core(std::make_shared<Core>()) {}

Mutex::~Mutex() = default;

uint32_t Mutex::wait(uint32_t ms)
{
    const auto self = std::this_thread::get_id();
    std::unique_lock<std::mutex> guard(m_core->lock);
    if (m_core->owner == self) {
        ++m_core->depth;
        return WAIT_OBJECT_0;
    }
    auto free = [this] { return m_core->owner == std::thread::id{}; };
    if (ms == INFINITE)
        m_core->cond.wait(guard, free);
    else if (!m_core->cond.wait_for(guard, std::chrono::milliseconds(ms), free))
        return WAIT_TIMEOUT;
    m_core->owner = self;
    m_core->depth = 1;
    const bool wasAbandoned = m_core->abandoned;
    m_core->abandoned = false;
    guard.unlock();
    remember(m_core);
    return wasAbandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
}

bool Mutex::release()
{
    // The next owner may destroy the Mutex as soon as it has it: from the
    // unlock on, only the shared core is used.
    const std::shared_ptr<Core> core = m_core;
    const auto self = std::this_thread::get_id();
    {
        std::lock_guard<std::mutex> guard(core->lock);
        if (core->owner != self || core->depth == 0)
            return false;
        if (--core->depth > 0)
            return true;
        core->owner = std::thread::id{};
    }
    core->cond.notify_one();
    forget(core);
    return true;
}

} // namespace platform
