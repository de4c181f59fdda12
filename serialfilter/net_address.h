// Addresses of the network till ports as the configuration writes them:
// "ADDRESS:PORT", an IPv6 address in brackets ("0.0.0.0:9100",
// "[::]:9100", "192.0.2.50:9100", "printer.shop.lan:9100").
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>

namespace tillcast::serialfilter {

struct HostPort {
  std::string host;  // without brackets
  uint16_t port = 0;
};

// Splits "HOST:PORT" ("[V6]:PORT"); false unless the host is non-empty and
// the port a decimal number 1..65535.
bool ParseHostPort(const std::string& text, HostPort* out);

// "HOST:PORT", an IPv6 address in brackets.
std::string FormatHostPort(const HostPort& hp);

// A socket address. `len` 0: none.
struct SocketAddress {
  sockaddr_storage storage{};
  socklen_t len = 0;
  const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
  int family() const { return storage.ss_family; }
};

// The address of a numeric host (IPv4 or IPv6); false for a name.
bool NumericAddress(const HostPort& hp, SocketAddress* out);

// The address of a numeric host, or of a name looked up in the system's
// resolver (which may block for the resolver's time-out). False with
// `*error` when the name is not found.
bool ResolveAddress(const HostPort& hp, SocketAddress* out, std::string* error);

// "ADDRESS:PORT" of a socket address, for log lines.
std::string AddressText(const sockaddr* sa, socklen_t len);

}  // namespace tillcast::serialfilter
