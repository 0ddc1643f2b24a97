#include "agent/cryptoutils.h"

#include <openssl/bio.h>
#include <openssl/evp.h>

#include <climits>
#include <memory>

#include "common/tavostatus.h"
#include "logging/tavolog.h"

namespace tavo {

namespace {

struct DigestContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestContextFree>;

// Frees a whole BIO chain.
struct BioChainFree {
    void operator()(BIO* bio) const { BIO_free_all(bio); }
};
using BioChain = std::unique_ptr<BIO, BioChainFree>;

// Pushes a Base64 filter without line breaks on top of sink; the result owns both, or is null
// (sink freed) when the filter cannot be made.
BioChain base64Over(BIO* sink) {
    BioChain bottom(sink);
    if (!bottom) {
        return nullptr;
    }
    BIO* filter = BIO_new(BIO_f_base64());
    if (filter == nullptr) {
        return nullptr;
    }
    BIO_set_flags(filter, BIO_FLAGS_BASE64_NO_NL);
    return BioChain(BIO_push(filter, bottom.release()));
}

// A copy of what a memory sink (or a chain ending in one) holds.
std::string memoryContents(BIO* bio) {
    char* bytes = nullptr;
    const long size = BIO_ctrl(bio, BIO_CTRL_INFO, 0, &bytes);
    if (bytes == nullptr || size <= 0) {
        return std::string();
    }
    return std::string(bytes, static_cast<size_t>(size));
}

}  // namespace

int GetSHA1Hash(const unsigned char* data, size_t length, std::string& out) {
    if (data == nullptr) {
        return TAVO_INVALID_ARGUMENT;
    }
    DigestContext context(EVP_MD_CTX_new());
    if (!context) {
        TAVO_LOG(eLogError, false, "EVP_MD_CTX_new failed.");
        return TAVO_FAIL;
    }
    if (EVP_DigestInit_ex(context.get(), EVP_sha1(), nullptr) != 1) {
        TAVO_LOG(eLogError, false, "EVP_DigestInit_ex failed.");
        return TAVO_FAIL;
    }
    if (EVP_DigestUpdate(context.get(), data, length) != 1) {
        TAVO_LOG(eLogError, false, "EVP_DigestUpdate failed.");
        return TAVO_FAIL;
    }
    unsigned char digest[64] = {};
    unsigned int digestLength = 0;
    if (EVP_DigestFinal_ex(context.get(), digest, &digestLength) != 1) {
        TAVO_LOG(eLogError, false, "EVP_DigestFinal_ex failed.");
        return TAVO_FAIL;
    }
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < digestLength; ++i) {
        text += kDigits[digest[i] >> 4];
        text += kDigits[digest[i] & 0x0F];
    }
    out = std::move(text);
    return TAVO_OK;
}

int Base64Encode(const std::string& data, std::string& out) {
    BioChain chain = base64Over(BIO_new(BIO_s_mem()));
    if (!chain) {
        return TAVO_FAIL;
    }
    // A zero-byte write returns 0, so an empty input fails here like any refused write.
    size_t written = 0;
    do {
        const size_t rest = data.size() - written;
        const int chunk = rest > INT_MAX ? INT_MAX : static_cast<int>(rest);
        const int n = BIO_write(chain.get(), data.data() + written, chunk);
        if (n <= 0) {
            return TAVO_FAIL;
        }
        written += static_cast<size_t>(n);
    } while (written < data.size());

    if (BIO_ctrl(chain.get(), BIO_CTRL_FLUSH, 0, nullptr) != 1) {
        return TAVO_FAIL;
    }
    out = memoryContents(chain.get());
    return TAVO_OK;
}

int Base64Decode(const std::string& text, std::string& out) {
    if (text.size() > INT_MAX) {
        return TAVO_FAIL;
    }
    BioChain source = base64Over(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    BioChain sink(BIO_new(BIO_s_mem()));
    if (!source || !sink) {
        return TAVO_FAIL;
    }
    char chunk[1024];
    for (;;) {
        const int n = BIO_read(source.get(), chunk, sizeof(chunk));
        if (n < 0) {
            return TAVO_FAIL;
        }
        if (n == 0) {
            break;
        }
        if (BIO_write(sink.get(), chunk, n) != n) {
            return TAVO_FAIL;
        }
    }
    if (BIO_ctrl(sink.get(), BIO_CTRL_FLUSH, 0, nullptr) != 1) {
        return TAVO_FAIL;
    }
    // The sink stays writable and so keeps owning its buffer: freeing it frees the bytes too.
    out = memoryContents(sink.get());
    return TAVO_OK;
}

}  // namespace tavo
