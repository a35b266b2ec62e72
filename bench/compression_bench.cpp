// MevCompression against raw zlib on the same buffers. Each iteration makes
// one library call and one zlib call, in alternating order, so both sides see
// the same machine load; the reported time is the library's, and the counters
// give both speeds and their ratio.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "MevCompression.h"
#include "bench_data.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Inputs {
    std::vector<uint8_t> data[3];  // by DataKind, each of the largest size
};

Inputs& inputs(size_t largest) {
    static Inputs in;
    if (in.data[0].empty()) {
        for (int k = 0; k < 3; ++k)
            in.data[k] = bench::make_data(static_cast<bench::DataKind>(k), largest);
    }
    return in;
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void set_speed_counters(benchmark::State& state, size_t size, double lib_seconds,
                        double zlib_seconds) {
    double bytes = static_cast<double>(size) * static_cast<double>(state.iterations());
    double lib = lib_seconds > 0 ? bytes / lib_seconds / 1e6 : 0;
    double zlib = zlib_seconds > 0 ? bytes / zlib_seconds / 1e6 : 0;
    state.counters["lib_MBps"] = lib;
    state.counters["zlib_MBps"] = zlib;
    state.counters["ratio"] = zlib > 0 ? lib / zlib : 0;
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

void bm_compress(benchmark::State& state, const std::vector<uint8_t>* all, size_t size) {
    const uint8_t* src = all->data();
    // The same room for both, so neither side takes a different path.
    uLong capacity = compressBound(size);
    std::vector<uint8_t> lib_out(capacity), zlib_out(capacity);

    int32_t lib_len = MevZ_CompressData(nullptr, src, static_cast<int32_t>(size), lib_out.data(),
                                        static_cast<int32_t>(capacity));
    uLongf zlib_len = capacity;
    int rc = compress2(zlib_out.data(), &zlib_len, src, size, Z_DEFAULT_COMPRESSION);
    if (lib_len < 0 || rc != Z_OK || static_cast<uLong>(lib_len) != zlib_len ||
        std::memcmp(lib_out.data(), zlib_out.data(), zlib_len) != 0) {
        state.SkipWithError("library and compress2 disagree");
        return;
    }

    double lib_seconds = 0, zlib_seconds = 0;
    bool lib_first = true;
    for (auto _ : state) {
        double lib_t = 0;
        for (int turn = 0; turn < 2; ++turn) {
            Clock::time_point t0 = Clock::now();
            if ((turn == 0) == lib_first) {
                int32_t n = MevZ_CompressData(nullptr, src, static_cast<int32_t>(size),
                                              lib_out.data(), static_cast<int32_t>(capacity));
                benchmark::DoNotOptimize(n);
                benchmark::ClobberMemory();
                lib_t = seconds_since(t0);
                lib_seconds += lib_t;
            } else {
                uLongf n = capacity;
                int z = compress2(zlib_out.data(), &n, src, size, Z_DEFAULT_COMPRESSION);
                benchmark::DoNotOptimize(z);
                benchmark::ClobberMemory();
                zlib_seconds += seconds_since(t0);
            }
        }
        lib_first = !lib_first;
        state.SetIterationTime(lib_t);
    }
    set_speed_counters(state, size, lib_seconds, zlib_seconds);
    state.counters["compressed_pct"] = 100.0 * static_cast<double>(zlib_len) / size;
}

void bm_uncompress(benchmark::State& state, const std::vector<uint8_t>* all, size_t size) {
    const uint8_t* src = all->data();
    uLongf packed_len = compressBound(size);
    std::vector<uint8_t> packed(packed_len);
    if (compress2(packed.data(), &packed_len, src, size, Z_DEFAULT_COMPRESSION) != Z_OK) {
        state.SkipWithError("compress2 failed");
        return;
    }
    // Exactly the original size: what a caller that remembers it would give.
    std::vector<uint8_t> lib_out(size), zlib_out(size);
    int32_t lib_len = MevZ_UncompressData(nullptr, packed.data(), static_cast<int32_t>(packed_len),
                                          lib_out.data(), static_cast<int32_t>(size));
    uLongf zlib_len = size;
    int rc = uncompress(zlib_out.data(), &zlib_len, packed.data(), packed_len);
    if (lib_len != static_cast<int32_t>(size) || rc != Z_OK || zlib_len != size ||
        std::memcmp(lib_out.data(), src, size) != 0 ||
        std::memcmp(zlib_out.data(), src, size) != 0) {
        state.SkipWithError("round trip failed");
        return;
    }

    double lib_seconds = 0, zlib_seconds = 0;
    bool lib_first = true;
    for (auto _ : state) {
        double lib_t = 0;
        for (int turn = 0; turn < 2; ++turn) {
            Clock::time_point t0 = Clock::now();
            if ((turn == 0) == lib_first) {
                int32_t n =
                    MevZ_UncompressData(nullptr, packed.data(), static_cast<int32_t>(packed_len),
                                        lib_out.data(), static_cast<int32_t>(size));
                benchmark::DoNotOptimize(n);
                benchmark::ClobberMemory();
                lib_t = seconds_since(t0);
                lib_seconds += lib_t;
            } else {
                uLongf n = size;
                int z = uncompress(zlib_out.data(), &n, packed.data(), packed_len);
                benchmark::DoNotOptimize(z);
                benchmark::ClobberMemory();
                zlib_seconds += seconds_since(t0);
            }
        }
        lib_first = !lib_first;
        state.SetIterationTime(lib_t);
    }
    set_speed_counters(state, size, lib_seconds, zlib_seconds);
}

// Removes our own flags from argv before the library sees it.
bool take_flag(int* argc, char** argv, const char* flag) {
    for (int i = 1; i < *argc; ++i) {
        if (std::strcmp(argv[i], flag) == 0) {
            for (int j = i; j + 1 < *argc; ++j) argv[j] = argv[j + 1];
            --*argc;
            return true;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    bool smoke = take_flag(&argc, argv, "--smoke");
    std::vector<size_t> sizes = {4 << 10, 64 << 10, 1 << 20, 8 << 20};
    if (smoke) sizes = {4 << 10, 64 << 10};
    Inputs& in = inputs(sizes.back());

    for (int k = 0; k < 3; ++k) {
        const char* kind = bench::data_kind_name(static_cast<bench::DataKind>(k));
        for (size_t size : sizes) {
            std::string suffix = std::string("/") + kind + "/" + std::to_string(size);
            benchmark::RegisterBenchmark(("compress" + suffix).c_str(), bm_compress, &in.data[k],
                                         size)
                ->UseManualTime()
                ->Unit(benchmark::kMicrosecond);
            benchmark::RegisterBenchmark(("uncompress" + suffix).c_str(), bm_uncompress,
                                         &in.data[k], size)
                ->UseManualTime()
                ->Unit(benchmark::kMicrosecond);
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
