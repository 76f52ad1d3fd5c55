// What the bootstrap and update tests share: the development service's folder, the fixture
// downloads beside the test, and the service's test authority trusted in the prefix for the run.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "foundation/paths.h"
#include "test_support.h"

// VLM_SERVICE_DIR (a Linux path) as Wine sees it.
inline std::string serviceDir() {
    const char* dir = std::getenv("VLM_SERVICE_DIR");
    return dir && *dir ? std::string("Z:") + dir : std::string();
}

// build/downloads: the stand-in installers and the update fixtures, which the service serves.
inline std::filesystem::path downloads() { return std::filesystem::path(modulePath()).parent_path() / L"downloads"; }

// The test authority trusted in this prefix's user Root store for the run, and only for the run: the
// registry store itself, not the Root collection, and committed explicitly (the platform's chain
// engine keeps the collection open, and an uncommitted change would never reach the registry).
struct TrustServiceAuthority : ::testing::Environment {
    std::string der;
    static HCERTSTORE openRoot() {
        return CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
    }
    void SetUp() override {
        ASSERT_FALSE(serviceDir().empty()) << "VLM_SERVICE_DIR names the service's folder";
        der = readFileBytes(serviceDir() + "\\ca.der");
        ASSERT_FALSE(der.empty());
        HCERTSTORE store = openRoot();
        ASSERT_NE(store, nullptr);
        const auto* bytes = reinterpret_cast<const BYTE*>(der.data());
        EXPECT_TRUE(CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, bytes, static_cast<DWORD>(der.size()),
                                                     CERT_STORE_ADD_REPLACE_EXISTING, nullptr));
        CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, nullptr);
        CertCloseStore(store, 0);
    }
    void TearDown() override {
        if (der.empty()) return;
        HCERTSTORE store = openRoot();
        if (!store) return;
        PCCERT_CONTEXT wanted = CertCreateCertificateContext(X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                                             static_cast<DWORD>(der.size()));
        if (wanted) {
            PCCERT_CONTEXT found = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, wanted, nullptr);
            if (found) CertDeleteCertificateFromStore(found);  // frees found
            CertFreeCertificateContext(wanted);
        }
        CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, nullptr);
        CertCloseStore(store, 0);
    }
};
