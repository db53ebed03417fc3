// Throughput of the four line conversions and of their chains on 1 MB of mixed text, next to
// glibc's iconv(3) doing the nearest standard conversions (ISO 8859-1 to code page 850 and to
// UTF-8) on the same text, so the MB/s figures can be compared within one run.
#include <benchmark/benchmark.h>
#include <iconv.h>
#include <malloc.h>

#include <cerrno>
#include <random>
#include <string>

#include "convert/conversions.h"

namespace {

// A megabyte result is above glibc's mmap threshold, and a chain frees and takes several of them
// per iteration; glibc then hands the pages back to the kernel and faults them in again each time,
// which costs more than the conversions (here up to ten times in the four-step chain). Real lines
// are a few hundred bytes and never take that path, so the heap is told to keep its memory.
const int kKeepHeap = [] {
  mallopt(M_MMAP_THRESHOLD, 64 << 20);
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
  return 0;
}();

// Letters, spaces, punctuation, Latin-1 letters and signs, control characters (NUL included), in
// roughly the mix of a European SMS file; the same bytes on every run.
const std::string& MixedText() {
  static const std::string text = [] {
    constexpr std::size_t kSize = 1 << 20;
    const std::string punctuation = ".,;:!?-'\"()[]{}\\/@$_%&*+=<>#~|^`";
    std::mt19937 rng(1252);
    std::uniform_int_distribution<int> pick(0, 99);
    std::uniform_int_distribution<int> any(0, 1 << 30);
    std::string t(kSize, '\0');
    for (char& c : t) {
      const int p = pick(rng), r = any(rng);
      if (p < 60) {
        c = static_cast<char>((r % 2 ? 'a' : 'A') + r / 2 % 26);
      } else if (p < 75) {
        c = ' ';
      } else if (p < 85) {
        c = punctuation[static_cast<std::size_t>(r) % punctuation.size()];
      } else if (p < 95) {
        c = static_cast<char>(0xA0 + r % 0x60);
      } else {
        c = static_cast<char>(r % 32);
      }
    }
    return t;
  }();
  return text;
}

template <std::string (*Conv)(std::string_view)>
void BM_One(benchmark::State& state) {
  const std::string& text = MixedText();
  for (auto _ : state) benchmark::DoNotOptimize(Conv(text));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

std::string DosUtf8(std::string_view t) { return cw::ConvISOtoUTF8(cw::ConvISOtoDOS(t)); }
std::string DosHtml(std::string_view t) { return cw::ConvISOtoHTML(cw::ConvISOtoDOS(t)); }
std::string DosIa5(std::string_view t) { return cw::ConvISOtoIA5(cw::ConvISOtoDOS(t)); }
std::string Ia5Html(std::string_view t) { return cw::ConvISOtoHTML(cw::ConvISOtoIA5(t)); }
std::string AllFour(std::string_view t) {
  return cw::ConvISOtoHTML(cw::ConvISOtoUTF8(cw::ConvISOtoIA5(cw::ConvISOtoDOS(t))));
}

// The same megabyte as the relay sees it: lines of 160 bytes, each converted on its own.
void BM_AllFourPerLine(benchmark::State& state) {
  const std::string& text = MixedText();
  constexpr std::size_t kLine = 160;
  for (auto _ : state) {
    for (std::size_t at = 0; at < text.size(); at += kLine) {
      benchmark::DoNotOptimize(AllFour(std::string_view(text).substr(at, kLine)));
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

// Like "iconv -c": a byte the target cannot hold is skipped and the conversion goes on.
void BM_Iconv(benchmark::State& state, const char* to) {
  const std::string& text = MixedText();
  iconv_t cd = iconv_open(to, "ISO-8859-1");
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    state.SkipWithError("iconv_open failed");
    return;
  }
  for (auto _ : state) {
    std::string out(text.size() * 2, '\0');
    char* in = const_cast<char*>(text.data());
    std::size_t in_left = text.size();
    char* dst = out.data();
    std::size_t out_left = out.size();
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    while (in_left > 0) {
      if (iconv(cd, &in, &in_left, &dst, &out_left) == static_cast<std::size_t>(-1)) {
        if (errno != EILSEQ && errno != EINVAL) break;
        ++in;
        --in_left;
      }
    }
    out.resize(out.size() - out_left);
    benchmark::DoNotOptimize(out);
  }
  iconv_close(cd);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

BENCHMARK(BM_One<cw::ConvISOtoDOS>)->Name("ConvISOtoDOS");
BENCHMARK(BM_One<cw::ConvISOtoIA5>)->Name("ConvISOtoIA5");
BENCHMARK(BM_One<cw::ConvISOtoUTF8>)->Name("ConvISOtoUTF8");
BENCHMARK(BM_One<cw::ConvISOtoHTML>)->Name("ConvISOtoHTML");
BENCHMARK(BM_One<DosUtf8>)->Name("Chain/DOS+UTF8");
BENCHMARK(BM_One<DosHtml>)->Name("Chain/DOS+HTML");
BENCHMARK(BM_One<DosIa5>)->Name("Chain/DOS+IA5");
BENCHMARK(BM_One<Ia5Html>)->Name("Chain/IA5+HTML");
BENCHMARK(BM_One<AllFour>)->Name("Chain/DOS+IA5+UTF8+HTML");
BENCHMARK(BM_AllFourPerLine)->Name("Chain/DOS+IA5+UTF8+HTML/160-byte lines");
BENCHMARK_CAPTURE(BM_Iconv, CP850, "CP850//TRANSLIT")->Name("iconv/ISO-8859-1->CP850");
BENCHMARK_CAPTURE(BM_Iconv, UTF8, "UTF-8")->Name("iconv/ISO-8859-1->UTF-8");

}  // namespace
