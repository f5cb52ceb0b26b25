#include "runtime/clock/frame_pacer.h"

#include <QGuiApplication>
#include <QScreen>

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

namespace stelmo {

FramePacer::FramePacer()
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    const double hz = screen && screen->refreshRate() > 1 ? screen->refreshRate() : 60.0;
    frame_ms_ = std::max(1, static_cast<int>(std::lround(1000.0 / hz)));
    // Without a timer every mark refreshes at once: slower ticks, nothing lost.
    std::string unused;
    clock_ = TickTimer::create(
        frame_ms_, [this] { frame(); }, unused);
}

FramePacer::Client FramePacer::add(std::function<void()> refresh)
{
    clients_.push_back({std::move(refresh), false});
    return clients_.size() - 1;
}

void FramePacer::remove(Client client)
{
    if (client < clients_.size())
        clients_[client] = Entry{};
}

void FramePacer::mark(Client client)
{
    if (client >= clients_.size() || !clients_[client].refresh)
        return;
    clients_[client].marked = true;
    dirty_ = true;
    if (!clock_)
        flush();
    else
        clock_->set_enabled(true); // a running clock keeps its phase
}

void FramePacer::flush()
{
    if (!dirty_)
        return;
    dirty_ = false;
    for (Entry &entry : clients_) {
        if (!entry.marked)
            continue;
        entry.marked = false;
        if (entry.refresh)
            entry.refresh();
    }
}

void FramePacer::frame()
{
    if (!dirty_) {
        clock_->set_enabled(false); // a quiet frame: nothing moves, stop waking up
        return;
    }
    flush();
}

} // namespace stelmo
