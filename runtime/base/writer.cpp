// The queue is a ring of bytes: each line is an Entry and its bytes, never
// split at the end of the ring (a WRAP entry, or too little room for one,
// sends the reader back to the start). The writer writes a line straight
// from the ring, without the lock: nobody adds where a line not yet done
// lies.
#include "runtime/base/writer.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

namespace stelmo {

namespace {

constexpr std::size_t ENTRY = 16; // sizeof(Entry), checked below
// The writer's stack: a sink's line buffer and a translated note.
constexpr std::size_t STACK_SIZE = 256 * 1024;

std::size_t padded(std::size_t length)
{
    return (length + 7) & ~std::size_t{7};
}

timespec to_timespec(LineWriter::Clock::time_point at)
{
    const auto since = at.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
    return {static_cast<time_t>(seconds.count()),
            static_cast<long>(std::chrono::nanoseconds(since - seconds).count())};
}

// --- state ------------------------------------------------------------------
// The writers alive, for the wait at exit.
constexpr std::size_t WRITERS_MAX = 16;
std::mutex writers_guard;
LineWriter *writers[WRITERS_MAX] = {};

void enlist(LineWriter *writer, LineWriter *in_place_of)
{
    const std::lock_guard lock(writers_guard);
    for (LineWriter *&slot : writers)
        if (slot == in_place_of) {
            slot = writer;
            return;
        }
}

} // namespace

LineWriter::LineWriter(LineSink &sink, std::size_t capacity)
    : sink_(sink), capacity_(std::max(capacity, ENTRY_MAX + 4 * ENTRY)), ring_(new char[capacity_])
{
    static_assert(sizeof(Entry) == ENTRY);
    pthread_mutexattr_t mutex_attributes;
    pthread_mutexattr_init(&mutex_attributes);
    pthread_mutexattr_setprotocol(&mutex_attributes, PTHREAD_PRIO_INHERIT);
    pthread_mutex_init(&guard_, &mutex_attributes);
    pthread_mutexattr_destroy(&mutex_attributes);
    pthread_condattr_t cond_attributes;
    pthread_condattr_init(&cond_attributes);
    pthread_condattr_setclock(&cond_attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&wake_, &cond_attributes);
    pthread_cond_init(&settled_, &cond_attributes);
    pthread_condattr_destroy(&cond_attributes);
}

std::unique_ptr<LineWriter> LineWriter::start(LineSink &sink, std::size_t capacity,
                                              std::string &error)
{
    std::unique_ptr<LineWriter> writer(new LineWriter(sink, capacity));
    // No signal interrupts the writer's writes: the thread blocks them all
    // (it inherits the mask it is created with).
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, STACK_SIZE);
    const int failed =
        pthread_create(&writer->thread_, &attributes, &LineWriter::run, writer.get());
    pthread_attr_destroy(&attributes);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (failed != 0) {
        error = std::strerror(failed);
        return nullptr;
    }
    writer->started_ = true;
    enlist(writer.get(), nullptr);
    return writer;
}

LineWriter::~LineWriter()
{
    if (started_) {
        enlist(nullptr, this);
        settle(Clock::now() + STOP_WAIT);
        pthread_mutex_lock(&guard_);
        stopping_.store(true);
        pthread_cond_signal(&wake_);
        pthread_mutex_unlock(&guard_);
        pthread_join(thread_, nullptr);
    }
    pthread_cond_destroy(&wake_);
    pthread_cond_destroy(&settled_);
    pthread_mutex_destroy(&guard_);
}

void *LineWriter::run(void *self) noexcept
{
    pthread_setname_np(pthread_self(), "stelmo-write");
    static_cast<LineWriter *>(self)->loop();
    return nullptr;
}

// Makes `need` contiguous bytes free at tail_, moving it to the start of the
// ring when the end has too little; false when there is no such room.
bool LineWriter::room_for(std::size_t need)
{
    if (used_ == 0)
        head_ = tail_ = 0;
    // Added lines lie behind head_ (tail_ at head_: the ring is full).
    if (tail_ < head_ || (tail_ == head_ && used_ > 0))
        return head_ - tail_ >= need;
    if (capacity_ - tail_ >= need)
        return true;
    if (head_ < need) // the start holds no room either
        return false;
    if (capacity_ - tail_ >= ENTRY) {
        const Entry wrap{WRAP, 0, 0};
        std::memcpy(ring_.get() + tail_, &wrap, ENTRY);
    }
    used_ += capacity_ - tail_;
    tail_ = 0;
    return true;
}

bool LineWriter::add(std::initializer_list<std::string_view> parts)
{
    std::size_t length = 0;
    for (const std::string_view part : parts)
        length += part.size();
    length = std::min(length, ENTRY_MAX);
    const std::size_t need = ENTRY + padded(length);

    pthread_mutex_lock(&guard_);
    if (stopping_.load(std::memory_order_relaxed) || !room_for(need)) {
        ++dropped_;
        lost_.fetch_add(1, std::memory_order_relaxed);
        pthread_mutex_unlock(&guard_);
        return false;
    }
    const Entry entry{static_cast<std::uint32_t>(length), 0, dropped_};
    char *at = ring_.get() + tail_;
    std::memcpy(at, &entry, ENTRY);
    std::size_t copied = 0;
    for (const std::string_view part : parts) {
        const std::size_t n = std::min(part.size(), length - copied);
        std::memcpy(at + ENTRY + copied, part.data(), n);
        copied += n;
    }
    dropped_ = 0;
    tail_ += need;
    used_ += need;
    ++added_;
    // The writer gathering lines is left alone until the queue is half full.
    if (idle_ || used_ > capacity_ / 2)
        pthread_cond_signal(&wake_);
    pthread_mutex_unlock(&guard_);
    return true;
}

void LineWriter::loop()
{
    pthread_mutex_lock(&guard_);
    for (;;) {
        while (used_ == 0 && !stopping_.load(std::memory_order_relaxed)) {
            idle_ = true;
            pthread_cond_wait(&wake_, &guard_);
            idle_ = false;
        }
        if (stopping_.load(std::memory_order_relaxed))
            break;
        while (used_ > 0 && !stopping_.load(std::memory_order_relaxed))
            write_next();
        // Gathers the next batch, unless someone waits for the lines.
        const timespec until = to_timespec(Clock::now() + BATCH);
        while (used_ <= capacity_ / 2 && settling_ == 0 &&
               !stopping_.load(std::memory_order_relaxed) &&
               pthread_cond_timedwait(&wake_, &guard_, &until) != ETIMEDOUT) {
        }
    }
    pthread_mutex_unlock(&guard_);
}

// With `guard_` held: writes the line at head_ (without the lock) and takes
// it off the queue.
void LineWriter::write_next()
{
    Entry entry{};
    if (capacity_ - head_ >= ENTRY)
        std::memcpy(&entry, ring_.get() + head_, ENTRY);
    if (capacity_ - head_ < ENTRY || entry.length == WRAP) {
        used_ -= capacity_ - head_;
        head_ = 0;
        return;
    }
    const std::string_view text(ring_.get() + head_ + ENTRY, entry.length);
    pthread_mutex_unlock(&guard_);

    const long lost = unnoted_ + entry.lost;
    if (sink_.put(text, lost, stopping_)) {
        unnoted_ = 0;
    } else {
        unnoted_ = lost + 1;
        lost_.fetch_add(1, std::memory_order_relaxed);
    }

    pthread_mutex_lock(&guard_);
    const std::size_t size = ENTRY + padded(entry.length);
    head_ += size;
    used_ -= size;
    ++done_;
    pthread_cond_broadcast(&settled_);
}

bool LineWriter::settle(Clock::time_point deadline)
{
    const timespec until = to_timespec(deadline);
    pthread_mutex_lock(&guard_);
    const std::uint64_t target = added_;
    ++settling_;
    pthread_cond_signal(&wake_); // no gathering: what is queued goes out now
    while (done_ < target && !stopping_.load(std::memory_order_relaxed) &&
           pthread_cond_timedwait(&settled_, &guard_, &until) != ETIMEDOUT) {
    }
    --settling_;
    const bool settled = done_ >= target;
    pthread_mutex_unlock(&guard_);
    return settled;
}

void settle_writers_at_exit()
{
    static const LineWriter::Clock::time_point deadline = LineWriter::Clock::now() + EXIT_WAIT;
    const std::lock_guard lock(writers_guard);
    for (LineWriter *writer : writers)
        if (writer)
            writer->settle(deadline);
}

} // namespace stelmo
