// The traffic log on a 10 MB text: escaping, cutting into entries and bounding the list to 200
// entries, on the program's own window and clock.
#include <benchmark/benchmark.h>

#include <random>
#include <string>

#include "log/log.h"
#include "platform/posix/posix_clock.h"
#include "platform/posix/terminal_window.h"

namespace {

std::string MixedText(size_t size) {
  std::mt19937 random(7);
  std::string text(size, ' ');
  for (char& c : text)
    c = static_cast<char>(random() % 4 == 0 ? random() % 256 : 'a' + random() % 26);
  return text;
}

void BM_WriteTrafficLog10MB(benchmark::State& state) {
  const std::string text = MixedText(10 * 1000 * 1000);
  cw::PosixClock clock;
  cw::TerminalWindow window(false, nullptr);
  for (auto _ : state) {
    cw::Log log(window.LogList(), clock);
    log.WriteTrafficLog(true, text);
    benchmark::DoNotOptimize(log.Entries().size());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * text.size());
}
BENCHMARK(BM_WriteTrafficLog10MB)->Unit(benchmark::kMillisecond);

}  // namespace
