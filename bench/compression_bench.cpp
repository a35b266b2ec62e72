// MevCompression against raw zlib on the same buffers. Each iteration makes
// a batch of library calls and a batch of zlib calls, in alternating order,
// so both sides see the same machine; the reported time is the library's,
// and the counters give both speeds and their ratio.
#include <benchmark/benchmark.h>
#include <time.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "MevCompression.h"
#include "bench_data.h"
#include "bench_flags.h"

namespace {

// Thread CPU time: on a shared machine, time spent preempted by other jobs
// would otherwise land on whichever side happened to be running.
double cpu_seconds() {
    struct timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Reading that clock is a system call of a microsecond or two, so calls are
// timed in batches of about this much work.
constexpr double kBatchSeconds = 250e-6;

// Everything is allocated once, before the first benchmark: glibc raises its
// trim threshold after freeing a large block, which would change the
// small-size figures depending on which benchmarks ran before.
struct Buffers {
    std::vector<uint8_t> data[3];    // by DataKind, each of the largest size
    std::vector<uint8_t> packed[3];  // compress2 output per kind, for one size at a time
    std::vector<uint8_t> lib_out, zlib_out;
};

Buffers g_buffers;

void allocate_buffers(size_t largest) {
    for (int k = 0; k < 3; ++k) {
        g_buffers.data[k] = bench::make_data(static_cast<bench::DataKind>(k), largest);
        g_buffers.packed[k].resize(compressBound(largest));
    }
    g_buffers.lib_out.resize(compressBound(largest));
    g_buffers.zlib_out.resize(compressBound(largest));
}

struct Sides {
    double lib = 0, zlib = 0;  // CPU seconds over all batches
    int64_t batch = 1;         // calls per batch
};

// Runs the benchmark loop: each iteration is one batch of library calls and
// one batch of zlib calls, the order swapped every iteration.
template <typename Lib, typename Zlib>
Sides run_pairs(benchmark::State& state, Lib lib_call, Zlib zlib_call) {
    Sides s;
    double t0 = cpu_seconds();
    lib_call();
    zlib_call();
    double one = (cpu_seconds() - t0) / 2;
    if (one > 0 && one < kBatchSeconds) s.batch = static_cast<int64_t>(kBatchSeconds / one) + 1;
    bool lib_first = true;
    for (auto _ : state) {
        double lib_t = 0;
        for (int turn = 0; turn < 2; ++turn) {
            bool lib_turn = (turn == 0) == lib_first;
            double start = cpu_seconds();
            for (int64_t i = 0; i < s.batch; ++i) {
                if (lib_turn) {
                    lib_call();
                } else {
                    zlib_call();
                }
            }
            double took = cpu_seconds() - start;
            if (lib_turn) {
                lib_t = took;
                s.lib += took;
            } else {
                s.zlib += took;
            }
        }
        lib_first = !lib_first;
        state.SetIterationTime(lib_t);
    }
    return s;
}

void set_speed_counters(benchmark::State& state, size_t size, const Sides& s) {
    double bytes = static_cast<double>(size) * static_cast<double>(s.batch) *
                   static_cast<double>(state.iterations());
    double lib = s.lib > 0 ? bytes / s.lib / 1e6 : 0;
    double zlib = s.zlib > 0 ? bytes / s.zlib / 1e6 : 0;
    state.counters["lib_MBps"] = lib;
    state.counters["zlib_MBps"] = zlib;
    state.counters["ratio"] = zlib > 0 ? lib / zlib : 0;
    state.counters["batch"] = static_cast<double>(s.batch);
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

void bm_compress(benchmark::State& state, int kind, size_t size) {
    const uint8_t* src = g_buffers.data[kind].data();
    uint8_t* lib_out = g_buffers.lib_out.data();
    uint8_t* zlib_out = g_buffers.zlib_out.data();
    // The same room for both, so neither side takes a different path.
    uLong capacity = compressBound(size);

    int32_t lib_len = MevZ_CompressData(nullptr, src, static_cast<int32_t>(size), lib_out,
                                        static_cast<int32_t>(capacity));
    uLongf zlib_len = capacity;
    int rc = compress2(zlib_out, &zlib_len, src, size, Z_DEFAULT_COMPRESSION);
    if (lib_len < 0 || rc != Z_OK || static_cast<uLong>(lib_len) != zlib_len ||
        std::memcmp(lib_out, zlib_out, zlib_len) != 0) {
        state.SkipWithError("library and compress2 disagree");
        return;
    }
    Sides s = run_pairs(
        state,
        [&] {
            int32_t n = MevZ_CompressData(nullptr, src, static_cast<int32_t>(size), lib_out,
                                          static_cast<int32_t>(capacity));
            benchmark::DoNotOptimize(n);
            benchmark::ClobberMemory();
        },
        [&] {
            uLongf n = capacity;
            int z = compress2(zlib_out, &n, src, size, Z_DEFAULT_COMPRESSION);
            benchmark::DoNotOptimize(z);
            benchmark::ClobberMemory();
        });
    set_speed_counters(state, size, s);
    state.counters["compressed_pct"] = 100.0 * static_cast<double>(zlib_len) / size;
}

void bm_uncompress(benchmark::State& state, int kind, size_t size) {
    const uint8_t* src = g_buffers.data[kind].data();
    uint8_t* packed = g_buffers.packed[kind].data();
    uint8_t* lib_out = g_buffers.lib_out.data();
    uint8_t* zlib_out = g_buffers.zlib_out.data();
    uLongf packed_len = compressBound(size);
    if (compress2(packed, &packed_len, src, size, Z_DEFAULT_COMPRESSION) != Z_OK) {
        state.SkipWithError("compress2 failed");
        return;
    }
    // Exactly the original size: what a caller that remembers it would give.
    int32_t lib_len = MevZ_UncompressData(nullptr, packed, static_cast<int32_t>(packed_len),
                                          lib_out, static_cast<int32_t>(size));
    uLongf zlib_len = size;
    int rc = uncompress(zlib_out, &zlib_len, packed, packed_len);
    if (lib_len != static_cast<int32_t>(size) || rc != Z_OK || zlib_len != size ||
        std::memcmp(lib_out, src, size) != 0 || std::memcmp(zlib_out, src, size) != 0) {
        state.SkipWithError("round trip failed");
        return;
    }
    Sides s = run_pairs(
        state,
        [&] {
            int32_t n = MevZ_UncompressData(nullptr, packed, static_cast<int32_t>(packed_len),
                                            lib_out, static_cast<int32_t>(size));
            benchmark::DoNotOptimize(n);
            benchmark::ClobberMemory();
        },
        [&] {
            uLongf n = size;
            int z = uncompress(zlib_out, &n, packed, packed_len);
            benchmark::DoNotOptimize(z);
            benchmark::ClobberMemory();
        });
    set_speed_counters(state, size, s);
}

}  // namespace

int main(int argc, char** argv) {
    bool smoke = bench::take_flag(&argc, argv, "--smoke");
    std::vector<size_t> sizes = {4 << 10, 64 << 10, 1 << 20, 8 << 20};
    if (smoke) sizes = {4 << 10, 64 << 10};
    allocate_buffers(sizes.back());

    for (int k = 0; k < 3; ++k) {
        const char* kind = bench::data_kind_name(static_cast<bench::DataKind>(k));
        for (size_t size : sizes) {
            std::string suffix = std::string("/") + kind + "/" + std::to_string(size);
            // A large buffer is one call per iteration; several iterations per
            // repetition keep the pairs alternating there too.
            double min_time = size >= (1 << 20) && !smoke ? 0.5 : 0;
            benchmark::internal::Benchmark* c =
                benchmark::RegisterBenchmark(("compress" + suffix).c_str(), bm_compress, k, size);
            c->UseManualTime()->Unit(benchmark::kMicrosecond);
            if (min_time > 0) c->MinTime(min_time);
            benchmark::RegisterBenchmark(("uncompress" + suffix).c_str(), bm_uncompress, k, size)
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
