// Text conversion through the code-page layer, which keeps its iconv
// converters open, beside the same conversion with a converter opened and
// closed for each text (the cost the kept converters save).
#include <benchmark/benchmark.h>
#include <iconv.h>

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

}  // namespace
