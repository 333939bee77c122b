// Text conversion through the code-page layer, which keeps its iconv
// converters open, beside the same conversion with a converter opened and
// closed for each text (the cost the kept converters save); and a text full
// of characters the code page lacks, encoded through the layer's one-step
// converter beside iconv's two steps from UTF-16.
#include <benchmark/benchmark.h>
#include <iconv.h>

#include <cerrno>
#include <string>

#include "platform/pl_codepage.h"

namespace {

// A short GBK text as settings files and gateway messages hold them.
const std::string kText = "\xD6\xD0\xCE\xC4 market=USHA code=600000 \xC9\xCF\xBA\xA3";

void BM_KeptConverter(benchmark::State& state) {
    std::u16string wide;
    for (auto _ : state) {
        wide.clear();
        pl::MultiByteToUtf16(pl::kCpGbk, kText.data(), kText.size(), wide);
        benchmark::DoNotOptimize(wide.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_KeptConverter);

// Baseline: open, convert, close.
void BM_ConverterPerText(benchmark::State& state) {
    char16_t out[256];
    for (auto _ : state) {
        iconv_t cd = iconv_open("UTF-16LE", "CP936");
        char* in = const_cast<char*>(kText.data());
        size_t inLeft = kText.size();
        char* o = reinterpret_cast<char*>(out);
        size_t oLeft = sizeof out;
        iconv(cd, &in, &inLeft, &o, &oLeft);
        iconv_close(cd);
        benchmark::DoNotOptimize(out);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ConverterPerText);

// A text of characters GBK lacks (Hangul), each written as '?'.
std::u16string LackedText(size_t n) { return std::u16string(n, u'\uAC00'); }

void BM_EncodeLackedCharacters(benchmark::State& state) {
    const std::u16string text = LackedText(static_cast<size_t>(state.range(0)));
    std::string out;
    for (auto _ : state) {
        out.clear();
        pl::Utf16ToMultiByte(pl::kCpGbk, text.data(), text.size(), out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_EncodeLackedCharacters)->Arg(100)->Arg(4000);

// Baseline: the same from UTF-16 through iconv's two steps, going on after
// each refused character (the way the layer converted before).
void BM_EncodeLackedCharactersTwoSteps(benchmark::State& state) {
    const std::u16string text = LackedText(static_cast<size_t>(state.range(0)));
    iconv_t cd = iconv_open("CP936", "UTF-16LE");
    std::string out;
    for (auto _ : state) {
        out.clear();
        char* in = reinterpret_cast<char*>(const_cast<char16_t*>(text.data()));
        size_t inLeft = text.size() * 2;
        while (inLeft > 0) {
            char buf[4096];
            char* o = buf;
            size_t oLeft = sizeof buf;
            const size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
            const int err = errno;
            out.append(buf, static_cast<size_t>(o - buf));
            if (r != static_cast<size_t>(-1) || inLeft < 2) break;
            if (err == E2BIG) continue;
            out.push_back('?');
            in += 2;
            inLeft -= 2;
        }
        benchmark::DoNotOptimize(out.data());
    }
    iconv_close(cd);
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_EncodeLackedCharactersTwoSteps)->Arg(100)->Arg(4000);

}  // namespace
