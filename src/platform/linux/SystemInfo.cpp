#include "platform/SystemInfo.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netpacket/packet.h>
#include <sys/socket.h>
#include <sys/utsname.h>

#include <cstdio>
#include <map>
#include <set>

namespace platform {

OsVersion ParseKernelRelease(const std::string& release) {
  uint32_t parts[3] = {0, 0, 0};
  size_t position = 0;
  for (int index = 0; index < 3; ++index) {
    if (position >= release.size() || release[position] < '0' || release[position] > '9') break;
    uint64_t value = 0;
    while (position < release.size() && release[position] >= '0' && release[position] <= '9') {
      if (value <= UINT32_MAX) value = value * 10 + static_cast<uint32_t>(release[position] - '0');
      ++position;
    }
    parts[index] = value > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(value);
    if (position >= release.size() || release[position] != '.') break;
    ++position;
  }
  OsVersion version;
  version.majorVersion = parts[0];
  version.minorVersion = parts[1];
  version.buildNumber = parts[2];
  version.platformId = 2;
  version.productType = 1;
  return version;
}

std::optional<OsVersion> GetOsVersion() {
  utsname names{};
  if (uname(&names) != 0) return std::nullopt;
  return ParseKernelRelease(names.release);
}

std::string LookUpMacAddress() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return {};

  // getifaddrs lists an interface's hardware (AF_PACKET) entry and its IP entries separately.
  std::set<std::string> withIpAddress;
  struct HardwareAddress {
    std::string interfaceName;
    std::string text;
  };
  std::map<unsigned, HardwareAddress> addressByIndex;
  for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_name == nullptr) continue;
    if ((entry->ifa_flags & IFF_UP) == 0 || (entry->ifa_flags & IFF_LOOPBACK) != 0) continue;
    int family = entry->ifa_addr->sa_family;
    if (family == AF_INET || family == AF_INET6) {
      withIpAddress.insert(entry->ifa_name);
    } else if (family == AF_PACKET) {
      const auto* link = reinterpret_cast<const sockaddr_ll*>(entry->ifa_addr);
      if (link->sll_halen != 6) continue;
      bool allZero = true;
      for (int i = 0; i < 6; ++i) allZero = allZero && link->sll_addr[i] == 0;
      if (allZero) continue;
      char text[18];
      snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", link->sll_addr[0], link->sll_addr[1],
               link->sll_addr[2], link->sll_addr[3], link->sll_addr[4], link->sll_addr[5]);
      addressByIndex.emplace(static_cast<unsigned>(link->sll_ifindex), HardwareAddress{entry->ifa_name, text});
    }
  }
  freeifaddrs(list);

  for (const auto& [index, address] : addressByIndex) {
    if (withIpAddress.count(address.interfaceName) != 0) return address.text;
  }
  return {};
}

}  // namespace platform
