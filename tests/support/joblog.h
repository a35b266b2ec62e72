// Reads back a job log in GNU parallel's format.
#pragma once

#include <sstream>
#include <string>
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

}  // namespace testsupport
