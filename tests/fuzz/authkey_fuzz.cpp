// Hostile service values through the authentication client's pieces: a
// public key (modulus and exponent hex texts) through the key reading and
// RSA encryption, a signature text through the letter decoding, a passport
// attribute through the cut and the "auth.dat" record.
//
// Input: modulus "\n" exponent "\n" signature "\n" passport (missing parts
// are empty).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "session/auth.h"

namespace {

std::string_view Next(std::string_view* rest) {
    const size_t cut = rest->find('\n');
    const std::string_view part = rest->substr(0, cut);
    *rest = cut == std::string_view::npos ? std::string_view() : rest->substr(cut + 1);
    return part;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    const std::string_view modulus = Next(&rest);
    const std::string_view exponent = Next(&rest);
    const std::string_view signature = Next(&rest);
    const std::string_view passport = rest;

    uint8_t part[kvoapi::auth::kKeyPartSize];
    if (kvoapi::auth::ReadKeyHex(modulus, part) && modulus.size() > 2 * kvoapi::auth::kKeyPartSize) std::abort();
    // A cipher of the 1024-bit key is 128 bytes: 172 Base64 characters.
    const std::string cipher = kvoapi::auth::RsaToBase64(modulus, exponent, "u1");
    if (cipher.size() > 172) std::abort();

    const std::string bytes = kvoapi::auth::DecodeHexLetters(signature);
    if (bytes.size() != signature.size() / 2) std::abort();
    const std::string kept = kvoapi::auth::CutPassport(passport);
    if (kept.size() > passport.size() || passport.compare(0, kept.size(), kept) != 0) std::abort();
    std::string file;
    if (kvoapi::auth::BuildAuthFile(kept, bytes, &file)) {
        // 'A', the locale with its length, the text with its length.
        const size_t text = uint8_t(file[12]) | (size_t{uint8_t(file[13])} << 8);
        if (file.size() != text + 14) std::abort();
    }
    const std::string encoded = kvoapi::auth::UrlEncode(passport);
    if (encoded.size() < passport.size() || encoded.size() > 3 * passport.size()) std::abort();
    return 0;
}
