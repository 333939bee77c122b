#include "platform/pl_codepage.h"

#include <cerrno>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <iconv.h>
#include <mutex>
#include <string>
#include <vector>

#if defined(KVO_HAVE_ICU)
#include <unicode/utrans.h>
#endif

#include "platform/pl_never_destroyed.h"

namespace pl {
namespace {

struct CodePageName {
    uint32_t cp;
    const char* name;
};

// 52936 is served as EUC-CN ("GB2312"), the 8-bit form that GBK extends, not
// as the 7-bit HZ escape form: texts labelled "gb2312" are EUC-CN in practice.
const CodePageName kCodePages[] = {
    {kCpGbk, "CP936"},       {kCpBig5, "CP950"},       {kCpUtf8, "UTF-8"},         {kCpUtf7, "UTF-7"},
    {kCpGb18030, "GB18030"}, {kCpUtf16Le, "UTF-16LE"}, {kCpWindows1252, "CP1252"}, {kCpGb2312, "GB2312"},
};

constexpr size_t kPageCount = sizeof(kCodePages) / sizeof(kCodePages[0]);

// Row of a code page in kCodePages (code page 0: the system code page);
// kPageCount when the code page is not served.
size_t PageRow(uint32_t cp) {
    if (cp == 0) cp = SystemCodePage();
    for (size_t i = 0; i < kPageCount; ++i) {
        if (kCodePages[i].cp == cp) return i;
    }
    return kPageCount;
}

const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);

// Open iconv converters kept for reuse: opening one costs far more than
// converting a short text, and every text of the library goes through here.
// A descriptor serves one conversion at a time: a conversion takes one from
// the idle list of its pair of names (or opens a new one) and gives it back
// in its initial state. A few idle descriptors are kept per pair; the rest
// are closed. Opens and closes happen under the pool's lock: they load and
// unload glibc's conversion modules, whose bookkeeping is guarded by locks a
// thread checker cannot see, and a pair once opened keeps its module loaded.
// The pool is never destroyed, so conversions made by other objects'
// destructors at process exit still find it.
class IconvPool {
public:
    static IconvPool& Instance() {
        static pl::NeverDestroyed<IconvPool> pool;
        return *pool;
    }

    // The idle list of a pair of names, made on first use; null when the
    // pair has no converter.
    size_t Pair(const char* to, const char* from) {
        std::lock_guard<std::recursive_mutex> g(mu_);
        for (size_t i = 0; i < pairs_.size(); ++i) {
            if (pairs_[i].to == to && pairs_[i].from == from) return i;
        }
        const iconv_t cd = iconv_open(to, from);
        if (cd == kNoConverter) return kNoPair;
        try {
            pairs_.push_back(Idle{to, from, {cd}});
        } catch (...) {
            iconv_close(cd);
            return kNoPair;
        }
        return pairs_.size() - 1;
    }

    iconv_t Take(size_t pair) {
        std::lock_guard<std::recursive_mutex> g(mu_);
        Idle& idle = pairs_[pair];
        if (!idle.cds.empty()) {
            iconv_t cd = idle.cds.back();
            idle.cds.pop_back();
            return cd;
        }
        return iconv_open(idle.to.c_str(), idle.from.c_str());
    }

    void Give(size_t pair, iconv_t cd) {
        iconv(cd, nullptr, nullptr, nullptr, nullptr);  // back to the initial shift state
        std::lock_guard<std::recursive_mutex> g(mu_);
        std::vector<iconv_t>& idle = pairs_[pair].cds;
        if (idle.size() < kKeep) {
            try {
                idle.push_back(cd);
                return;
            } catch (...) {
                // No room to keep it: closed below.
            }
        }
        iconv_close(cd);
    }

    static constexpr size_t kNoPair = static_cast<size_t>(-1);

private:
    struct Idle {
        std::string to;
        std::string from;
        std::vector<iconv_t> cds;
    };
    static constexpr size_t kKeep = 8;
    std::recursive_mutex mu_;
    std::vector<Idle> pairs_;  // only grows: an index stays valid
};

// A converter of the pool for one conversion, given back on every way out.
// A null name (a code page without a converter) gives a handle that is not
// ok.
class IconvHandle {
public:
    IconvHandle(const char* to, const char* from) {
        if (to == nullptr || from == nullptr) return;
        pair_ = IconvPool::Instance().Pair(to, from);
        if (pair_ != IconvPool::kNoPair) cd_ = IconvPool::Instance().Take(pair_);
    }
    ~IconvHandle() {
        if (ok()) IconvPool::Instance().Give(pair_, cd_);
    }
    IconvHandle(const IconvHandle&) = delete;
    IconvHandle& operator=(const IconvHandle&) = delete;
    bool ok() const { return cd_ != kNoConverter; }
    iconv_t get() const { return cd_; }

private:
    size_t pair_ = IconvPool::kNoPair;
    iconv_t cd_ = kNoConverter;
};

constexpr size_t kChunk = 4096;

// glibc's iconv name of wchar_t, which holds UCS-4 in the host's byte order.
// Texts are converted between a code page and UCS-4, not UTF-16: that is
// one step for iconv instead of two, and with two steps every character the
// second step refuses makes glibc convert the first step's buffer again,
// so that a long text full of characters a code page lacks took time
// growing with the square of its length.
const char kUcs4[] = "WCHAR_T";
static_assert(sizeof(wchar_t) == 4, "wchar_t holds UCS-4");

// Whole UCS-4 characters of `bytes` appended as UTF-16.
void AppendUcs4AsUtf16(const char* bytes, size_t n, std::u16string& out) {
    for (size_t i = 0; i + 4 <= n; i += 4) {
        wchar_t w;
        std::memcpy(&w, bytes + i, sizeof w);
        const uint32_t c = static_cast<uint32_t>(w);
        if (c < 0x10000) {
            out.push_back(static_cast<char16_t>(c));
        } else if (c <= 0x10FFFF) {
            out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        } else {
            out.push_back(u'\uFFFD');
        }
    }
}

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Converts in/in_left through cd, a chunk of output at a time, handing each
// chunk to emit(bytes, n). At a sequence the converter refuses (EILSEQ, or
// EINVAL: cut off by the end of the text) it calls skip(err), which writes
// the substitute, steps in/in_left past the sequence and says whether to go
// on.
template <typename Emit, typename Skip>
void ConvertInChunks(iconv_t cd, char*& in, size_t& in_left, Emit emit, Skip skip) {
    char buf[kChunk];
    while (in_left > 0) {
        char* outp = buf;
        size_t out_left = sizeof(buf);
        size_t r = iconv(cd, &in, &in_left, &outp, &out_left);
        int err = errno;
        emit(buf, static_cast<size_t>(outp - buf));
        if (r != static_cast<size_t>(-1)) break;
        if (err == E2BIG) continue;
        if (!skip(err)) break;
    }
}

// Closes any shift state of cd (UTF-7), appending the bytes that takes.
void CloseShift(iconv_t cd, std::string& out) {
    char buf[kChunk];
    char* outp = buf;
    size_t out_left = sizeof(buf);
    iconv(cd, nullptr, nullptr, &outp, &out_left);
    out.append(buf, static_cast<size_t>(outp - buf));
}

}  // namespace

uint32_t SystemCodePage() { return kCpGbk; }

const char* CodePageIconvName(uint32_t cp) {
    size_t row = PageRow(cp);
    return row < kPageCount ? kCodePages[row].name : nullptr;
}

int MultiByteToUtf16(uint32_t cp, const char* text, size_t len, std::u16string& out) {
    IconvHandle cd(kUcs4, CodePageIconvName(cp));
    if (!cd.ok()) return -1;
    if (len == 0) return 0;

    char* in = const_cast<char*>(text);
    size_t in_left = len;
    ConvertInChunks(
        cd.get(), in, in_left, [&](const char* bytes, size_t n) { AppendUcs4AsUtf16(bytes, n, out); },
        [&](int err) {
            // An invalid byte (EILSEQ) or a sequence cut off by the end of
            // the text (EINVAL): substitute and go on after one byte.
            out.push_back(u'\uFFFD');
            if (err == EINVAL) return false;
            ++in;
            --in_left;
            iconv(cd.get(), nullptr, nullptr, nullptr, nullptr);
            return true;
        });
    return 0;
}

int ConvertExact(uint32_t from, uint32_t to, const char* text, size_t len, std::string& out) {
    IconvHandle cd(CodePageIconvName(to), CodePageIconvName(from));
    if (!cd.ok()) return -1;
    std::string result;
    char* in = const_cast<char*>(text);
    size_t in_left = text ? len : 0;
    bool refused = false;
    ConvertInChunks(
        cd.get(), in, in_left, [&](const char* bytes, size_t n) { result.append(bytes, n); },
        [&](int) {
            refused = true;
            return false;
        });
    if (refused) return -1;
    CloseShift(cd.get(), result);
    out.swap(result);
    return 0;
}

int BuildDoubleByteTable(uint32_t cp, int32_t* table) {
    IconvHandle cd("UTF-32LE", CodePageIconvName(cp));
    if (!cd.ok()) return -1;
    for (size_t i = 0; i < kDoubleByteTableSize; ++i) {
        char pair[2] = {static_cast<char>(0x80 + i / 256), static_cast<char>(i % 256)};
        unsigned char wide[8];
        char* in = pair;
        size_t in_left = sizeof pair;
        char* outp = reinterpret_cast<char*>(wide);
        size_t out_left = sizeof wide;
        iconv(cd.get(), nullptr, nullptr, nullptr, nullptr);
        const size_t r = iconv(cd.get(), &in, &in_left, &outp, &out_left);
        // Exactly one character from both bytes.
        if (r == static_cast<size_t>(-1) || in_left != 0 || sizeof wide - out_left != 4) {
            table[i] = -1;
            continue;
        }
        const uint32_t scalar = wide[0] | (wide[1] << 8) | (wide[2] << 16) | (static_cast<uint32_t>(wide[3]) << 24);
        table[i] = static_cast<int32_t>(scalar);
    }
    return 0;
}

int Utf16ToMultiByte(uint32_t cp, const char16_t* text, size_t len, std::string& out) {
    IconvHandle cd(CodePageIconvName(cp), kUcs4);
    if (!cd.ok()) return -1;
    if (len == 0) return 0;

    const bool wide_target = (cp == kCpUtf16Le);
    // A character the target lacks or a lone surrogate: close any shift
    // state and put '?' in its place.
    auto substitute = [&] {
        CloseShift(cd.get(), out);
        out.push_back('?');
        if (wide_target) out.push_back('\0');
    };
    // The text goes to the converter as UCS-4 a piece at a time; the shift
    // state runs on from one piece to the next.
    constexpr size_t kPiece = kChunk / sizeof(wchar_t);
    wchar_t piece[kPiece];
    size_t filled = 0;
    auto flush = [&] {
        char* in = reinterpret_cast<char*>(piece);
        size_t in_left = filled * sizeof(wchar_t);
        filled = 0;
        ConvertInChunks(
            cd.get(), in, in_left, [&](const char* chunk, size_t n) { out.append(chunk, n); },
            [&](int) {
                substitute();
                const size_t skip = std::min(sizeof(wchar_t), in_left);
                in += skip;
                in_left -= skip;
                return true;
            });
    };
    for (size_t i = 0; i < len; ++i) {
        const char16_t unit = text[i];
        if (IsHighSurrogate(unit) && i + 1 < len && IsLowSurrogate(text[i + 1])) {
            piece[filled++] = static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00));
            ++i;
        } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
            flush();
            substitute();
        } else {
            piece[filled++] = static_cast<wchar_t>(unit);
        }
        if (filled == kPiece) flush();
    }
    flush();
    // End of the text: let a stateful encoding (UTF-7) close its shift.
    CloseShift(cd.get(), out);
    return 0;
}

#if defined(KVO_HAVE_ICU)
namespace {

// ICU transliterators are not safe for concurrent use; each direction is
// opened once and used under a mutex.
struct ChineseMapper {
    std::recursive_mutex mu;
    UTransliterator* to_trad = nullptr;
    UTransliterator* to_simp = nullptr;
    bool tried = false;
    ~ChineseMapper() {
        if (to_trad) utrans_close(to_trad);
        if (to_simp) utrans_close(to_simp);
    }
    void Open() {
        if (tried) return;
        tried = true;
        UErrorCode st = U_ZERO_ERROR;
        to_trad = utrans_openU(u"Simplified-Traditional", -1, UTRANS_FORWARD, nullptr, 0, nullptr, &st);
        if (U_FAILURE(st)) to_trad = nullptr;
        st = U_ZERO_ERROR;
        to_simp = utrans_openU(u"Traditional-Simplified", -1, UTRANS_FORWARD, nullptr, 0, nullptr, &st);
        if (U_FAILURE(st)) to_simp = nullptr;
    }
};

// Never destroyed: threads may still map texts while the process exits.
ChineseMapper& Mapper() {
    static pl::NeverDestroyed<ChineseMapper> m;
    return *m;
}

}  // namespace

bool HaveChineseCharacterMapping() {
    ChineseMapper& m = Mapper();
    std::lock_guard<std::recursive_mutex> g(m.mu);
    m.Open();
    return m.to_trad != nullptr && m.to_simp != nullptr;
}

int MapChineseCharacters(const char16_t* text, size_t len, bool to_traditional, std::u16string& out) {
    ChineseMapper& m = Mapper();
    std::lock_guard<std::recursive_mutex> g(m.mu);
    m.Open();
    UTransliterator* t = to_traditional ? m.to_trad : m.to_simp;
    if (t == nullptr || len > 0x3FFFFFFF) {
        out.assign(text, len);
        return -1;
    }
    size_t cap = len + len / 2 + 16;
    for (;;) {
        std::u16string buf(text, len);
        buf.resize(cap);
        int32_t n = static_cast<int32_t>(len);
        int32_t limit = n;
        UErrorCode st = U_ZERO_ERROR;
        utrans_transUChars(t, buf.data(), &n, static_cast<int32_t>(cap), 0, &limit, &st);
        if (st == U_BUFFER_OVERFLOW_ERROR && static_cast<size_t>(n) > cap && cap < 0x3FFFFFFF) {
            cap = static_cast<size_t>(n) + 16;
            continue;
        }
        if (U_FAILURE(st)) {
            out.assign(text, len);
            return -1;
        }
        buf.resize(static_cast<size_t>(n));
        out = std::move(buf);
        return 0;
    }
}
#else
bool HaveChineseCharacterMapping() { return false; }

int MapChineseCharacters(const char16_t* text, size_t len, bool, std::u16string& out) {
    out.assign(text, len);
    return -1;
}
#endif

uint16_t LangIdFromLocaleName(const char* name) {
    static const struct {
        const char* prefix;
        uint16_t id;
    } kLangs[] = {
        {"zh_cn", 0x0804}, {"zh_tw", 0x0404}, {"zh_hk", 0x0C04},
        {"zh_sg", 0x1004}, {"en_gb", 0x0809}, {"en_us", 0x0409},
    };
    if (name == nullptr || std::strlen(name) < 5) return 0;
    char key[6];
    for (int i = 0; i < 5; ++i) {
        char c = name[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c == '-') c = '_';
        key[i] = c;
    }
    key[5] = '\0';
    char after = name[5];
    if (after != '\0' && after != '.' && after != '@') return 0;
    for (const auto& l : kLangs) {
        if (std::strcmp(key, l.prefix) == 0) return l.id;
    }
    return 0;
}

uint16_t GetSystemDefaultLangId() {
    for (const char* var : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* v = std::getenv(var);
        if (v != nullptr && *v != '\0') return LangIdFromLocaleName(v);
    }
    return 0;
}

}  // namespace pl
