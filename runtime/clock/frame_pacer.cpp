// Who may arm and disarm the frame clock: `armed_` decides. A marker arms it
// only when it turns `armed_` from false to true; a frame disarms it only
// while `armed_` is still true, clears `armed_` afterwards and then looks
// again for marks that came in meanwhile. So arming and disarming never run
// at the same time, and no mark is left waiting without a frame to come.
#include "runtime/clock/frame_pacer.h"

#include <QGuiApplication>
#include <QObject>
#include <QScreen>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>

namespace stelmo {

FramePacer::FramePacer() : context_(std::make_unique<QObject>())
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    const double hz = screen && screen->refreshRate() > 1 ? screen->refreshRate() : 60.0;
    frame_ms_ = std::max(1, static_cast<int>(std::lround(1000.0 / hz)));
    // Without a timer every mark posts a frame: slower, nothing lost.
    std::string unused;
    clock_ = TickTimer::create(
        frame_ms_, [this] { frame(); }, unused);
}

FramePacer::FramePacer(std::unique_ptr<FrameClock> clock, int frame_ms)
    : frame_ms_(frame_ms), clock_(std::move(clock)), context_(std::make_unique<QObject>())
{
}

FramePacer::~FramePacer() = default;

FramePacer::Client FramePacer::add(std::function<void()> refresh)
{
    if (count_ == MAX_CLIENTS)
        throw std::length_error("a frame pacer serves at most " + std::to_string(MAX_CLIENTS) +
                                " clients");
    Entry &entry = clients_[count_];
    entry.refresh = std::move(refresh);
    entry.active.store(true);
    return count_++;
}

void FramePacer::remove(Client client)
{
    if (client < MAX_CLIENTS)
        clients_[client].active.store(false);
}

void FramePacer::mark(Client client)
{
    if (client >= MAX_CLIENTS || !clients_[client].active.load())
        return;
    clients_[client].marked.store(true);
    dirty_.store(true);
    if (!armed_.exchange(true))
        arm(); // a running clock keeps its phase
}

void FramePacer::arm()
{
    if (clock_)
        clock_->set_enabled(true);
    else
        QMetaObject::invokeMethod(
            context_.get(), [this] { frame(); }, Qt::QueuedConnection);
}

void FramePacer::flush()
{
    if (dirty_.exchange(false))
        refresh_marked();
}

void FramePacer::refresh_marked()
{
    for (std::size_t i = 0; i < count_; ++i) {
        Entry &entry = clients_[i];
        if (entry.marked.exchange(false) && entry.active.load())
            entry.refresh();
    }
}

void FramePacer::frame()
{
    const bool changed = dirty_.exchange(false);
    if (changed) {
        refresh_marked();
        if (after_frame_)
            after_frame_();
    }
    if (changed && clock_)
        return; // keep the clock running while frames have something to show
    // A quiet frame: stop waking up, unless a mark came in meanwhile.
    if (clock_)
        clock_->set_enabled(false);
    armed_.store(false);
    if (dirty_.load() && !armed_.exchange(true))
        arm();
}

} // namespace stelmo
