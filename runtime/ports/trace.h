// The port trace: a backend that passes every access on to another one and
// appends a line per access to a file (STELMO_TRACE).
#pragma once

#include "runtime/ports/ports.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace stelmo::ports {

// Line format, one per access, times from when the trace was opened:
//   0.120034 out 0x378 0x08          seconds, direction, program's port, value
//   0.120034 out 0x378 0x08 0xd010   ... and the physical port where a mapping applies
class TraceBackend : public Backend {
public:
    // Opens `path` for appending (created 0644 if missing, never truncated) and
    // wraps `inner`. Null with `error` set to one line when the file cannot be opened.
    static std::unique_ptr<TraceBackend> open(const std::string &path,
                                              std::unique_ptr<Backend> inner, std::string &error);
    ~TraceBackend() override;

    TraceBackend(const TraceBackend &) = delete;
    TraceBackend &operator=(const TraceBackend &) = delete;

    bool read(std::uint16_t port, std::uint8_t &value) override;
    bool write(std::uint16_t port, std::uint8_t value) override;
    std::uint16_t physical(std::uint16_t port) const override { return inner_->physical(port); }

    // The traced backend.
    Backend &inner() { return *inner_; }
    // Lines that could not be written to the file.
    long lost_lines() const { return lost_; }

private:
    TraceBackend(std::unique_ptr<Backend> inner, int fd, std::string path);
    // Formats one line on the stack and writes it with one write(2).
    void log(bool out, std::uint16_t port, std::uint8_t value);

    std::unique_ptr<Backend> inner_;
    int fd_;
    std::string path_;
    std::chrono::steady_clock::time_point start_;
    long lost_ = 0;
};

} // namespace stelmo::ports
