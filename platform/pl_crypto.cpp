#include "platform/pl_crypto.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <new>

namespace pl {

struct PkcObject {
    uint32_t kind = 0;
    EVP_PKEY* key = nullptr;
};

namespace {

// The message digest of an algorithm number; null for an unknown number.
const EVP_MD* DigestOf(uint32_t algorithm) { return algorithm == kCryptoAlgSha256 ? EVP_sha256() : nullptr; }

// The capacity an in-length names.
uint32_t DigestCapacity(uint32_t inLength) { return inLength == kCryptoDigestBuffer ? kCryptoMaxDigest : inLength; }

const uint8_t kNoBytes[1] = {0};

// A non-null pointer for OpenSSL calls that refuse null with a length of 0.
const void* Bytes(const void* data) { return data != nullptr ? data : kNoBytes; }

// An RSA public key from its modulus and exponent (big-endian bytes).
EVP_PKEY* MakeRsaPublicKey(const uint8_t* modulus, const uint8_t* exponent) {
    BIGNUM* n = BN_bin2bn(modulus, static_cast<int>(kPkcKeyPartSize), nullptr);
    BIGNUM* e = BN_bin2bn(exponent, static_cast<int>(kPkcKeyPartSize), nullptr);
    OSSL_PARAM_BLD* build = OSSL_PARAM_BLD_new();
    OSSL_PARAM* params = nullptr;
    EVP_PKEY_CTX* ctx = nullptr;
    EVP_PKEY* key = nullptr;
    // A zero modulus or exponent is no key; OpenSSL would take it and fail
    // only at encryption.
    if (n != nullptr && e != nullptr && build != nullptr && !BN_is_zero(n) && !BN_is_zero(e) &&
        OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_N, n) == 1 &&
        OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_E, e) == 1 &&
        (params = OSSL_PARAM_BLD_to_param(build)) != nullptr &&
        (ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr)) != nullptr && EVP_PKEY_fromdata_init(ctx) == 1) {
        if (EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_PUBLIC_KEY, params) != 1) key = nullptr;
    }
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(build);
    BN_free(n);
    BN_free(e);
    return key;
}

}  // namespace

int32_t hashAlgData(uint32_t algorithm, const void* data, uint32_t length, uint8_t* out, uint32_t* outLength) {
    if ((data == nullptr && length != 0) || out == nullptr || outLength == nullptr) return kCryptoBadArgument;
    const EVP_MD* md = DigestOf(algorithm);
    if (md == nullptr) return kCryptoUnknownAlgorithm;
    if (static_cast<uint32_t>(EVP_MD_get_size(md)) > DigestCapacity(*outLength)) return kCryptoBufferTooSmall;
    unsigned int written = 0;
    if (EVP_Digest(Bytes(data), length, out, &written, md, nullptr) != 1) return kCryptoFailed;
    *outLength = written;
    return kCryptoOk;
}

int32_t hmacAlgData(uint32_t algorithm, const void* key, uint32_t keyLength, const void* data, uint32_t length,
                    uint8_t* out, uint32_t* outLength) {
    if ((key == nullptr && keyLength != 0) || (data == nullptr && length != 0) || out == nullptr ||
        outLength == nullptr) {
        return kCryptoBadArgument;
    }
    const EVP_MD* md = DigestOf(algorithm);
    if (md == nullptr) return kCryptoUnknownAlgorithm;
    const uint32_t capacity = DigestCapacity(*outLength);
    if (static_cast<uint32_t>(EVP_MD_get_size(md)) > capacity) return kCryptoBufferTooSmall;
    size_t written = 0;
    if (EVP_Q_mac(nullptr, "HMAC", nullptr, EVP_MD_get0_name(md), nullptr, Bytes(key), keyLength,
                  static_cast<const unsigned char*>(Bytes(data)), length, out, capacity, &written) == nullptr) {
        return kCryptoFailed;
    }
    *outLength = static_cast<uint32_t>(written);
    return kCryptoOk;
}

int32_t osBinToHex(const uint8_t* bytes, uint32_t count, uint32_t form, char* out, uint32_t* outLength) {
    if ((bytes == nullptr && count != 0) || out == nullptr || outLength == nullptr) return kCryptoBadArgument;
    if (form != kCryptoHexLower && form != kCryptoHexUpper) return kCryptoBadArgument;
    // Two digits per byte and the zero byte, counted in 64 bits.
    if (2 * static_cast<uint64_t>(count) + 1 > *outLength) return kCryptoBufferTooSmall;
    const char* digits = form == kCryptoHexUpper ? "0123456789ABCDEF" : "0123456789abcdef";
    for (uint32_t i = 0; i < count; ++i) {
        out[2 * i] = digits[bytes[i] >> 4];
        out[2 * i + 1] = digits[bytes[i] & 0x0F];
    }
    out[2 * static_cast<uint64_t>(count)] = '\0';
    *outLength = 2 * count;
    return kCryptoOk;
}

int32_t pkcCreate(uint32_t kind, PkcHandle* handle) {
    if (handle == nullptr) return kCryptoBadArgument;
    *handle = nullptr;
    if (kind != kPkcKindRsa) return kCryptoBadArgument;
    *handle = new (std::nothrow) PkcObject;
    if (*handle == nullptr) return kCryptoFailed;
    (*handle)->kind = kind;
    return kCryptoOk;
}

int32_t pkcCtrl(PkcHandle handle, uint32_t command, uint32_t length, const void* data, uint32_t reserved1,
                uint32_t reserved2) {
    if (handle == nullptr || data == nullptr || reserved1 != 0 || reserved2 != 0) return kCryptoBadArgument;
    if (command != kPkcCtrlSetPublicKey || length != kPkcKeyBlockSize) return kCryptoBadArgument;
    // The header bytes carry nothing OpenSSL needs: the key size follows
    // from the modulus.
    const auto* block = static_cast<const uint8_t*>(data);
    EVP_PKEY* key = MakeRsaPublicKey(block + kPkcKeyHeaderSize, block + kPkcKeyHeaderSize + kPkcKeyPartSize);
    if (key == nullptr) return kCryptoFailed;
    EVP_PKEY_free(handle->key);
    handle->key = key;
    return kCryptoOk;
}

int32_t pkcEncrypt(PkcHandle handle, const void* data, uint32_t length, uint8_t* out, uint32_t* outLength,
                   uint32_t flags) {
    if (handle == nullptr || (data == nullptr && length != 0) || out == nullptr || outLength == nullptr || flags != 0) {
        return kCryptoBadArgument;
    }
    if (handle->key == nullptr) return kCryptoNoKey;
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, handle->key, nullptr);
    int32_t result = kCryptoFailed;
    size_t needed = 0;
    const auto* in = static_cast<const unsigned char*>(Bytes(data));
    if (ctx != nullptr && EVP_PKEY_encrypt_init(ctx) == 1 &&
        EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
        EVP_PKEY_encrypt(ctx, nullptr, &needed, in, length) == 1) {
        if (needed > *outLength) {
            result = kCryptoBufferTooSmall;
        } else {
            size_t written = *outLength;
            if (EVP_PKEY_encrypt(ctx, out, &written, in, length) == 1) {
                *outLength = static_cast<uint32_t>(written);
                result = kCryptoOk;
            }
        }
    }
    EVP_PKEY_CTX_free(ctx);
    return result;
}

int32_t pkcDestroy(PkcHandle handle) {
    if (handle == nullptr) return kCryptoOk;
    EVP_PKEY_free(handle->key);
    delete handle;
    return kCryptoOk;
}

}  // namespace pl
