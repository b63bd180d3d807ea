// Microbenchmarks of the per-echo wire work: checksum, building a request, judging a reply.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "echo/icmp_wire.h"

namespace {

using namespace quilvane;

class FixedTicks : public TickSource {
  public:
    uint32_t tickCount() override { return 123456; }
};

void BM_InternetChecksum(benchmark::State& state) {
    std::vector<uint8_t> bytes(static_cast<size_t>(state.range(0)));
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 31 + 7);
    for (auto _ : state) {
        benchmark::DoNotOptimize(internetChecksum(bytes.data(), bytes.size()));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_InternetChecksum)->Arg(64)->Arg(1500)->Arg(65508);

void BM_BuildEchoRequestPattern(benchmark::State& state) {
    std::vector<uint8_t> buffer(requestBufferSize);
    FixedTicks ticks;
    auto dataSize = static_cast<int32_t>(state.range(0));
    uint16_t sequence = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            buildEchoRequest(buffer.data(), dataSize, ++sequence, "abcdefghij", 0x1234, ticks));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_BuildEchoRequestPattern)->Arg(32)->Arg(1472)->Arg(65500);

void BM_BuildEchoRequestRandom(benchmark::State& state) {
    std::vector<uint8_t> buffer(requestBufferSize);
    FixedTicks ticks;
    auto dataSize = static_cast<int32_t>(state.range(0));
    uint16_t sequence = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            buildEchoRequest(buffer.data(), dataSize, ++sequence, "", 0x1234, ticks));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_BuildEchoRequestRandom)->Arg(32)->Arg(1472);

// An echo reply as the raw socket delivers it, optionally with a full record-route area.
std::vector<uint8_t> replyDatagram(int32_t dataSize, bool withRoute) {
    size_t optionLength = withRoute ? optionAreaSize : 0;
    std::vector<uint8_t> datagram(20 + optionLength + 8 + static_cast<size_t>(dataSize), 0);
    datagram[0] = static_cast<uint8_t>(0x40 | ((20 + optionLength) / 4));
    datagram[8] = 64;
    if (withRoute) {
        datagram[20] = 7;
        datagram[21] = 39;
        datagram[22] = 40;
    }
    uint8_t* icmp = datagram.data() + 20 + optionLength;
    icmp[4] = 0x34;
    icmp[5] = 0x12;
    icmp[6] = 1;
    // A reply whose checksum does not verify is judged without looking further.
    uint16_t checksum = internetChecksum(icmp, 8 + static_cast<size_t>(dataSize));
    icmp[2] = static_cast<uint8_t>(checksum & 0xFF);
    icmp[3] = static_cast<uint8_t>(checksum >> 8);
    return datagram;
}

void BM_ParseReply(benchmark::State& state) {
    auto dataSize = static_cast<int32_t>(state.range(0));
    bool withRoute = state.range(1) != 0;
    std::vector<uint8_t> datagram = replyDatagram(dataSize, withRoute);
    std::vector<uint8_t> replyCopy(receiveBufferSize);
    uint8_t options[optionAreaSize];
    for (auto _ : state) {
        ParsedReply reply = parseReply(datagram.data(), static_cast<long>(datagram.size()),
                                       dataSize, 1, 0x1234, replyCopy.data(), options);
        benchmark::DoNotOptimize(reply);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_ParseReply)->Args({32, 0})->Args({32, 1})->Args({1472, 0})->Args({65500, 0});

}  // namespace
