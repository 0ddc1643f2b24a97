// Trusts a test CA in this Wine prefix: adds the PEM certificate to the LocalMachine "ROOT" store,
// where libcurl's native-CA option finds it. Adding the same certificate again changes nothing.
//   trustca CA.PEM
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: trustca CA.PEM\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::ostringstream pem;
    pem << in.rdbuf();
    const std::string text = pem.str();
    DWORD size = 0;
    if (text.empty() || !CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64HEADER,
                                              nullptr, &size, nullptr, nullptr)) {
        fprintf(stderr, "trustca: no certificate in %s\n", argv[1]);
        return 1;
    }
    std::vector<BYTE> der(size);
    CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64HEADER, der.data(), &size,
                         nullptr, nullptr);
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, "ROOT");
    if (store == nullptr) {
        fprintf(stderr, "trustca: CertOpenStore failed: %lu\n", GetLastError());
        return 1;
    }
    const BOOL added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size,
                                                        CERT_STORE_ADD_USE_EXISTING, nullptr);
    const DWORD error = GetLastError();
    CertCloseStore(store, 0);
    if (!added) {
        fprintf(stderr, "trustca: CertAddEncodedCertificateToStore failed: %lu\n", error);
        return 1;
    }
    return 0;
}
