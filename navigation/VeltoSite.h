#pragma once

// The maker's public web site and the about line of the settings page. The address is a
// placeholder under ".invalid" until the release build supplies the real one; keep it here only.
namespace velto {
inline constexpr char webSiteAddress[] = "https://velto.invalid/";
inline constexpr char aboutVersionLine[] = "Velto V1.0.3";
inline constexpr char aboutCopyrightLine[] = "© 2026 Velto 版权所有";
} // namespace velto
