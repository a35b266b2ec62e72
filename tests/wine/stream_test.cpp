// The Windows process layer's pipes, output files and wait, through real
// processes: this program started again as a writer with a known output, and
// the stand-in. Runs under Wine with the Windows build's ctest.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "vorn_stream.h"
#include "vorn_util.h"

namespace {

const char kWriteArgument[] = "--write";
constexpr int kWriteFailed = 3;

using Clock = std::chrono::steady_clock;

int64_t ms_since(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// The writer's output: CR LF lines of varied length, cut at `bytes`, written
// in chunks of varied size that alternate between the two streams. `emit`
// gets each chunk in order.
void schedule(size_t out_bytes, size_t err_bytes,
              const std::function<void(int, const char*, size_t)>& emit) {
    std::string text[2];
    size_t wanted[2] = {out_bytes, err_bytes};
    for (int s = 0; s < 2; ++s) {
        for (size_t line = 0; text[s].size() < wanted[s]; ++line) {
            text[s] += std::to_string(s + 1) + ":" + std::to_string(line) + ":" +
                       std::string(line * 7919 % 300, static_cast<char>('a' + line % 26)) + "\r\n";
        }
        text[s].resize(wanted[s]);
    }
    size_t done[2] = {0, 0};
    for (size_t chunk = 0; done[0] < wanted[0] || done[1] < wanted[1]; ++chunk) {
        int s = done[chunk % 2] < wanted[chunk % 2] ? chunk % 2 : 1 - chunk % 2;
        size_t size = std::min(chunk * 131 % 9000 + 1, wanted[s] - done[s]);
        emit(s, text[s].data() + done[s], size);
        done[s] += size;
    }
}

std::string expected(int stream, size_t out_bytes, size_t err_bytes) {
    std::string all;
    schedule(out_bytes, err_bytes, [&](int s, const char* data, size_t size) {
        if (stream < 0 || s == stream) all.append(data, size);
    });
    return all;
}

// --write OUT ERR HOLD_MS: an empty write first, which must not read as the
// end, then the schedule, then a hold.
int run_writer(char** argv) {
    DWORD none = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "", 0, &none, nullptr);
    bool ok = true;
    schedule(std::strtoull(argv[2], nullptr, 10), std::strtoull(argv[3], nullptr, 10),
             [&](int s, const char* data, size_t size) {
                 ok = ok && util_write_standard(s + 1, data, size);
             });
    util_sleep_ms(static_cast<uint32_t>(std::atoi(argv[4])));
    return ok ? 0 : kWriteFailed;
}

std::string writer(size_t out_bytes, size_t err_bytes, int hold_ms = 0) {
    std::ostringstream line;
    line << "stream_tests.exe " << kWriteArgument << ' ' << out_bytes << ' ' << err_bytes << ' '
         << hold_ms;
    return line.str();
}

struct Copy {
    util_process_handle handle = UTIL_NO_PROCESS;
    util_stream streams[2] = {UTIL_NO_STREAM, UTIL_NO_STREAM};
    std::string got[2];
};

Copy start_piped(const std::string& command_line) {
    Copy copy;
    util_start_options options;
    options.out_stream = &copy.streams[0];
    options.err_stream = &copy.streams[1];
    char why[256];
    copy.handle = util_process_start_with(command_line.c_str(), options, why, sizeof why);
    EXPECT_NE(copy.handle, UTIL_NO_PROCESS) << why;
    EXPECT_NE(copy.streams[0], UTIL_NO_STREAM);
    EXPECT_NE(copy.streams[1], UTIL_NO_STREAM);
    return copy;
}

// Reads every copy's streams to their end, as the supervision loop would.
void drain(std::vector<Copy>& copies) {
    Clock::time_point start = Clock::now();
    for (;;) {
        std::vector<util_stream> open;
        std::vector<std::pair<Copy*, int>> owner;
        for (Copy& copy : copies) {
            for (int s = 0; s < 2; ++s) {
                if (copy.streams[s] == UTIL_NO_STREAM) continue;
                open.push_back(copy.streams[s]);
                owner.emplace_back(&copy, s);
            }
        }
        if (open.empty()) return;
        ASSERT_LT(ms_since(start), 60000) << open.size() << " streams never ended";
        std::unique_ptr<bool[]> ready(new bool[open.size()]);
        util_wait(open.data(), open.size(), ready.get(), 1000);
        for (size_t i = 0; i < open.size(); ++i) {
            if (!ready[i]) continue;
            char buffer[7000];
            int64_t got;
            while ((got = util_stream_read(open[i], buffer, sizeof buffer)) > 0) {
                owner[i].first->got[owner[i].second].append(buffer, static_cast<size_t>(got));
            }
            if (got == -EAGAIN) continue;
            ASSERT_EQ(got, 0);
            util_stream_close(open[i]);
            owner[i].first->streams[owner[i].second] = UTIL_NO_STREAM;
        }
    }
}

// The exit status, once the copy has ended; -1 if it has not within 10 s.
int64_t end_code(util_process_handle handle) {
    util_process_end end{};
    for (int i = 0; i < 1000; ++i) {
        if (util_process_end_state(handle, &end) == 1) return end.code;
        util_sleep_ms(10);
    }
    return -1;
}

TEST(Stream, PipesCarryEveryByteOfManyCopiesUnchanged) {
    std::vector<Copy> copies;
    for (size_t i = 0; i < 16; ++i) copies.push_back(start_piped(writer(300000 + i, 100000 - i)));
    // The stand-in's C runtime turns its line ends into CR LF; they must
    // arrive single.
    copies.push_back(start_piped("VORNCoreExTest.exe A%02d 4 3 7"));
    drain(copies);
    for (size_t i = 0; i < 16; ++i) {
        EXPECT_TRUE(copies[i].got[0] == expected(0, 300000 + i, 100000 - i)) << "copy " << i;
        EXPECT_TRUE(copies[i].got[1] == expected(1, 300000 + i, 100000 - i)) << "copy " << i;
    }
    EXPECT_EQ(copies.back().got[0],
              "VORNCoreExTest copy 7: start indices 4-6 (3), first ID A04, last ID A06\r\n"
              "VORNCoreExTest copy 7: done indices 4-6 (3), first ID A04, last ID A06\r\n");
    EXPECT_EQ(copies.back().got[1], "");
    for (Copy& copy : copies) {
        EXPECT_EQ(end_code(copy.handle), 0);
        util_process_kill_handle(copy.handle);
    }
}

TEST(Stream, WhatAnEndedCopyWroteIsReadWithoutAWait) {
    // Less than the pipes hold, so that it ends unread.
    Copy copy = start_piped(writer(40000, 20000));
    ASSERT_EQ(end_code(copy.handle), 0);
    for (int s = 0; s < 2; ++s) {
        char buffer[3000];
        int64_t got;
        while ((got = util_stream_read(copy.streams[s], buffer, sizeof buffer)) > 0) {
            copy.got[s].append(buffer, static_cast<size_t>(got));
        }
        EXPECT_EQ(got, 0) << "stream " << s;
        util_stream_close(copy.streams[s]);
    }
    EXPECT_TRUE(copy.got[0] == expected(0, 40000, 20000)) << copy.got[0].size() << " bytes";
    EXPECT_TRUE(copy.got[1] == expected(1, 40000, 20000)) << copy.got[1].size() << " bytes";
    util_process_kill_handle(copy.handle);
}

TEST(Stream, OutputFileTakesBothStreamsInWriteOrder) {
    char folder[MAX_PATH];
    ASSERT_GT(GetTempPathA(sizeof folder, folder), 0u);
    std::string path =
        std::string(folder) + "vorn-stream-test-" + std::to_string(GetCurrentProcessId()) + ".log";
    DeleteFileA(path.c_str());
    util_start_options options;
    options.output_file = path.c_str();
    char why[256];
    for (int run = 0; run < 2; ++run) {
        util_process_handle handle =
            util_process_start_with(writer(200000, 50000).c_str(), options, why, sizeof why);
        ASSERT_NE(handle, UTIL_NO_PROCESS) << why;
        EXPECT_EQ(end_code(handle), 0);
        util_process_kill_handle(handle);
    }
    std::ifstream file(path, std::ios::binary);
    std::string contents((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    file.close();
    // Appended: the second run follows the first.
    std::string once = expected(-1, 200000, 50000);
    EXPECT_TRUE(contents == once + once) << contents.size() << " bytes";
    EXPECT_TRUE(DeleteFileA(path.c_str())) << "the file is still open";

    std::string missing = std::string(folder) + "vorn-no-such-folder\\x.log";
    options.output_file = missing.c_str();
    EXPECT_EQ(util_process_start_with(writer(1, 1).c_str(), options, why, sizeof why),
              UTIL_NO_PROCESS);
    EXPECT_NE(std::string(why).find("cannot start stream_tests.exe: " + missing + ": "),
              std::string::npos)
        << why;
}

TEST(Stream, StreamLeftOutBlocksItsWriterUntilClosed) {
    std::vector<Copy> copies{start_piped(writer(8 << 20, 0))};
    Copy& copy = copies[0];
    util_sleep_ms(1500);
    EXPECT_TRUE(util_is_process_running(copy.handle)) << "8 MiB went somewhere";
    bool ready = false;
    for (int i = 0; i < 50 && !ready; ++i) util_wait(&copy.streams[0], 1, &ready, 100);
    ASSERT_TRUE(ready);
    char buffer[100];
    ASSERT_EQ(util_stream_read(copy.streams[0], buffer, sizeof buffer), 100);
    EXPECT_EQ(std::string(buffer, 100), expected(0, 100, 0));
    // Emptied, so that the next read is started; and one started on the
    // silent standard error, where it stays pending.
    while (util_stream_read(copy.streams[0], buffer, sizeof buffer) > 0) {
    }
    util_wait(&copy.streams[1], 1, &ready, 100);
    // Closed with reads pending: the writer's next write fails, and it ends.
    util_stream_close(copy.streams[0]);
    util_stream_close(copy.streams[1]);
    EXPECT_EQ(end_code(copy.handle), kWriteFailed);
    util_process_kill_handle(copy.handle);

    // Once the cancelled reads have come back, their slots serve new pipes.
    util_wait(nullptr, 0, nullptr, 200);
    copies = {start_piped(writer(5000, 3000)), start_piped(writer(3000, 5000))};
    drain(copies);
    EXPECT_TRUE(copies[0].got[0] == expected(0, 5000, 3000));
    EXPECT_TRUE(copies[1].got[1] == expected(1, 3000, 5000));
    for (Copy& c : copies) util_process_kill_handle(c.handle);
}

TEST(Stream, WaitWakesOnACopysEndAndOnWake) {
    // Ends of earlier tests' copies may still be queued: wait for this one's.
    util_process_handle handle = util_process_start(writer(0, 0, 300).c_str(), nullptr, 0);
    ASSERT_NE(handle, UTIL_NO_PROCESS);
    Clock::time_point start = Clock::now();
    util_process_end end{};
    while (util_process_end_state(handle, &end) == 0 && ms_since(start) < 20000) {
        unsigned seen = util_wait(nullptr, 0, nullptr, 20000);
        if (seen & UTIL_WAIT_CHILD) continue;
        ADD_FAILURE() << "woken by " << seen << " after " << ms_since(start) << " ms";
    }
    EXPECT_EQ(util_process_end_state(handle, &end), 1);
    EXPECT_LT(ms_since(start), 5000);
    util_process_kill_handle(handle);

    std::thread waker([] {
        util_sleep_ms(200);
        util_wake();
    });
    start = Clock::now();
    unsigned seen = 0;
    while (!(seen & UTIL_WAIT_WOKEN) && ms_since(start) < 20000) {
        seen = util_wait(nullptr, 0, nullptr, 20000);
    }
    EXPECT_LT(ms_since(start), 5000);
    waker.join();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], kWriteArgument) == 0) return run_writer(argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
