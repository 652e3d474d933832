// Decoding throughput of the block format beside zlib's inflate, LZ4 and a
// plain memcpy, and the encoder's ratio and speed in both modes beside zlib
// level 9, on corpora of real files found on the machine: text, executables
// and images. Run: build/native/bench/koushin_codec_bench
#include <benchmark/benchmark.h>
#include <lz4.h>
#include <zlib.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "archive/lz_block.h"
#include "bench/corpus.h"
#include "archive/lz_encode.h"
#include "archive/payload_checksum.h"
#include "tests/support/lz_stream.h"
#include "archive/archive_writer.h"
#include "archive/payload_archive.h"
#include "flow/line_decision.h"
#include "common/update_state.h"

namespace fs = std::filesystem;
typedef std::vector<uint8_t> Bytes;

namespace {

const Bytes& Corpus(const std::string& kind) {
  static std::map<std::string, Bytes> cache;
  auto it = cache.find(kind);
  if (it != cache.end()) return it->second;
  return cache.emplace(kind, GatherCorpus(kind, KOUSHIN_SOURCE_DIR)).first->second;
}

const char* kKinds[] = {"text", "exe", "image"};

void SetBytes(benchmark::State& state, size_t bytes) {
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
}

void BM_DecodeLzBlock(benchmark::State& state) {
  const Bytes& data = Corpus(kKinds[state.range(0)]);
  Bytes block = CompressLzBlock(data.data(), data.size(), LzLevel::Best);
  Bytes out(data.size());
  for (auto _ : state) {
    DecompressLzBlock(out.data(), block.data());
    benchmark::DoNotOptimize(out.data());
  }
  if (out != data) state.SkipWithError("round trip failed");
  SetBytes(state, data.size());
  state.SetLabel(kKinds[state.range(0)]);
}

void BM_DecodeLzBlockChecked(benchmark::State& state) {
  const Bytes& data = Corpus(kKinds[state.range(0)]);
  Bytes block = CompressLzBlock(data.data(), data.size(), LzLevel::Best);
  Bytes out(data.size());
  uint32_t produced = 0;
  for (auto _ : state) {
    DecompressLzBlockChecked(out.data(), uint32_t(out.size()), block.data(), uint32_t(block.size()), &produced,
                             nullptr);
    benchmark::DoNotOptimize(out.data());
  }
  SetBytes(state, data.size());
  state.SetLabel(kKinds[state.range(0)]);
}

// The streaming form of the checked decoder, as the updater writes an entry:
// the block through the fixed buffer, each part handed to a sink that
// discards it (`keep` 0) or copies it into place as the whole-block form
// leaves it (`keep` 1, a memcpy of every byte more).
void BM_DecodeLzBlockStream(benchmark::State& state) {
  const Bytes& data = Corpus(kKinds[state.range(0)]);
  bool keep = state.range(1) != 0;
  Bytes block = CompressLzBlock(data.data(), data.size(), LzLevel::Best);
  Bytes out(data.size());
  static LzStreamBuffer buffer;
  struct Sink {
    uint8_t* at;
  } sink{nullptr};
  LzSink discard = [](void*, const uint8_t* part, uint32_t) {
    benchmark::DoNotOptimize(part);
    return 1;
  };
  LzSink copy = [](void* context, const uint8_t* part, uint32_t size) {
    Sink* s = static_cast<Sink*>(context);
    memcpy(s->at, part, size);
    s->at += size;
    return 1;
  };
  uint32_t produced = 0;
  for (auto _ : state) {
    sink.at = out.data();
    DecompressLzBlockStream(&buffer, uint32_t(out.size()), block.data(), uint32_t(block.size()), keep ? copy : discard,
                            &sink, &produced, nullptr);
    benchmark::DoNotOptimize(out.data());
  }
  if (produced != data.size() || (keep && out != data)) state.SkipWithError("round trip failed");
  SetBytes(state, data.size());
  state.SetLabel(std::string(kKinds[state.range(0)]) + (keep ? ", copied" : ", discarded"));
}

void BM_ZlibInflate(benchmark::State& state) {
  const Bytes& data = Corpus(kKinds[state.range(0)]);
  uLongf packed_size = compressBound(uLong(data.size()));
  Bytes packed(packed_size);
  compress2(packed.data(), &packed_size, data.data(), uLong(data.size()), 9);
  Bytes out(data.size());
  for (auto _ : state) {
    uLongf out_size = uLongf(out.size());
    uncompress(out.data(), &out_size, packed.data(), packed_size);
    benchmark::DoNotOptimize(out.data());
  }
  if (out != data) state.SkipWithError("round trip failed");
  SetBytes(state, data.size());
  state.SetLabel(kKinds[state.range(0)]);
}

void BM_Lz4Decompress(benchmark::State& state) {
  const Bytes& data = Corpus(kKinds[state.range(0)]);
  Bytes packed(LZ4_compressBound(int(data.size())));
  int packed_size = LZ4_compress_default(reinterpret_cast<const char*>(data.data()),
                                         reinterpret_cast<char*>(packed.data()), int(data.size()), int(packed.size()));
  Bytes out(data.size());
  int produced = 0;
  for (auto _ : state) {
    produced = LZ4_decompress_safe(reinterpret_cast<const char*>(packed.data()), reinterpret_cast<char*>(out.data()),
                                   packed_size, int(out.size()));
    benchmark::DoNotOptimize(out.data());
  }
  if (produced != int(data.size()) || out != data) state.SkipWithError("round trip failed");
  SetBytes(state, data.size());
  state.SetLabel(kKinds[state.range(0)]);
}

void BM_Memcpy(benchmark::State& state) {
  const Bytes& data = Corpus(kKinds[state.range(0)]);
  Bytes out(data.size());
  for (auto _ : state) {
    memcpy(out.data(), data.data(), data.size());
    benchmark::DoNotOptimize(out.data());
  }
  SetBytes(state, data.size());
  state.SetLabel(kKinds[state.range(0)]);
}

// The start-up's check of the whole payload against its checksum record.
void BM_PayloadChecksum(benchmark::State& state) {
  const Bytes& data = Corpus(kKinds[state.range(0)]);
  uint8_t record[kChecksumRecordSize];
  MakeChecksumRecord(data.data(), uint32_t(data.size()), record);
  bool matches = true;
  for (auto _ : state) {
    matches = PayloadMatchesChecksum(data.data(), uint32_t(data.size()), record, sizeof record);
    benchmark::DoNotOptimize(matches);
  }
  if (!matches) state.SkipWithError("the record does not match");
  SetBytes(state, data.size());
  state.SetLabel(kKinds[state.range(0)]);
}

// Where the decoder's time goes: blocks of one kind of token only (after
// 8 KiB of literals that give the matches something to copy), written by the
// format's rule, decoded by the checked decoder; the time per token.

const char* kTokenKinds[] = {"literal", "match of 2, near", "long, class 0, length 3", "long, class 0, length 6",
                             "long, class 4, length 11-26"};

void BM_DecodeTokenKind(benchmark::State& state) {
  std::mt19937 rng(1);
  LzStream s;
  size_t size = 0, tokens = 0;
  for (; size < 8200; ++size) {
    s.Bit(1);
    s.Byte(rng() & 0xFF);
  }
  while (size < (4u << 20)) {
    uint32_t d = 16 + rng() % 400, length = 2;
    switch (state.range(0)) {
      case 0:
        s.Bit(1);
        s.Byte(rng() & 0xFF);
        length = 1;
        break;
      case 1:
        s.Bits(0b010, 3);
        s.Byte(rng() % 200);
        break;
      case 2:
        s.Bits(0b001, 3);
        s.Byte(d >> 1);
        s.Bit(d & 1);
        s.Bit(1);
        length = 3;
        break;
      case 3:
        s.Bits(0b001, 3);
        s.Byte(d >> 1);
        s.Bit(d & 1);
        s.Bits(0b0011, 4);
        length = 6;
        break;
      default:
        d = 4096 + rng() % 4000;
        length = 11 + rng() % 16;
        s.Bits(0b000000, 6);
        s.Byte((d >> 4) - 256);
        s.Bits(d & 15, 4);
        s.Bits(0b00001, 5);
        s.Bits(length - 11, 4);
    }
    size += length;
    ++tokens;
  }
  Bytes block = s.End().Done(), out(size);
  uint32_t produced = 0;
  for (auto _ : state) {
    DecompressLzBlockChecked(out.data(), uint32_t(out.size()), block.data(), uint32_t(block.size()), &produced,
                             nullptr);
    benchmark::DoNotOptimize(out.data());
  }
  if (produced != size) state.SkipWithError("the block does not decode");
  state.counters["ns_per_token"] = benchmark::Counter(double(tokens) * double(state.iterations()) * 1e-9,
                                                      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  SetBytes(state, size);
  state.SetLabel(kTokenKinds[state.range(0)]);
}

// The player's side: one entry of the exe corpus written from the archive
// the way the updater does it (lookup, checked decode, a temporary file
// beside the target, flushed to the disk, renamed into place with its time)
// against copying a file of the same bytes, plainly and with the same flush.
std::string BenchFolder() {
  static std::string folder = [] {
    fs::path p = fs::temp_directory_path() / ("koushin-bench-" + std::to_string(getpid()));
    fs::create_directories(p);
    return p.string();
  }();
  return folder;
}

void BM_ApplyEntry(benchmark::State& state) {
  const Bytes& data = Corpus("exe");
  static Bytes image;
  if (image.empty()) {
    std::string error;
    image = BuildArchive({{"GAME.EXE", data, 133000000000000000ull, true}}, {}, &error);
  }
  UpdateState.PayloadArchive = {image.data(), uint32_t(image.size())};
  if (OpenPayloadArchive() == nullptr) state.SkipWithError("archive");
  std::string target = BenchFolder() + "/GAME.EXE";
  for (auto _ : state) {
    if (!ExtractArchiveEntry("GAME.EXE", target.c_str(), 0)) state.SkipWithError("extract");
  }
  ClosePayloadArchive();
  SetBytes(state, data.size());
}

void BM_CopyFile(benchmark::State& state, bool flush) {
  const Bytes& data = Corpus("exe");
  std::string source = BenchFolder() + "/SOURCE.EXE", target = BenchFolder() + "/COPY.EXE";
  std::ofstream(source, std::ios::binary)
      .write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
  for (auto _ : state) {
    fs::copy_file(source, target, fs::copy_options::overwrite_existing);
    if (flush) {
      int fd = open(target.c_str(), O_WRONLY);
      fsync(fd);
      close(fd);
    }
  }
  SetBytes(state, data.size());
}

// Encoders report their ratio (compressed / original) as a counter.
void BM_EncodeLzBlock(benchmark::State& state, LzLevel level) {
  const Bytes& data = Corpus(kKinds[state.range(0)]);
  size_t packed = 0;
  for (auto _ : state) packed = CompressLzBlock(data.data(), data.size(), level).size();
  SetBytes(state, data.size());
  state.counters["ratio"] = double(packed) / double(data.size());
  state.SetLabel(kKinds[state.range(0)]);
}

void BM_ZlibLevel9(benchmark::State& state) {
  const Bytes& data = Corpus(kKinds[state.range(0)]);
  Bytes packed(compressBound(uLong(data.size())));
  uLongf packed_size = 0;
  for (auto _ : state) {
    packed_size = uLongf(packed.size());
    compress2(packed.data(), &packed_size, data.data(), uLong(data.size()), 9);
  }
  SetBytes(state, data.size());
  state.counters["ratio"] = double(packed_size) / double(data.size());
  state.SetLabel(kKinds[state.range(0)]);
}

}  // namespace

BENCHMARK(BM_DecodeLzBlock)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeLzBlockChecked)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeLzBlockStream)->ArgsProduct({{0, 1, 2}, {0, 1}})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZlibInflate)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Lz4Decompress)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Memcpy)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeTokenKind)->DenseRange(0, 4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PayloadChecksum)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ApplyEntry)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_CopyFile, plain, false)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_CopyFile, flushed, true)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_EncodeLzBlock, fast, LzLevel::Fast)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_EncodeLzBlock, best, LzLevel::Best)
    ->DenseRange(0, 2)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);
BENCHMARK(BM_ZlibLevel9)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
