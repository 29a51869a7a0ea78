#include "ui/QtUiBridge.h"

#include "diagnostics/Globalfunctions.h"

#include <QApplication>
#include <QDesktopServices>
#include <QMessageBox>
#include <QMetaObject>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <cmath>
#include <mutex>

namespace {

// A QTimer living on the UI thread. start/stop from another thread are
// queued to it in call order; the QTimer is the context of every queued
// call, so calls still pending when it is deleted are dropped by Qt.
class QtUiTimer final : public platform::UiTimer {
public:
    QtUiTimer(QtUiBridge& bridge, std::function<void()> onTick)
        : m_bridge(bridge), m_state(std::make_shared<State>())
    {
        m_state->onTick = std::move(onTick);
        m_timer = new QTimer;
        m_timer->moveToThread(bridge.thread());
        m_timer->setTimerType(Qt::PreciseTimer);
        auto state = m_state;
        QTimer* timer = m_timer;
        QObject::connect(m_timer, &QTimer::timeout, m_timer, [state, timer] {
            std::function<void()> tick;
            {
                std::lock_guard<std::mutex> guard(state->lock);
                if (!state->alive)
                    return;
                if (state->singleShot) {
                    timer->stop();
                    state->active = false;
                }
                tick = state->onTick;
            }
            // Runs unlocked: the tick may stop, restart or delete this timer.
            if (tick)
                tick();
        });
    }

    ~QtUiTimer() override
    {
        {
            std::lock_guard<std::mutex> guard(m_state->lock);
            m_state->alive = false;
            m_state->active = false;
        }
        if (m_bridge.isUiThread())
            delete m_timer;
        else
            m_timer->deleteLater();
    }

    void start(uint32_t intervalMs, bool singleShot) override
    {
        const double scaled = std::max(0.0, std::round(intervalMs * m_bridge.timeScale()));
        const int interval = scaled > 2147483647.0 ? 2147483647 : static_cast<int>(scaled);
        {
            std::lock_guard<std::mutex> guard(m_state->lock);
            m_state->singleShot = singleShot;
            m_state->active = true;
        }
        QTimer* timer = m_timer;
        onTimerThread([timer, interval] { timer->start(interval); });
    }

    void stop() override
    {
        {
            std::lock_guard<std::mutex> guard(m_state->lock);
            m_state->active = false;
        }
        QTimer* timer = m_timer;
        onTimerThread([timer] { timer->stop(); });
    }

    bool isActive() const override
    {
        std::lock_guard<std::mutex> guard(m_state->lock);
        return m_state->active;
    }

private:
    struct State {
        std::mutex lock;
        bool alive = true;
        bool active = false;
        bool singleShot = false;
        std::function<void()> onTick;
    };

    void onTimerThread(std::function<void()> fn)
    {
        if (m_bridge.isUiThread())
            fn();
        else
            QMetaObject::invokeMethod(m_timer, std::move(fn), Qt::QueuedConnection);
    }

    QtUiBridge& m_bridge;
    std::shared_ptr<State> m_state;
    QTimer* m_timer = nullptr;
};

QMessageBox::Icon qtIcon(platform::MessageIcon icon)
{
    switch (icon) {
    case platform::MessageIcon::Information: return QMessageBox::Information;
    case platform::MessageIcon::Warning: return QMessageBox::Warning;
    case platform::MessageIcon::Error: return QMessageBox::Critical;
    case platform::MessageIcon::None: break;
    }
    return QMessageBox::NoIcon;
}

QWidget* dialogParent()
{
    QWidget* parent = QApplication::activeWindow();
    if (parent && parent->isVisible())
        return parent;
    return nullptr;
}

} // namespace

QtUiBridge::QtUiBridge() = default;

QtUiBridge::~QtUiBridge()
{
    if (platform::UiBridge::current() == this)
        platform::UiBridge::install(nullptr);
}

QtUiBridge* QtUiBridge::installed()
{
    return dynamic_cast<QtUiBridge*>(platform::UiBridge::current());
}

bool QtUiBridge::isUiThread() const
{
    return QThread::currentThread() == thread();
}

void QtUiBridge::runAndWait(const std::function<void()>& fn)
{
    if (isUiThread()) {
        fn();
        return;
    }
    auto call = std::make_shared<Call>();
    call->run = [&fn] { fn(); }; // the caller waits until it has run
    callAndWait(call);
}

void QtUiBridge::callAndWait(const std::shared_ptr<Call>& call)
{
    {
        std::lock_guard<std::mutex> guard(m_callsLock);
        m_calls.push_back(call);
    }
    // The event loop serves it; so does any wait of the UI thread that
    // serves waiting calls meanwhile.
    QMetaObject::invokeMethod(this, [this] { serveWaitingCalls(); }, Qt::QueuedConnection);
    std::unique_lock<std::mutex> guard(m_callsLock);
    m_callsChanged.wait(guard, [&] { return call->done || call->released; });
}

void QtUiBridge::serveWaitingCalls()
{
    if (!isUiThread())
        return;
    for (;;) {
        std::shared_ptr<Call> call;
        {
            std::lock_guard<std::mutex> guard(m_callsLock);
            if (m_calls.empty())
                return;
            call = std::move(m_calls.front());
            m_calls.pop_front();
            call->started = true;
        }
        call->run();
        {
            std::lock_guard<std::mutex> guard(m_callsLock);
            call->done = true;
        }
        m_callsChanged.notify_all();
    }
}

void QtUiBridge::post(std::function<void()> fn)
{
    QMetaObject::invokeMethod(this, std::move(fn), Qt::QueuedConnection);
}

std::unique_ptr<platform::UiTimer> QtUiBridge::createTimer(std::function<void()> onTick)
{
    return std::make_unique<QtUiTimer>(*this, std::move(onTick));
}

void QtUiBridge::setClosing(bool closing)
{
    m_closing.store(closing);
    if (!closing)
        return;
    {
        // Box callers waiting now go on at once: queued boxes will not be
        // shown, open ones are closed below.
        std::lock_guard<std::mutex> guard(m_callsLock);
        for (const auto& call : m_calls)
            if (call->box)
                call->released = true;
        for (Call* call : m_boxesInProgress)
            call->released = true;
    }
    m_callsChanged.notify_all();
    if (!isUiThread())
        return;
    // Each exec() returns once the closing has given control back to it.
    const std::set<QMessageBox*> open = m_openBoxes;
    for (QMessageBox* box : open)
        box->done(QMessageBox::No);
}

int QtUiBridge::execBox(QMessageBox& box)
{
    m_openBoxes.insert(&box);
    const int result = box.exec();
    m_openBoxes.erase(&box);
    return result;
}

bool QtUiBridge::showBox(Call* call, const std::string& text, const std::string& caption,
                         platform::MessageIcon icon, bool question)
{
    {
        std::lock_guard<std::mutex> guard(m_callsLock);
        if (call && call->released)
            return false;
        if (call)
            m_boxesInProgress.insert(call);
    }
    bool yes = false;
    if (closing()) {
        if (!question)
            writeToConsole(text);
    } else if (question) {
        QMessageBox box(QMessageBox::Question, QString::fromStdString(caption), QString::fromStdString(text),
                        QMessageBox::Yes | QMessageBox::No, dialogParent());
        box.setDefaultButton(QMessageBox::No);
        yes = execBox(box) == QMessageBox::Yes && !closing();
    } else {
        QMessageBox box(qtIcon(icon), QString::fromStdString(caption), QString::fromStdString(text),
                        QMessageBox::Ok, dialogParent());
        execBox(box);
    }
    if (call) {
        std::lock_guard<std::mutex> guard(m_callsLock);
        m_boxesInProgress.erase(call);
    }
    return yes;
}

bool QtUiBridge::boxAndWait(const std::string& text, const std::string& caption, platform::MessageIcon icon,
                            bool question)
{
    if (closing()) {
        if (!question)
            writeToConsole(text);
        return false;
    }
    if (isUiThread())
        return showBox(nullptr, text, caption, icon, question);
    auto call = std::make_shared<Call>();
    call->box = true;
    Call* const raw = call.get(); // kept alive by the queue, then by the serving loop
    call->run = [this, raw, text, caption, icon, question] {
        const bool yes = showBox(raw, text, caption, icon, question);
        std::lock_guard<std::mutex> guard(m_callsLock);
        raw->yes = yes;
    };
    callAndWait(call);
    std::lock_guard<std::mutex> guard(m_callsLock);
    if (call->released && !call->started && !question)
        writeToConsole(text); // never shown: the console has it
    return call->done && !call->released && call->yes;
}

void QtUiBridge::messageBox(const std::string& text, const std::string& caption, platform::MessageIcon icon)
{
    boxAndWait(text, caption, icon, false);
}

bool QtUiBridge::askYesNo(const std::string& text, const std::string& caption)
{
    return boxAndWait(text, caption, platform::MessageIcon::None, true);
}

bool QtUiBridge::openUrl(const std::string& url)
{
    bool opened = false;
    runAndWait([&] { opened = QDesktopServices::openUrl(QUrl(QString::fromStdString(url))); });
    return opened;
}
