// Output patterns and the cutting of a copy's bytes into lines.
#include "output.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

TEST(Output, PatternsNeedTheCopyNumber) {
    std::string error;
    EXPECT_TRUE(check_output_pattern("logs/copy-%c.log", &error));
    EXPECT_EQ(output_path("logs/%c-%%c-%c", 12), "logs/12-%c-12");
    EXPECT_EQ(slurm_output_pattern("logs/%c-%%.log"), "logs/%a-%%.log");
    for (const char* bad : {"logs/copy.log", "%c%d", "%c%", "%%c"}) {
        EXPECT_FALSE(check_output_pattern(bad, &error)) << bad;
    }
}

// Random writes of random lines, cut anywhere: every line comes out whole
// (or in full pieces that join back to it), in order, and nothing is held
// beyond one piece.
TEST(Output, LinesComeOutWholeWhateverTheReads) {
    std::mt19937 random(7);
    std::string input;
    std::vector<std::string> lines;
    for (int i = 0; i < 300; ++i) {
        size_t length = random() % 3 == 0 ? random() % (3 * kMaxLinePiece) : random() % 100;
        if (i % 50 == 0) length = kMaxLinePiece;  // exactly one piece
        std::string line(length, '\0');
        // Any byte but the line feed, NUL included.
        for (char& c : line) c = static_cast<char>(random() % 10 == 0 ? 0 : 'a' + random() % 26);
        lines.push_back(line);
        input += line + "\n";
    }
    lines.push_back("no line end");
    input += "no line end";

    LineSplitter splitter;
    std::vector<std::string> out;
    std::string joined;
    auto emit = [&](const char* data, size_t size, bool add_line_end) {
        size_t content = add_line_end ? size : size - 1;
        EXPECT_LE(content, kMaxLinePiece);
        if (!add_line_end) {
            EXPECT_EQ(data[size - 1], '\n');
        }
        joined.append(data, content);
        if (!add_line_end) {
            out.push_back(joined);
            joined.clear();
        }
    };
    for (size_t at = 0; at < input.size();) {
        size_t n = std::min<size_t>(input.size() - at, random() % 200000 + 1);
        splitter.feed(input.data() + at, n, emit);
        at += n;
    }
    splitter.finish(emit);
    out.push_back(joined);
    EXPECT_FALSE(splitter.holding());
    ASSERT_EQ(out.size(), lines.size());
    for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(out[i], lines[i]) << "line " << i;
}

}  // namespace
