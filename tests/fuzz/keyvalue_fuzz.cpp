// Hostile key-value texts through the splitter and the key-value list, and
// hostile proxy settings texts and proxy replies through the proxy handle.
//
// Input: byte 0 picks the splitter flags (bits 0-2) and separators (bits
// 3-4); the rest is the text to split. For the proxy, the rest is cut at
// '\n' into the settings text, the server host, and reply blocks, each
// reply block being as long as its first byte says.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "framework/net/tl_proxy.h"
#include "framework/tl_key2value.h"

namespace {

// No name server is ever asked: every host name is left to the proxy.
bool NoLookup(const char*, uint32_t*) { return false; }

// A sink that checks every pair against the text it came from.
class CheckingSink : public corvane::CTLKey2Value {
public:
    CheckingSink(size_t limit, char keySep, char pairSep) : m_limit(limit), m_keySep(keySep), m_pairSep(pairSep) {}
    void SetValue(const char* key, const char* value) override {
        const size_t k = std::strlen(key);
        const size_t v = std::strlen(value);
        if (k + v > m_limit || std::memchr(key, m_keySep, k) || std::memchr(key, m_pairSep, k) ||
            std::memchr(value, m_pairSep, v))
            std::abort();
        if (++m_pairs > 1000 && (m_pairs & 1)) throw corvane::break_exception();
        CTLKey2Value::SetValue(key, value);
    }

private:
    size_t m_limit;
    char m_keySep;
    char m_pairSep;
    size_t m_pairs = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    corvane::TL_SetProxyNameLookup(NoLookup);
    if (size == 0 || size > 0x100000) return 0;
    const uint32_t flags = data[0] & 7;
    static const char kSeps[4][2] = {{'=', '&'}, {':', ','}, {' ', '\t'}, {'=', '='}};
    const char* seps = kSeps[(data[0] >> 3) & 3];
    const char* text = reinterpret_cast<const char*>(data + 1);
    const auto length = static_cast<int32_t>(size - 1);

    CheckingSink sink(size - 1, seps[0], seps[1]);
    TL_SplitKeyValues(text, length, seps[0], seps[1], &sink, flags);
    TL_SplitKeyValues(text, length, seps[0], seps[1], &sink, data[0]);  // flags above 7 split nothing
    corvane::CTLKey2Value list;
    list.Parse(text, length);
    for (const auto& [key, value] : list.GetMap())
        if (key.IsEmpty() || key.GetLength() + value.GetLength() > length) std::abort();

    // Settings, host, then reply blocks.
    const std::string rest(text, size - 1);
    const size_t nl1 = rest.find('\n');
    const std::string settings = rest.substr(0, nl1);
    std::string host;
    std::string replies;
    if (nl1 != std::string::npos) {
        const size_t nl2 = rest.find('\n', nl1 + 1);
        host = rest.substr(nl1 + 1, nl2 == std::string::npos ? std::string::npos : nl2 - nl1 - 1);
        if (nl2 != std::string::npos) replies = rest.substr(nl2 + 1);
    }
    corvane::CTLProxyHandle proxy;
    proxy.Parse(settings.c_str());
    const uint16_t port = static_cast<uint16_t>(size * 257);
    std::vector<uint8_t> out(4096);
    const int32_t n = proxy.BuildRequest(out.data(), uint32_t(out.size()), host.c_str(), port);
    if (n < 0 || (n > int32_t(out.size()) && proxy.GetPhase() != 0)) std::abort();
    for (size_t at = 0; at < replies.size();) {
        const size_t block = std::min<size_t>(uint8_t(replies[at]), replies.size() - at);
        const uint8_t before = proxy.GetPhase();
        // A small out buffer half the time, to reach the "does not fit" road.
        const uint32_t room = (replies[at] & 1) ? 16 : uint32_t(out.size());
        const int32_t r = proxy.OnReply(replies.data() + at, uint32_t(block), out.data(), room, host.c_str(), port);
        if (r > int32_t(room) || (r != 0 && before == proxy.GetPhase())) std::abort();
        at += block == 0 ? 1 : block;
    }
    return 0;
}
