// Linux's TCP states (include/net/tcp_states.h) and their Darwin numbers.
#pragma once

#include <cstdint>
#include <iterator>

#include "os/darwin_socket.h"

namespace lumenstat::os::linux_sockets {

inline constexpr std::uint8_t LINUX_TCP_CLOSE_WAIT = 8;
inline constexpr std::uint8_t LINUX_TCP_LAST_ACK = 9;
inline constexpr std::uint8_t LINUX_TCP_CLOSING = 11;

// Darwin's TCP state for a Linux one, or -1 for a number Linux does not use.
// NEW_SYN_RECV is a connection request not yet a socket.
constexpr int darwin_tcp_state(std::uint8_t linux_state) {
    namespace d = darwin;
    constexpr int by_linux_state[] = {
        -1,                    // 0 unused
        d::TCPS_ESTABLISHED,   // 1 ESTABLISHED
        d::TCPS_SYN_SENT,      // 2 SYN_SENT
        d::TCPS_SYN_RECEIVED,  // 3 SYN_RECV
        d::TCPS_FIN_WAIT_1,    // 4 FIN_WAIT1
        d::TCPS_FIN_WAIT_2,    // 5 FIN_WAIT2
        d::TCPS_TIME_WAIT,     // 6 TIME_WAIT
        d::TCPS_CLOSED,        // 7 CLOSE
        d::TCPS_CLOSE_WAIT,    // 8 CLOSE_WAIT
        d::TCPS_LAST_ACK,      // 9 LAST_ACK
        d::TCPS_LISTEN,        // 10 LISTEN
        d::TCPS_CLOSING,       // 11 CLOSING
        d::TCPS_SYN_RECEIVED,  // 12 NEW_SYN_RECV
    };
    return linux_state < std::size(by_linux_state) ? by_linux_state[linux_state] : -1;
}

// Whether Linux's count of unread bytes also holds the peer's FIN: it does
// from the FIN's arrival until the program reads end-of-file, that is in
// these states while the count is not 0. Darwin counts bytes only.
constexpr bool queue_counts_fin(std::uint8_t linux_state) {
    return linux_state == LINUX_TCP_CLOSE_WAIT || linux_state == LINUX_TCP_LAST_ACK ||
           linux_state == LINUX_TCP_CLOSING;
}

}  // namespace lumenstat::os::linux_sockets
