// Hostile texts through the Base64 coder, the field readers and splitting.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "framework/tl_textutil.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    // Decoding never writes past length + 1 bytes.
    CBase64 coder;
    const auto length = static_cast<std::uint32_t>(size);
    const std::uint32_t need = coder.Decode(text.data(), length, nullptr, 0);
    if (need != CBase64::kError) {
        std::vector<std::uint8_t> out(need);
        const std::uint32_t got = coder.Decode(text.data(), length, out.data(), static_cast<std::int32_t>(need));
        if (got >= need) std::abort();
    }
    // Any bytes survive an encode/decode round trip.
    if (Base64Decode(Base64Encode(text)) != text) std::abort();

    // The first byte picks a key length; the rest is the text to search.
    if (size > 1) {
        const std::size_t keyLength = std::size_t{data[0]} % (size - 1) + 1;
        const std::string_view key = text.substr(1, keyLength);
        const std::string_view body = text.substr(1 + keyLength);
        const std::string a = GetFieldValue(body, key);
        const std::string b = GetJsonNumberValue(body, key);
        const std::string c = GetJsonStringValue(body, key);
        const std::string d = GetFieldValue(body, "codelist");
        if (a.size() > body.size() || b.size() > body.size() || c.size() > body.size() || d.size() > body.size())
            std::abort();
        std::vector<std::string> pieces;
        const std::string delimiter(key);
        TL_SplitString(body, delimiter.c_str(), {&pieces, true});
        std::size_t total = 0;
        for (const auto& p : pieces) total += p.size();
        if (total > body.size()) std::abort();
    }
    return 0;
}
