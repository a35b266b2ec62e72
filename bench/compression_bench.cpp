// MevCompression against raw zlib and raw libdeflate on the same buffers:
// the library as built (its engine), the test-only build of the other engine
// loaded by path, compress2/uncompress, and libdeflate at level 6 with a kept
// compressor and decompressor, which is the limit for the libdeflate engine.
// Each iteration makes one batch of calls per side, starting with a different
// side each time, so all see the same machine; the reported time is the
// library's, and the counters give every side's speed, the ratios and the
// compressed sizes.
#include <benchmark/benchmark.h>
#include <libdeflate.h>
#include <zlib.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <time.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "MevCompression.h"
#include "bench_data.h"
#include "bench_flags.h"

namespace {

// Thread CPU time: on a shared machine, time spent preempted by other jobs
// would otherwise land on whichever side happened to be running. Under Wine
// the thread's CPU time moves in 10 ms steps, far too coarse for a batch, so
// the Windows build takes the wall clock and relies on the rotation.
#ifdef _WIN32
double cpu_seconds() {
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / frequency;
}
#else
double cpu_seconds() {
    struct timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}
#endif

// Reading that clock is a system call of a microsecond or two, so calls are
// timed in batches of about this much work.
constexpr double kBatchSeconds = 250e-6;

using MevzCall = int32_t (*)(void*, const void*, int32_t, void*, int32_t);
struct Library {
    MevzCall compress = nullptr, uncompress = nullptr;
};
Library g_lib{MevZ_CompressData, MevZ_UncompressData};
Library g_other;  // loaded in main(), if this build has the other engine

// Everything is allocated once, before the first benchmark: glibc raises its
// trim threshold after freeing a large block, which would change the
// small-size figures depending on which benchmarks ran before.
struct Buffers {
    std::vector<uint8_t> data[bench::kDataKinds];    // each of the largest size
    std::vector<uint8_t> packed[bench::kDataKinds];  // compress2 output, one size at a time
    std::vector<uint8_t> out[4];                     // one per side
    std::vector<uint8_t> check;                      // for checking a stream before timing
    libdeflate_compressor* compressor = nullptr;
    libdeflate_decompressor* decompressor = nullptr;
};

Buffers g_buffers;

void allocate_buffers(size_t largest) {
    for (int k = 0; k < bench::kDataKinds; ++k) {
        g_buffers.data[k] = bench::make_data(static_cast<bench::DataKind>(k), largest);
        g_buffers.packed[k].resize(compressBound(largest));
    }
    g_buffers.compressor = libdeflate_alloc_compressor(6);
    g_buffers.decompressor = libdeflate_alloc_decompressor();
    for (auto& out : g_buffers.out)
        out.resize(libdeflate_zlib_compress_bound(g_buffers.compressor, largest));
    g_buffers.check.resize(largest + 1);
}

enum Side { kLib, kOther, kZlib, kLibdeflate, kSides };
const char* const kSideNames[kSides] = {"lib", "other", "zlib", "libdeflate"};

struct Timed {
    double seconds[kSides] = {};  // CPU seconds over all batches
    int64_t batch = 1;            // calls per batch
};

// Runs the benchmark loop: each iteration is one batch per side, the first
// side moving on by one every iteration (also across repetitions).
Timed run_sides(benchmark::State& state, std::vector<std::function<void()>>& calls) {
    static unsigned rotation = 0;
    Timed t;
    double t0 = cpu_seconds();
    for (auto& call : calls)
        if (call) call();
    double one = (cpu_seconds() - t0) / kSides;
    if (one > 0 && one < kBatchSeconds) t.batch = static_cast<int64_t>(kBatchSeconds / one) + 1;
    for (auto _ : state) {
        ++rotation;
        for (int turn = 0; turn < kSides; ++turn) {
            int side = static_cast<int>((rotation + static_cast<unsigned>(turn)) % kSides);
            if (!calls[static_cast<size_t>(side)]) continue;
            double start = cpu_seconds();
            for (int64_t i = 0; i < t.batch; ++i) calls[static_cast<size_t>(side)]();
            double took = cpu_seconds() - start;
            t.seconds[side] += took;
            if (side == kLib) state.SetIterationTime(took);
        }
    }
    return t;
}

void set_speed_counters(benchmark::State& state, size_t size, const Timed& t) {
    double bytes = static_cast<double>(size) * static_cast<double>(t.batch) *
                   static_cast<double>(state.iterations());
    double speed[kSides];
    for (int s = 0; s < kSides; ++s) {
        speed[s] = t.seconds[s] > 0 ? bytes / t.seconds[s] / 1e6 : 0;
        if (speed[s] > 0) state.counters[std::string(kSideNames[s]) + "_MBps"] = speed[s];
    }
    state.counters["ratio"] = speed[kZlib] > 0 ? speed[kLib] / speed[kZlib] : 0;
    state.counters["vs_libdeflate"] = speed[kLibdeflate] > 0 ? speed[kLib] / speed[kLibdeflate] : 0;
    if (speed[kOther] > 0) {
        state.counters["other_ratio"] = speed[kOther] / speed[kZlib];
        state.counters["vs_other"] = speed[kLib] / speed[kOther];
    }
    state.counters["batch"] = static_cast<double>(t.batch);
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

bool decodes_to(const uint8_t* stream, size_t stream_size, const uint8_t* source, size_t size) {
    uint8_t* back = g_buffers.check.data();
    uLongf back_size = size + 1;
    return uncompress(back, &back_size, stream, stream_size) == Z_OK && back_size == size &&
           std::memcmp(back, source, size) == 0;
}

void bm_compress(benchmark::State& state, int kind, size_t size) {
    const uint8_t* src = g_buffers.data[kind].data();
    const int32_t n = static_cast<int32_t>(size);
    uint8_t* out[kSides];
    for (int s = 0; s < kSides; ++s) out[s] = g_buffers.out[s].data();
    // Each side gets the room its own documentation asks for: the library
    // its bound, which is what its callers give it.
    const int32_t bound = MevZ_GetMaxCompressedLen(nullptr, src, n);
    const uLong zlib_room = compressBound(size);
    const size_t libdeflate_room = libdeflate_zlib_compress_bound(g_buffers.compressor, size);

    std::vector<std::function<void()>> calls(kSides);
    size_t produced[kSides] = {};
    for (int s : {kLib, kOther}) {
        const Library& lib = s == kLib ? g_lib : g_other;
        if (lib.compress == nullptr) continue;
        uint8_t* to = out[s];
        calls[static_cast<size_t>(s)] = [&lib, src, n, to, bound] {
            int32_t written = lib.compress(nullptr, src, n, to, bound);
            benchmark::DoNotOptimize(written);
            benchmark::ClobberMemory();
        };
        produced[s] = static_cast<size_t>(std::max(0, lib.compress(nullptr, src, n, to, bound)));
    }
    calls[kZlib] = [src, size, &out, zlib_room] {
        uLongf written = zlib_room;
        int z = compress2(out[kZlib], &written, src, size, Z_DEFAULT_COMPRESSION);
        benchmark::DoNotOptimize(z);
        benchmark::ClobberMemory();
    };
    calls[kLibdeflate] = [src, size, &out, libdeflate_room] {
        size_t written = libdeflate_zlib_compress(g_buffers.compressor, src, size, out[kLibdeflate],
                                                  libdeflate_room);
        benchmark::DoNotOptimize(written);
        benchmark::ClobberMemory();
    };
    uLongf zlib_size = zlib_room;
    if (compress2(out[kZlib], &zlib_size, src, size, Z_DEFAULT_COMPRESSION) == Z_OK)
        produced[kZlib] = zlib_size;
    produced[kLibdeflate] = libdeflate_zlib_compress(g_buffers.compressor, src, size,
                                                     out[kLibdeflate], libdeflate_room);
    for (int s = 0; s < kSides; ++s) {
        if (!calls[static_cast<size_t>(s)]) continue;
        if (!decodes_to(out[s], produced[s], src, size)) {
            state.SkipWithError((std::string(kSideNames[s]) + " made no valid stream").c_str());
            return;
        }
    }
    Timed t = run_sides(state, calls);
    set_speed_counters(state, size, t);
    for (int s = 0; s < kSides; ++s) {
        if (produced[s] > 0)
            state.counters[std::string(kSideNames[s]) + "_pct"] =
                100.0 * static_cast<double>(produced[s]) / static_cast<double>(size);
    }
    state.counters["size_vs_zlib"] =
        static_cast<double>(produced[kLib]) / static_cast<double>(produced[kZlib]);
}

void bm_uncompress(benchmark::State& state, int kind, size_t size) {
    const uint8_t* src = g_buffers.data[kind].data();
    const uint8_t* packed = g_buffers.packed[kind].data();
    uLongf packed_len = compressBound(size);
    if (compress2(g_buffers.packed[kind].data(), &packed_len, src, size, Z_DEFAULT_COMPRESSION) !=
        Z_OK) {
        state.SkipWithError("compress2 failed");
        return;
    }
    uint8_t* out[kSides];
    for (int s = 0; s < kSides; ++s) out[s] = g_buffers.out[s].data();
    // Exactly the original size: what a caller that remembers it would give.
    const int32_t n = static_cast<int32_t>(size), packed_n = static_cast<int32_t>(packed_len);
    std::vector<std::function<void()>> calls(kSides);
    for (int s : {kLib, kOther}) {
        const Library& lib = s == kLib ? g_lib : g_other;
        if (lib.uncompress == nullptr) continue;
        uint8_t* to = out[s];
        calls[static_cast<size_t>(s)] = [&lib, packed, packed_n, to, n] {
            int32_t written = lib.uncompress(nullptr, packed, packed_n, to, n);
            benchmark::DoNotOptimize(written);
            benchmark::ClobberMemory();
        };
    }
    calls[kZlib] = [packed, packed_len, &out, size] {
        uLongf written = size;
        int z = uncompress(out[kZlib], &written, packed, packed_len);
        benchmark::DoNotOptimize(z);
        benchmark::ClobberMemory();
    };
    calls[kLibdeflate] = [packed, packed_len, &out, size] {
        size_t written = 0;
        auto r = libdeflate_zlib_decompress(g_buffers.decompressor, packed, packed_len,
                                            out[kLibdeflate], size, &written);
        benchmark::DoNotOptimize(r);
        benchmark::ClobberMemory();
    };
    for (int s = 0; s < kSides; ++s) {
        if (!calls[static_cast<size_t>(s)]) continue;
        std::memset(out[s], 0, size);
        calls[static_cast<size_t>(s)]();
        if (std::memcmp(out[s], src, size) != 0) {
            state.SkipWithError((std::string(kSideNames[s]) + " did not restore the data").c_str());
            return;
        }
    }
    Timed t = run_sides(state, calls);
    set_speed_counters(state, size, t);
}

}  // namespace

int main(int argc, char** argv) {
    bool smoke = bench::take_flag(&argc, argv, "--smoke");
    std::vector<size_t> sizes = {4 << 10, 64 << 10, 1 << 20, 8 << 20};
    if (smoke) sizes = {4 << 10, 64 << 10};
    allocate_buffers(sizes.back());

    benchmark::AddCustomContext("engine", MEVZ_BENCH_ENGINE);
    benchmark::AddCustomContext("zlib", zlibVersion());
    benchmark::AddCustomContext("libdeflate", LIBDEFLATE_VERSION_STRING);
#if defined(MEVZ_BENCH_OTHER_LIBRARY) && defined(_WIN32)
    if (HMODULE other = LoadLibraryA(MEVZ_BENCH_OTHER_LIBRARY)) {
        g_other.compress = reinterpret_cast<MevzCall>(
            reinterpret_cast<void*>(GetProcAddress(other, "MevZ_CompressData")));
        g_other.uncompress = reinterpret_cast<MevzCall>(
            reinterpret_cast<void*>(GetProcAddress(other, "MevZ_UncompressData")));
        benchmark::AddCustomContext("other_engine", MEVZ_BENCH_OTHER_ENGINE);
    } else {
        std::fprintf(stderr, "bench_compression: cannot load %s (error %lu)\n",
                     MEVZ_BENCH_OTHER_LIBRARY, GetLastError());
        return 1;
    }
#elif defined(MEVZ_BENCH_OTHER_LIBRARY)
    if (void* other = dlopen(MEVZ_BENCH_OTHER_LIBRARY, RTLD_NOW | RTLD_LOCAL)) {
        g_other.compress = reinterpret_cast<MevzCall>(dlsym(other, "MevZ_CompressData"));
        g_other.uncompress = reinterpret_cast<MevzCall>(dlsym(other, "MevZ_UncompressData"));
        benchmark::AddCustomContext("other_engine", MEVZ_BENCH_OTHER_ENGINE);
    } else {
        std::fprintf(stderr, "bench_compression: %s\n", dlerror());
        return 1;
    }
#endif

    for (int k = 0; k < bench::kDataKinds; ++k) {
        const char* kind = bench::data_kind_name(static_cast<bench::DataKind>(k));
        for (size_t size : sizes) {
            std::string suffix = std::string("/") + kind + "/" + std::to_string(size);
            // A large buffer is one call per iteration; several iterations per
            // repetition give every side its turn to go first, and even out
            // what the other jobs on the machine do meanwhile.
            double min_time = smoke ? 0 : size >= (8 << 20) ? 1.5 : size >= (1 << 20) ? 0.5 : 0;
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
