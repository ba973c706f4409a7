#pragma once

/// Values fixed at build time: names, the version and the toolkit the program was built against.
namespace appinfo {

inline constexpr const char *organisationName = "marlox";
inline constexpr const char *applicationName = "Marlox";
inline constexpr const char *applicationVersion = MARLOX_VERSION;
// The toolkit version this release is built and tested against; the run-time version is qVersion().
inline constexpr const char *builtQtVersion = "5.15.3";
inline constexpr const char *applicationDescription = "Marlox " MARLOX_VERSION;

} // namespace appinfo
