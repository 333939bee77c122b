// The cryptography layer on known answers: SHA-256 and HMAC-SHA-256
// (RFC 4231 test 2), the hex forms, and RSA encryption checked by OpenSSL's
// own decryption with the private key; and the refusals of bad arguments,
// small buffers and unusable keys.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <cstring>
#include <string>

#include "platform/pl_crypto.h"

namespace {

std::string Hex(const uint8_t* bytes, uint32_t n, uint32_t form) {
    char out[256];
    uint32_t length = sizeof out;
    EXPECT_EQ(pl::osBinToHex(bytes, n, form, out, &length), 0);
    return std::string(out, length);
}

TEST(PlCrypto, DigestsOnKnownAnswers) {
    uint8_t digest[64];
    uint32_t length = pl::kCryptoDigestBuffer;
    ASSERT_EQ(pl::hashAlgData(pl::kCryptoAlgSha256, "", 0, digest, &length), 0);
    ASSERT_EQ(length, 32u);
    EXPECT_EQ(Hex(digest, length, pl::kCryptoHexLower),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Hex(digest, length, pl::kCryptoHexUpper),
              "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855");

    const std::string key = "Jefe";
    const std::string data = "what do ya want for nothing?";
    length = pl::kCryptoDigestBuffer;
    ASSERT_EQ(pl::hmacAlgData(pl::kCryptoAlgSha256, key.data(), 4, data.data(), static_cast<uint32_t>(data.size()),
                              digest, &length),
              0);
    EXPECT_EQ(Hex(digest, length, pl::kCryptoHexLower),
              "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
    // An empty key is a key like any other.
    length = 32;
    EXPECT_EQ(pl::hmacAlgData(pl::kCryptoAlgSha256, nullptr, 0, data.data(), 4, digest, &length), 0);

    // Unknown algorithms, small buffers and missing pointers are refused.
    length = pl::kCryptoDigestBuffer;
    EXPECT_EQ(pl::hashAlgData(4106, "a", 1, digest, &length), pl::kCryptoUnknownAlgorithm);
    length = 31;
    EXPECT_EQ(pl::hashAlgData(pl::kCryptoAlgSha256, "a", 1, digest, &length), pl::kCryptoBufferTooSmall);
    length = 64;
    EXPECT_EQ(pl::hmacAlgData(pl::kCryptoAlgSha256, nullptr, 3, "a", 1, digest, &length), pl::kCryptoBadArgument);
    EXPECT_EQ(pl::hashAlgData(pl::kCryptoAlgSha256, "a", 1, digest, nullptr), pl::kCryptoBadArgument);
}

TEST(PlCrypto, HexNeedsRoomForTheZeroByte) {
    const uint8_t bytes[3] = {0x00, 0xA5, 0xFF};
    char out[8];
    uint32_t length = 7;
    ASSERT_EQ(pl::osBinToHex(bytes, 3, pl::kCryptoHexLower, out, &length), 0);
    EXPECT_EQ(length, 6u);
    EXPECT_STREQ(out, "00a5ff");
    length = 6;
    EXPECT_EQ(pl::osBinToHex(bytes, 3, pl::kCryptoHexUpper, out, &length), pl::kCryptoBufferTooSmall);
    length = 8;
    EXPECT_EQ(pl::osBinToHex(bytes, 3, 2, out, &length), pl::kCryptoBadArgument);
    length = 8;
    EXPECT_EQ(pl::osBinToHex(bytes, 0xFFFFFFFFu, pl::kCryptoHexLower, out, &length), pl::kCryptoBufferTooSmall);
}

// A key pair of bits and its public key block (header, then modulus and
// exponent right-aligned in 256 bytes each).
struct KeyPair {
    explicit KeyPair(unsigned bits) {
        key = EVP_RSA_gen(bits);
        BIGNUM* n = nullptr;
        BIGNUM* e = nullptr;
        std::memset(block, 0, sizeof block);
        std::memcpy(block, "\x01\x00\x01\x00", 4);
        if (key != nullptr && EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &n) == 1 &&
            EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_E, &e) == 1) {
            BN_bn2binpad(n, block + 4, 256);
            BN_bn2binpad(e, block + 4 + 256, 256);
        }
        BN_free(n);
        BN_free(e);
    }
    ~KeyPair() { EVP_PKEY_free(key); }
    std::string Decrypt(const uint8_t* cipher, size_t n) {
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr);
        std::string out(512, '\0');
        size_t length = out.size();
        const bool ok = EVP_PKEY_decrypt_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
                        EVP_PKEY_decrypt(ctx, reinterpret_cast<unsigned char*>(out.data()), &length, cipher, n) == 1;
        EVP_PKEY_CTX_free(ctx);
        out.resize(ok ? length : 0);
        return out;
    }
    EVP_PKEY* key = nullptr;
    uint8_t block[pl::kPkcKeyBlockSize];
};

TEST(PlCrypto, RsaEncryptionRoundTrip) {
    KeyPair pair(1024);
    ASSERT_NE(pair.key, nullptr);
    pl::PkcHandle handle = nullptr;
    ASSERT_EQ(pl::pkcCreate(pl::kPkcKindRsa, &handle), 0);
    uint8_t cipher[128];
    uint32_t length = sizeof cipher;
    EXPECT_EQ(pl::pkcEncrypt(handle, "x", 1, cipher, &length, 0), pl::kCryptoNoKey);
    ASSERT_EQ(pl::pkcCtrl(handle, pl::kPkcCtrlSetPublicKey, pl::kPkcKeyBlockSize, pair.block, 0, 0), 0);

    // Zero bytes in the data go through.
    const std::string data("user\0name", 9);
    length = sizeof cipher;
    ASSERT_EQ(pl::pkcEncrypt(handle, data.data(), static_cast<uint32_t>(data.size()), cipher, &length, 0), 0);
    EXPECT_EQ(length, 128u);
    EXPECT_EQ(pair.Decrypt(cipher, length), data);
    // Padding is random: the same data gives another cipher.
    uint8_t again[128];
    uint32_t againLength = sizeof again;
    ASSERT_EQ(pl::pkcEncrypt(handle, data.data(), static_cast<uint32_t>(data.size()), again, &againLength, 0), 0);
    EXPECT_NE(std::memcmp(cipher, again, 128), 0);

    // PKCS#1 v1.5 carries at most 117 bytes on a 1024-bit key.
    const std::string longest(117, 'a');
    length = sizeof cipher;
    EXPECT_EQ(pl::pkcEncrypt(handle, longest.data(), 117, cipher, &length, 0), 0);
    length = sizeof cipher;
    EXPECT_EQ(pl::pkcEncrypt(handle, longest.data(), 118, cipher, &length, 0), pl::kCryptoFailed);
    length = 127;
    EXPECT_EQ(pl::pkcEncrypt(handle, "x", 1, cipher, &length, 0), pl::kCryptoBufferTooSmall);
    EXPECT_EQ(pl::pkcDestroy(handle), 0);
}

TEST(PlCrypto, UnusableKeysAndArguments) {
    pl::PkcHandle handle = nullptr;
    EXPECT_EQ(pl::pkcCreate(0x3001, &handle), pl::kCryptoBadArgument);
    EXPECT_EQ(handle, nullptr);
    ASSERT_EQ(pl::pkcCreate(pl::kPkcKindRsa, &handle), 0);
    uint8_t block[pl::kPkcKeyBlockSize] = {};
    // A zero modulus is no key.
    EXPECT_EQ(pl::pkcCtrl(handle, pl::kPkcCtrlSetPublicKey, sizeof block, block, 0, 0), pl::kCryptoFailed);
    EXPECT_EQ(pl::pkcCtrl(handle, pl::kPkcCtrlSetPublicKey, sizeof block - 1, block, 0, 0), pl::kCryptoBadArgument);
    EXPECT_EQ(pl::pkcCtrl(handle, 11, sizeof block, block, 0, 0), pl::kCryptoBadArgument);

    // A 2048-bit key gives a 256-byte cipher, which a 128-byte buffer
    // cannot take.
    KeyPair big(2048);
    ASSERT_EQ(pl::pkcCtrl(handle, pl::kPkcCtrlSetPublicKey, sizeof big.block, big.block, 0, 0), 0);
    uint8_t cipher[256];
    uint32_t length = 128;
    EXPECT_EQ(pl::pkcEncrypt(handle, "x", 1, cipher, &length, 0), pl::kCryptoBufferTooSmall);
    length = 256;
    ASSERT_EQ(pl::pkcEncrypt(handle, "x", 1, cipher, &length, 0), 0);
    EXPECT_EQ(big.Decrypt(cipher, length), "x");
    EXPECT_EQ(pl::pkcDestroy(handle), 0);
    EXPECT_EQ(pl::pkcDestroy(nullptr), 0);
}

}  // namespace
