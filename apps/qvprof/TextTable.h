// A table of text for the terminal: a header row and rows of cells, each column as wide as its
// widest cell; numbers right-aligned, text left-aligned. The last column is never padded.
#pragma once

#include <string>
#include <vector>

namespace Qvprof {

class TextTable {
public:
    enum class Align { Left, Right };

    struct Column {
        std::string title;
        Align align = Align::Left;
    };

    explicit TextTable(std::vector<Column> columns);

    // Cells beyond the columns are dropped; missing cells are empty.
    void AddRow(std::vector<std::string> cells);
    size_t RowCount() const { return m_Rows.size(); }

    // Every line starts with `indent`.
    std::string Render(const std::string& indent = "  ") const;

private:
    std::vector<Column> m_Columns;
    std::vector<std::vector<std::string>> m_Rows;
};

}  // namespace Qvprof
