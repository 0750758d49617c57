#pragma once

// The system's CA bundle for verification without a caller's PEM. A Core built with its own
// libcurl and OpenSSL (KESTRIN_PORTABLE_CA) carries Debian's default paths, so it looks for the
// bundle where each distribution family keeps it; otherwise the libraries' defaults apply.

#include <sys/stat.h>

namespace kestrin {

inline const char *system_ca_bundle() {
#ifdef KESTRIN_PORTABLE_CA
    static const char *const found = [] {
        static constexpr const char *kBundles[] = {
            "/etc/ssl/certs/ca-certificates.crt",                // Debian, Ubuntu, Arch, Gentoo
            "/etc/pki/tls/certs/ca-bundle.crt",                  // Fedora, RHEL
            "/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem", // RHEL, CentOS
            "/etc/ssl/ca-bundle.pem",                            // openSUSE
            "/etc/ssl/cert.pem",                                 // Alpine, Void
        };
        for (const char *path : kBundles) {
            struct stat st;
            if (stat(path, &st) == 0 && S_ISREG(st.st_mode))
                return path;
        }
        return static_cast<const char *>(nullptr);
    }();
    return found;
#else
    return nullptr;
#endif
}

} // namespace kestrin
