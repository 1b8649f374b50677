#pragma once

// The about line of the settings page. The web-site address is the build-time setting
// veltoWebsiteUrl() (ServiceEndpoint.h), kept in one place for the about link and the upgrades.
namespace velto {
inline constexpr char aboutCopyrightLine[] = "© 2026 Velto 版权所有";
} // namespace velto
