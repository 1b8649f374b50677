#pragma once

#include <QNetworkRequest>
#include <QString>

// What every call to the online service shares: the base address, the device identity, the
// install id and the request headers.

// The running version, as reported to the service and compared with its latest version.
inline constexpr char veltoAppVersion[] = "1.0.3";

// The cached device hash: 64 lower-case hexadecimal characters, or empty when the host does not
// tell a usable machine UUID. Computed on the first call.
QString veltoHardwareHash();
// The base address of the service, always ending in "/".
QString veltoApiBase();
// The install id of this user profile, created and stored on first need.
QString currentInstallId();
// The maker's web site address (build-time setting).
QString veltoWebsiteUrl();
// "windows", "linux", "macos" or the system's own kernel name elsewhere.
QString veltoPlatformName();

// The hash rule: SHA-256 of "velto-device-v1:" + the upper-cased, trimmed UUID text; empty for an
// empty text and for the all-F and all-0 placeholder UUIDs.
QString deviceHashFromUuid(const QString &uuidText);
// The base address for a device: the build's default, unless `deviceHash` is exactly the
// developer hash, in which case "network/apiBase" of the INI file at `overridePath` wins.
QString resolveApiBase(
    const QString &deviceHash, const QString &developerHash, const QString &overridePath);
// The default base address of this build (service host + "/api/v1/velto/").
QString defaultApiBase();

// A request for `base` + `relativePath`. `json` sets Content-Type "application/json"; `bearer`
// adds "Authorization: Bearer <token>" when a token is stored.
QNetworkRequest serviceRequest(const QString &base, const QString &relativePath, bool json,
    bool bearer, int transferTimeoutMs);
// The stored access token ("velto/accessToken"), empty when nobody signed in.
QString storedAccessToken();
void storeAccessToken(const QString &token);
