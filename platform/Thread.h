#pragma once
#include "platform/Wait.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace platform {

// A worker thread in the style the serial stack was designed for: created
// suspended (execute() starts at the first resume()), a terminate flag that
// execute() polls, parking until woken, waiting for the end, and
// synchronize() to run a function on the user-interface thread.
//
// A derived class must end the thread in its own destructor (terminate(),
// resume(), wait(INFINITE)) because execute() uses the derived object; the
// base destructor only does it as a last resort. An object deleted from its
// own execute() lets its thread run out detached; execute() must then return
// without touching the object again.
class Thread : public Waitable {
public:
    enum class Priority { Normal, AboveNormal };

    Thread();
    ~Thread() override;
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // First call starts execute(); later calls wake a thread parked in park().
    void resume();
    // Sets the terminate flag and wakes a parked thread; does not wait. A
    // derived class whose thread sleeps elsewhere wakes it there too.
    virtual void terminate();
    bool terminated() const { return m_terminated.load(); }
    // Waits for the end of execute(): WAIT_OBJECT_0, or WAIT_TIMEOUT; from the
    // thread itself WAIT_FAILED. A thread that was never started is reported
    // as ended.
    uint32_t wait(uint32_t ms) override;
    bool finished() const;
    bool started() const { return m_started.load(); }
    // Best effort: raising the priority needs privileges that a user may lack.
    // May be called before or after the start.
    void setPriority(Priority priority);
    bool isCurrentThread() const;

    // Runs fn on the user-interface thread (UiBridge::current) and waits for it.
    // Without an installed bridge, or on the UI thread itself, fn runs here.
    static void synchronize(const std::function<void()>& fn);

protected:
    virtual void execute() = 0;
    // From execute(): waits until resume() or terminate() is called. A resume()
    // that came while the thread was running is not lost: park() returns at once.
    void park();

private:
    // The end of execute() is signalled here: the running thread keeps it
    // alive, so it never touches the Thread object after execute() returns.
    struct End {
        std::mutex lock;
        std::condition_variable cond;
        bool finished = false;
    };

    void start();
    void applyPriority();
    void join();

    mutable std::mutex m_lock;
    std::condition_variable m_cond;
    std::thread m_thread;
    std::shared_ptr<End> m_end = std::make_shared<End>();
    std::atomic<bool> m_started{false};
    std::atomic<bool> m_terminated{false};
    std::once_flag m_joined;
    bool m_wake = false;
    Priority m_priority = Priority::Normal;
    int m_tid = 0; // kernel thread id, for the priority
    std::thread::id m_id{};
};

} // namespace platform
