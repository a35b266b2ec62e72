// The library loaded and unloaded at run time, as a host program with
// plug-ins would: whatever it keeps between calls must go with it (a leak
// check under AddressSanitizer catches what does not; on Windows the
// process's memory is measured instead).
#ifdef _WIN32
#include <windows.h>
// After windows.h.
#include <psapi.h>
#else
#include <dlfcn.h>
#endif
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace {

using Call = int32_t (*)(void*, const void*, int32_t, void*, int32_t);

#ifdef _WIN32
void* open_library() { return LoadLibraryA(MEVZ_LIBRARY_PATH); }
Call find(void* library, const char* name) {
    return reinterpret_cast<Call>(
        reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name)));
}
bool close_library(void* library) { return FreeLibrary(static_cast<HMODULE>(library)) != 0; }
bool still_loaded() { return GetModuleHandleA(MEVZ_LIBRARY_PATH) != nullptr; }
std::string last_error() { return "error " + std::to_string(GetLastError()); }
#else
void* open_library() { return dlopen(MEVZ_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL); }
Call find(void* library, const char* name) { return reinterpret_cast<Call>(dlsym(library, name)); }
bool close_library(void* library) { return dlclose(library) == 0; }
bool still_loaded() { return dlopen(MEVZ_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD) != nullptr; }
std::string last_error() { return dlerror(); }
#endif

// One round: load, compress and decompress from more threads than the
// library is likely to keep anything for, unload.
void round_from_threads(const std::vector<uint8_t>& source) {
    void* library = open_library();
    ASSERT_NE(library, nullptr) << last_error();
    Call compress = find(library, "MevZ_CompressData");
    Call uncompress = find(library, "MevZ_UncompressData");
    ASSERT_TRUE(compress != nullptr && uncompress != nullptr);

    std::vector<int> ok(8, 0);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < ok.size(); ++t) {
        threads.emplace_back([&, t] {
            std::vector<uint8_t> packed(source.size() + 1000), back(source.size());
            int32_t n = compress(nullptr, source.data(), static_cast<int32_t>(source.size()),
                                 packed.data(), static_cast<int32_t>(packed.size()));
            ok[t] = n > 0 &&
                    uncompress(nullptr, packed.data(), n, back.data(),
                               static_cast<int32_t>(back.size())) ==
                        static_cast<int32_t>(source.size()) &&
                    back == source;
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(ok, std::vector<int>(8, 1));

    ASSERT_TRUE(close_library(library));
    EXPECT_FALSE(still_loaded()) << "still loaded";
}

std::vector<uint8_t> test_source() {
    std::vector<uint8_t> source(100000);
    for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<uint8_t>(i * i >> 7);
    return source;
}

TEST(MevzUnload, CallsFromThreadsThenUnloadLeaveNothingLoaded) {
    std::vector<uint8_t> source = test_source();
    for (int round = 0; round < 3; ++round) round_from_threads(source);
}

#ifdef _WIN32
// A DLL frees what it keeps in its process-detach on FreeLibrary (and not at
// process exit). Each round that left the libdeflate engine's pool behind
// would add about half a MiB of committed memory; with it freed, 20 rounds
// add next to nothing. (Wine reports no PrivateUsage; PagefileUsage is the
// same figure on Windows.)
TEST(MevzUnload, FreeLibraryGivesThePoolBack) {
    auto private_bytes = [] {
        PROCESS_MEMORY_COUNTERS_EX counters{};
        counters.cb = sizeof counters;
        K32GetProcessMemoryInfo(GetCurrentProcess(),
                                reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                                sizeof counters);
        return static_cast<double>(counters.PagefileUsage) / (1 << 20);
    };
    std::vector<uint8_t> source = test_source();
    round_from_threads(source);
    double before = private_bytes();
    for (int round = 0; round < 20; ++round) round_from_threads(source);
    EXPECT_LT(private_bytes() - before, 2.0) << "MiB more after 20 rounds";
}
#endif

}  // namespace
