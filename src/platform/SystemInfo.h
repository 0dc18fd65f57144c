#pragma once
// Facts about the machine: the operating system's version and a network adapter's address.

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

// The operating system's version, in the fields and order of the game's version query.
struct OsVersion {
  uint32_t majorVersion = 0;
  uint32_t minorVersion = 0;
  uint32_t buildNumber = 0;
  uint32_t platformId = 0;
  uint16_t servicePackMajor = 0;
  uint16_t servicePackMinor = 0;
  uint16_t suiteMask = 0;
  uint8_t productType = 0;
};

// The kernel's major, minor and patch release (as major, minor, build), platform id 2, service
// pack 0.0, suite mask 0, product type 1 (a workstation). Nothing when the kernel cannot be asked.
// Any thread.
std::optional<OsVersion> GetOsVersion();

// Reads the leading "major.minor.patch" numbers of a kernel release text such as
// "6.1.0-18-amd64"; missing parts are 0.
OsVersion ParseKernelRelease(const std::string& release);

// The hardware address of the first network interface, by interface index, that is up, is not a
// loopback interface and holds an IP address: six bytes in upper-case hexadecimal joined by
// colons ("00:1A:2B:3C:4D:5E"). Empty when no interface qualifies or the interfaces cannot be
// read. Asks the kernel on every call. Any thread.
std::string LookUpMacAddress();

}  // namespace platform
