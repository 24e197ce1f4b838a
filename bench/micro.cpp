// Micro-benchmarks of the hot paths: the dump's row kernels, the record walk
// with and without -v, and the value formatters. Output goes to /dev/null.

#include <benchmark/benchmark.h>

#include <cstdio>

#include "stream_builder.h"
#include "wendrel/cli.h"
#include "wendrel/output.h"
#include "wendrel/tnef.h"

using namespace wendrel;
using test::Bytes;

namespace {

Bytes pseudoRandom(std::size_t size) {
  Bytes bytes(size);
  std::uint32_t state = 2463534242u;
  for (auto& byte : bytes) {
    state ^= state << 13, state ^= state >> 17, state ^= state << 5;
    byte = static_cast<std::uint8_t>(state);
  }
  return bytes;
}

void dumpRows(benchmark::State& state, const cli::RowFormatter& formatter) {
  constexpr std::size_t kRows = 1024;
  Bytes bytes = pseudoRandom(kRows * 32);
  std::vector<char> text(kRows * cli::kRowChars + cli::kRowSlack);
  for (auto _ : state) {
    benchmark::DoNotOptimize(formatter.format(text.data(), bytes.data(), kRows));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

Bytes mixedStream(std::size_t records) {
  test::StreamBuilder stream;
  Bytes list = test::MapiListBuilder().fixed(0x00170003, 4).string8(0x0070001E, "Topic").counted(0x10090102, Bytes(8, 'r')).bytes();
  for (std::size_t i = 0; i < records; ++i) {
    switch (i % 6) {
      case 0: stream.record(attSubject, test::cString("Quarterly figures")); break;
      case 1: stream.record(attDateSent, test::dateBytes(2003, 3, 4, 9, 30, 0, 2)); break;
      case 2: stream.record(attPriority, test::wordBytes(2)); break;
      case 3: stream.record(attMessageStatus, {0xA1}); break;
      case 4: stream.record(0x000A0001, test::textBytes("xyz")); break;
      default: stream.record(attMAPIProps, list); break;
    }
  }
  return stream.bytes();
}

void walk(benchmark::State& state, int verboseFlag) {
  Bytes stream = mixedStream(10000);
  verbose = verboseFlag;
  for (auto _ : state) {
    resetDecoderState();
    decodeStream(stream);
  }
  out::flush();
  verbose = 0;
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * 10000));
}

void BM_FormatDate(benchmark::State& state) {
  Bytes date = test::dateBytes(2003, 3, 4, 9, 30, 0, 2);
  for (auto _ : state) benchmark::DoNotOptimize(formatDate(ByteView(date.data(), date.size())).size());
}

void BM_MessageStatusText(benchmark::State& state) {
  std::uint8_t flags = 0;
  for (auto _ : state) benchmark::DoNotOptimize(messageStatusText(flags++).size());
}

void BM_CopyStringValue(benchmark::State& state) {
  Bytes text = test::cString("IPM.Microsoft Mail.Note");
  for (auto _ : state) benchmark::DoNotOptimize(copyStringValue(ByteView(text.data(), text.size())).size());
}

void BM_AttributeName(benchmark::State& state) {
  std::uint32_t ids[] = {attSubject, attDateSent, attMAPIProps, attTnefVersion, 0x000A0001};
  std::size_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(attributeName(ids[i++ % 5]).size());
}

}  // namespace

int main(int argc, char** argv) {
  std::FILE* null = std::fopen("/dev/null", "w");
  if (null == nullptr) return 1;
  out::setTarget(null);
  for (const cli::RowFormatter& formatter : cli::rowFormatters()) {
    if (!cli::rowFormatterUsable(formatter)) continue;
    benchmark::RegisterBenchmark((std::string("DumpRows/") + formatter.name).c_str(),
                                 [&formatter](benchmark::State& state) { dumpRows(state, formatter); });
  }
  benchmark::RegisterBenchmark("Walk/plain", [](benchmark::State& state) { walk(state, 0); });
  benchmark::RegisterBenchmark("Walk/verbose", [](benchmark::State& state) { walk(state, 1); });
  benchmark::RegisterBenchmark("FormatDate", BM_FormatDate);
  benchmark::RegisterBenchmark("MessageStatusText", BM_MessageStatusText);
  benchmark::RegisterBenchmark("CopyStringValue", BM_CopyStringValue);
  benchmark::RegisterBenchmark("AttributeName", BM_AttributeName);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
