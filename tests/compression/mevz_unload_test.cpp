// The library loaded and unloaded at run time, as a host program with
// plug-ins would: whatever it keeps between calls must go with it (a leak
// check under AddressSanitizer catches what does not).
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <thread>
#include <vector>

namespace {

using Call = int32_t (*)(void*, const void*, int32_t, void*, int32_t);

TEST(MevzUnload, CallsFromThreadsThenUnloadLeaveNothingLoaded) {
    std::vector<uint8_t> source(100000);
    for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<uint8_t>(i * i >> 7);
    for (int round = 0; round < 3; ++round) {
        void* library = dlopen(MEVZ_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library, nullptr) << dlerror();
        auto compress = reinterpret_cast<Call>(dlsym(library, "MevZ_CompressData"));
        auto uncompress = reinterpret_cast<Call>(dlsym(library, "MevZ_UncompressData"));
        ASSERT_TRUE(compress != nullptr && uncompress != nullptr);

        // More threads than the library is likely to keep anything for.
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

        ASSERT_EQ(dlclose(library), 0);
        EXPECT_EQ(dlopen(MEVZ_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD), nullptr) << "still loaded";
    }
}

}  // namespace
