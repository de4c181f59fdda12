// How the driver and the port keeper talk: one SOCK_SEQPACKET message per
// step, integers little-endian.
//
//   driver → keeper: u32 op
//     kKeeperOpPorts: "the ports, please". The keeper re-reads the
//       configuration, creates the ports it lacks, drops those no longer
//       configured, and answers one message per port:
//         u32 kKeeperPort, u32 type, u32 descriptor count (1 or 2), path
//         + SCM_RIGHTS: the port's device (pty master or FIFO), then for a
//           serial port the slave that keeps the pty alive
//       and then u32 kKeeperEnd, u32 flags (kKeeperManaged).
//     kKeeperOpQuit: "clean stop". u32 kKeeperQuitting (the links are gone
//       by the time it is sent; the keeper exits), or kKeeperStays (a
//       managed keeper, which keeps the ports).
//
// The connection stays open while the driver runs: a keeper knows a driver
// is there by it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/scoped_fd.h"

namespace tillcast::serialfilter {

inline constexpr uint32_t kKeeperOpPorts = 1;
inline constexpr uint32_t kKeeperOpQuit = 2;
inline constexpr uint32_t kKeeperPort = 1;
inline constexpr uint32_t kKeeperEnd = 2;
inline constexpr uint32_t kKeeperQuitting = 3;
inline constexpr uint32_t kKeeperStays = 4;
inline constexpr uint32_t kKeeperManaged = 1;

// The most descriptors one message carries.
inline constexpr size_t kKeeperMaxFds = 2;
// The largest message (a port's header and its path).
inline constexpr size_t kKeeperMaxMessage = 12 + 4096;

// Sends one message with `fds` attached. False on failure.
bool SendKeeperMessage(int sock, const std::string& bytes, const std::vector<int>& fds = {});

// Receives one message, waiting up to `timeout_ms`; descriptors that came
// with it (close-on-exec) go to `*fds`. False on end of file, error,
// timeout or a truncated message.
bool ReceiveKeeperMessage(int sock, int timeout_ms, std::string* bytes, std::vector<platform::ScopedFd>* fds);

}  // namespace tillcast::serialfilter
