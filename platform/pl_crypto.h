// The cryptography calls of the authentication client, over OpenSSL 3:
// a digest and a keyed digest chosen by an algorithm number, bytes to a hex
// text, and a public-key object that encrypts with RSA.
//
// Each call returns 0 on success and one of the kCrypto* codes otherwise;
// callers rely on nothing but 0. Output buffers come with an in/out length:
// in, the buffer's capacity; out, the bytes (or characters) written.
//
// Every algorithm choice is made here, in one place:
// - algorithm 4105 is SHA-256 (32-byte digest), for the digest and for the
//   keyed digest (HMAC-SHA-256);
// - hex form 0 writes lower-case digits, form 1 upper-case digits;
// - key object kind 0x3000 is an RSA public key; control 12 sets it from a
//   516-byte key block (4 header bytes, then the modulus and the exponent,
//   each 256 bytes, big-endian and right-aligned); encryption pads with
//   PKCS#1 v1.5.
#pragma once

#include <cstdint>

namespace pl {

// Algorithm number of the digest and keyed digest: SHA-256.
constexpr uint32_t kCryptoAlgSha256 = 4105;
// Largest digest any algorithm here writes.
constexpr uint32_t kCryptoMaxDigest = 64;
// An in-length that names no capacity: the buffer holds kCryptoMaxDigest
// bytes (the callers pass 64-byte buffers).
constexpr uint32_t kCryptoDigestBuffer = 0xFFFFFFFFu;

// Hex forms of osBinToHex.
constexpr uint32_t kCryptoHexLower = 0;
constexpr uint32_t kCryptoHexUpper = 1;

// Public-key objects.
constexpr uint32_t kPkcKindRsa = 0x3000;
constexpr uint32_t kPkcCtrlSetPublicKey = 12;
constexpr uint32_t kPkcKeyHeaderSize = 4;
constexpr uint32_t kPkcKeyPartSize = 256;
constexpr uint32_t kPkcKeyBlockSize = kPkcKeyHeaderSize + 2 * kPkcKeyPartSize;  // 516

enum : int32_t {
    kCryptoOk = 0,
    kCryptoBadArgument = 1,  // a null pointer, an unknown kind, command or form
    kCryptoUnknownAlgorithm = 2,
    kCryptoBufferTooSmall = 3,  // the result does not fit the output buffer
    kCryptoNoKey = 4,           // encryption before a key was set
    kCryptoFailed = 5,          // OpenSSL refused (a bad key, data too long for the key)
};

// The digest of length bytes of data.
int32_t hashAlgData(uint32_t algorithm, const void* data, uint32_t length, uint8_t* out, uint32_t* outLength);

// The keyed digest (HMAC) of data under key; an empty key is allowed.
int32_t hmacAlgData(uint32_t algorithm, const void* key, uint32_t keyLength, const void* data, uint32_t length,
                    uint8_t* out, uint32_t* outLength);

// The hex text of count bytes, high digit first, followed by a zero byte;
// *outLength gives the capacity (the zero byte included) and receives the
// text's length.
int32_t osBinToHex(const uint8_t* bytes, uint32_t count, uint32_t form, char* out, uint32_t* outLength);

struct PkcObject;
using PkcHandle = PkcObject*;

// A new key object of kind (kPkcKindRsa), without a key.
int32_t pkcCreate(uint32_t kind, PkcHandle* handle);
// Control command on the object: kPkcCtrlSetPublicKey with a key block of
// kPkcKeyBlockSize bytes. The two last arguments are unused and must be 0.
int32_t pkcCtrl(PkcHandle handle, uint32_t command, uint32_t length, const void* data, uint32_t reserved1,
                uint32_t reserved2);
// Encrypts length bytes with the object's public key. flags must be 0.
int32_t pkcEncrypt(PkcHandle handle, const void* data, uint32_t length, uint8_t* out, uint32_t* outLength,
                   uint32_t flags);
// Frees the object (null is ignored).
int32_t pkcDestroy(PkcHandle handle);

}  // namespace pl
