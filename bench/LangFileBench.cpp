// Reading language files: the time must grow in step with the file, also for
// files with many sections, parameters or keys.
#include <benchmark/benchmark.h>

#include <string>

#include "ui/DKLang.h"

namespace {

std::string ManySections(int n) {
  std::string text = "LANGID=1049\r\n";
  for (int i = 0; i < n; ++i) {
    text.append("P").append(std::to_string(i)).append("=x\r\n");
  }
  for (int i = 0; i < n; ++i) {
    text.append("[Form").append(std::to_string(i)).append("]\r\n00000166=Адрес\\32\r\n");
  }
  text.append("[$CONSTANTS]\r\n");
  for (int i = 0; i < n; ++i) {
    text.append("Key_").append(std::to_string(i)).append("=Text %d%%\\n\r\n");
  }
  return text;
}

void BM_ParseLangFile(benchmark::State& state) {
  const std::string text = ManySections(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    benchmark::DoNotOptimize(TLangTranslation::Parse(text, false));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_ParseLangFile)->RangeMultiplier(4)->Range(64, 16384)->Complexity();

void BM_SaveLangFile(benchmark::State& state) {
  const TLangTranslation t =
      TLangTranslation::Parse(ManySections(static_cast<int>(state.range(0))), false);
  for (auto _ : state) benchmark::DoNotOptimize(t.SaveToText());
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_SaveLangFile)->RangeMultiplier(4)->Range(64, 16384)->Complexity();

}  // namespace
