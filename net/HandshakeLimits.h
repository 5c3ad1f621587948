#pragma once
// How many TLS handshakes the listeners of one network thread let run at once: at most
// kMaxHandshakesPerAddress from one address and kMaxHandshakes in all. A connection that would go
// beyond is closed before its handshake starts, so a peer (or a crowd) cannot tie up the thread's
// crypto or the descriptors with handshakes it never finishes; each one also ends at the handshake
// time limit.
//
// A slot is held from the ClientHello until the handshake is over, either way; it frees itself.

#include <cstdint>
#include <memory>

inline constexpr int kMaxHandshakesPerAddress = 4;
inline constexpr int kMaxHandshakes = 16;

class HandshakeSlot {
public:
    explicit HandshakeSlot(uint32_t address) : address_(address) {}
    ~HandshakeSlot();
    HandshakeSlot(const HandshakeSlot&) = delete;
    HandshakeSlot& operator=(const HandshakeSlot&) = delete;

private:
    uint32_t address_;
};

// A slot for a handshake from address, or nullptr when the bounds are reached. Used on the
// calling thread's own count: each network thread keeps its own.
std::unique_ptr<HandshakeSlot> takeHandshakeSlot(uint32_t address);
