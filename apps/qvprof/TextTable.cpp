#include "TextTable.h"

#include <algorithm>

namespace Qvprof {

namespace {

// Display width of UTF-8 text: bytes that do not continue a character.
size_t Width(const std::string& text) {
    return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

}  // namespace

TextTable::TextTable(std::vector<Column> columns) : m_Columns(std::move(columns)) {}

void TextTable::AddRow(std::vector<std::string> cells) {
    cells.resize(m_Columns.size());
    m_Rows.push_back(std::move(cells));
}

std::string TextTable::Render(const std::string& indent) const {
    std::vector<size_t> widths;
    for (const Column& column : m_Columns) {
        widths.push_back(Width(column.title));
    }
    for (const auto& row : m_Rows) {
        for (size_t i = 0; i < row.size(); ++i) {
            widths[i] = std::max(widths[i], Width(row[i]));
        }
    }
    auto line = [&](const std::vector<std::string>& cells) {
        std::string text = indent;
        for (size_t i = 0; i < cells.size(); ++i) {
            const bool last = i + 1 == cells.size();
            const std::string padding(widths[i] - Width(cells[i]), ' ');
            if (m_Columns[i].align == Align::Right) {
                text += padding + cells[i];
            } else {
                text += cells[i] + (last ? "" : padding);
            }
            text += last ? "" : "  ";
        }
        while (!text.empty() && text.back() == ' ') {
            text.pop_back();
        }
        return text + "\n";
    };
    std::vector<std::string> titles;
    for (const Column& column : m_Columns) {
        titles.push_back(column.title);
    }
    std::string text = line(titles);
    for (const auto& row : m_Rows) {
        text += line(row);
    }
    return text;
}

}  // namespace Qvprof
