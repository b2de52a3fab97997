// Throughput of the level meter per captured chunk, against memchr over the
// same bytes as the speed of memory itself.

#include "audioinfo.h"
#include "pcmformat.h"

#include <QAudioFormat>
#include <QByteArray>
#include <QRandomGenerator>

#include <benchmark/benchmark.h>

#include <cstring>

namespace {

QByteArray noise(qint64 bytes)
{
    QByteArray data(int(bytes), '\0');
    QRandomGenerator generator(42);
    for (char &c : data)
        c = char(generator.bounded(0, 200));
    return data;
}

void meter(benchmark::State &state, const QAudioFormat &format)
{
    const QByteArray data = noise(state.range(0));
    AudioInfo info(format, nullptr);
    info.start();
    for (auto _ : state) {
        info.write(data);
        benchmark::DoNotOptimize(info.level());
    }
    state.SetBytesProcessed(state.iterations() * data.size());
}

void memchrReference(benchmark::State &state)
{
    const QByteArray data = noise(state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(std::memchr(data.constData(), 255, size_t(data.size())));
    state.SetBytesProcessed(state.iterations() * data.size());
}

void captureFormat(benchmark::State &state)
{
    meter(state, pcmFormat(16, QAudioFormat::SignedInt, QAudioFormat::LittleEndian, 1));
}
void stereo(benchmark::State &state)
{
    meter(state, pcmFormat(16, QAudioFormat::SignedInt, QAudioFormat::LittleEndian, 2));
}
void bigEndian(benchmark::State &state)
{
    meter(state, pcmFormat(16, QAudioFormat::SignedInt, QAudioFormat::BigEndian, 1));
}
void eightBit(benchmark::State &state)
{
    meter(state, pcmFormat(8, QAudioFormat::UnSignedInt, QAudioFormat::LittleEndian, 1));
}

// From one 20 ms period of the capture format to 64 KiB.
void chunkSizes(benchmark::internal::Benchmark *b)
{
    b->Arg(320)->Arg(4096)->Arg(16384)->Arg(65536);
}

} // namespace

BENCHMARK(memchrReference)->Apply(chunkSizes);
BENCHMARK(captureFormat)->Apply(chunkSizes);
BENCHMARK(stereo)->Apply(chunkSizes);
BENCHMARK(bigEndian)->Apply(chunkSizes);
BENCHMARK(eightBit)->Apply(chunkSizes);

BENCHMARK_MAIN();
