#include "net_address.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cstdlib>
#include <cstring>

namespace tillcast::serialfilter {

bool ParseHostPort(const std::string& text, HostPort* out) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 >= text.size()) return false;
  std::string host = text.substr(0, colon);
  const std::string port = text.substr(colon + 1);
  if (host.front() == '[') {
    if (host.size() < 3 || host.back() != ']') return false;
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string::npos) {
    return false;  // an IPv6 address needs its brackets
  }
  if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return false;
  const long p = std::strtol(port.c_str(), nullptr, 10);
  if (p < 1 || p > 65535) return false;
  out->host = host;
  out->port = static_cast<uint16_t>(p);
  return true;
}

std::string FormatHostPort(const HostPort& hp) {
  const std::string host = hp.host.find(':') != std::string::npos ? "[" + hp.host + "]" : hp.host;
  return host + ":" + std::to_string(hp.port);
}

bool NumericAddress(const HostPort& hp, SocketAddress* out) {
  *out = SocketAddress{};
  auto* v4 = reinterpret_cast<sockaddr_in*>(&out->storage);
  if (inet_pton(AF_INET, hp.host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(hp.port);
    out->len = sizeof(sockaddr_in);
    return true;
  }
  *out = SocketAddress{};
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&out->storage);
  if (inet_pton(AF_INET6, hp.host.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(hp.port);
    out->len = sizeof(sockaddr_in6);
    return true;
  }
  *out = SocketAddress{};
  return false;
}

bool ResolveAddress(const HostPort& hp, SocketAddress* out, std::string* error) {
  if (NumericAddress(hp, out)) return true;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = getaddrinfo(hp.host.c_str(), std::to_string(hp.port).c_str(), &hints, &found);
  if (rc != 0 || found == nullptr) {
    *error = rc != 0 ? gai_strerror(rc) : "no address";
    return false;
  }
  std::memcpy(&out->storage, found->ai_addr, found->ai_addrlen);
  out->len = found->ai_addrlen;
  freeaddrinfo(found);
  return true;
}

std::string AddressText(const sockaddr* sa, socklen_t len) {
  char host[INET6_ADDRSTRLEN] = "?";
  HostPort hp;
  if (sa->sa_family == AF_INET && len >= sizeof(sockaddr_in)) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(sa);
    inet_ntop(AF_INET, &v4->sin_addr, host, sizeof(host));
    hp.port = ntohs(v4->sin_port);
  } else if (sa->sa_family == AF_INET6 && len >= sizeof(sockaddr_in6)) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(sa);
    inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof(host));
    hp.port = ntohs(v6->sin6_port);
  }
  hp.host = host;
  return FormatHostPort(hp);
}

}  // namespace tillcast::serialfilter
