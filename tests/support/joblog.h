// Reads back a job log in GNU parallel's format.
#pragma once

#include <cmath>
#include <cstdint>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

using Row = std::vector<std::string>;

// Seq, Exitval, Signal and Command of every line, the header's too; a line of
// another shape is kept whole.
inline std::vector<Row> joblog_outcomes(const std::string& log) {
    std::vector<Row> rows;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        Row cells;
        std::istringstream in(line);
        for (std::string cell; std::getline(in, cell, '\t');) cells.push_back(cell);
        rows.push_back(cells.size() == 9 ? Row{cells[0], cells[6], cells[7], cells[8]} : Row{line});
    }
    return rows;
}

// Start and end of each line of a job log, in ms since the epoch: past 2^31,
// so 64-bit on every word size.
inline std::vector<std::pair<int64_t, int64_t>> joblog_spans(const std::string& log) {
    std::vector<std::pair<int64_t, int64_t>> result;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> cells;
        std::istringstream in(line);
        for (std::string cell; std::getline(in, cell, '\t');) cells.push_back(cell);
        if (cells.size() != 9 || cells[0] == "Seq") continue;
        int64_t start = std::llround(std::stod(cells[2]) * 1000);
        result.emplace_back(start, start + std::llround(std::stod(cells[3]) * 1000));
    }
    return result;
}

}  // namespace testsupport
