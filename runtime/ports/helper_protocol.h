// The conversation between the engine and the port helper stelmo-port, over a
// SOCK_SEQPACKET socketpair (one message per frame, never split or merged).
//
//   helper → engine  Hello, once: the device is open (and locked for this
//                    stelmo) and every capability is gone, or why not (then
//                    the helper exits).
//   engine → helper  Request, fixed size. A read is answered by one Reply. A
//                    write is not answered: the helper makes it and counts a
//                    failure or refusal, and the counts travel with the next
//                    Reply. So a tick (one read, one write) costs one round
//                    trip. A sync asks for a Reply that carries only the counts.
//   engine closes    the helper exits 0.
//
// Anything else from the engine (a frame of another size, an unknown
// operation) ends the helper without an access. Both ends are the same build
// on the same machine, so fields are in host byte order; the Hello carries a
// version all the same, so a stale helper is recognised and not spoken to.
#pragma once

#include <cstddef>
#include <cstdint>

namespace stelmo::ports::helper {

// The helper's name, and where it finds its end of the socket.
constexpr const char *HELPER_NAME = "stelmo-port";
constexpr int HELPER_SOCKET = 3;
constexpr std::uint32_t MAGIC = 0x504c5453; // "STLP"
constexpr std::uint8_t VERSION = 3;

enum Op : std::uint8_t {
    OP_READ = 1,  // read `port`; answered
    OP_WRITE = 2, // write `value` to `port`; not answered
    OP_SYNC = 3,  // answered with the write counts only
};

enum Status : std::uint8_t {
    DONE = 0,    // the access was made; `value` is the byte read
    FAILED = 1,  // the device refused or moved no byte (the helper reported why)
    REFUSED = 2, // not a write to a data register or a read of a switch register: not made
};

struct Request {
    std::uint8_t op;    // Op
    std::uint8_t value; // byte to write (OP_WRITE), else 0
    std::uint16_t port; // the program's port number (0x378, 0x37a, 0x278, 0x27a)
    std::uint32_t seq;  // echoed in the Reply that answers this request
};

struct Reply {
    std::uint32_t seq;            // of the request answered
    std::uint8_t status;          // Status of the read; DONE for a sync
    std::uint8_t value;           // byte read; 0xFF unless DONE
    std::uint16_t write_errno;    // errno of the last of the failed writes below (0: none)
    std::uint32_t failed_writes;  // writes since the previous Reply that failed
    std::uint32_t refused_writes; // ... and that were refused untouched
};

// The first message. `text` follows the header in the same message: the
// device path, as it is, when opened or when the device would not open
// (stelmo then words the line itself, in the operator's language), else one
// printable line saying why not (without "stelmo: ").
struct Hello {
    std::uint32_t magic;       // MAGIC
    std::uint8_t version;      // VERSION
    std::uint8_t opened;       // 1: serving; 0: failed, the helper exits
    std::uint16_t physical[2]; // physical bases of 0x378 and 0x278 when opened
    std::int32_t open_errno;   // the device's open failed with this (EBUSY: in use); else 0
    std::int32_t holder;       // in use by the stelmo of this process id, -1 by one unknown; else 0
};
constexpr std::size_t HELLO_MAX = 8192; // header and text: room for any path

static_assert(sizeof(Request) == 8 && sizeof(Reply) == 16 && sizeof(Hello) == 20);

} // namespace stelmo::ports::helper
