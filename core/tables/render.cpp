#include "tables/render.h"

#include <algorithm>
#include <string_view>

namespace quarvel::tables {
namespace {

void markdown_text(std::string& out, std::string_view text) {
    for (char ch : text) {
        if (ch == '|') out += "\\|";
        else if (ch == '\n') out += "<br>";
        else if (ch == '\r') continue;
        else out += ch;
    }
}

void html_text(std::string& out, std::string_view text) {
    for (char ch : text) {
        switch (ch) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\n': out += "<br>"; break;
        case '\r': break;
        default: out += ch;
        }
    }
}

void markdown_row(std::string& out, const std::vector<std::string>& texts) {
    out += '|';
    for (const std::string& text : texts) {
        out += ' ';
        markdown_text(out, text);
        out += " |";
    }
    out += '\n';
}

} // namespace

std::string to_markdown(const Table& table) {
    if (table.rows == 0 || table.cols == 0) return {};
    const auto cells = grid(table);
    auto row_texts = [&](std::size_t r) {
        std::vector<std::string> texts(table.cols);
        for (std::size_t c = 0; c < table.cols; ++c) {
            if (cells[r][c] != nullptr) texts[c] = cells[r][c]->text;
        }
        return texts;
    };
    const std::size_t head = std::clamp<std::size_t>(table.header_rows, 1, table.rows);
    std::vector<std::string> heading(table.cols);
    for (std::size_t r = 0; r < head; ++r) {
        std::vector<std::string> texts = row_texts(r);
        for (std::size_t c = 0; c < table.cols; ++c) {
            if (texts[c].empty()) continue;
            if (!heading[c].empty()) heading[c] += ' ';
            heading[c] += texts[c];
        }
    }
    std::string out;
    markdown_row(out, heading);
    out += '|';
    for (std::size_t c = 0; c < table.cols; ++c) out += " --- |";
    out += '\n';
    for (std::size_t r = head; r < table.rows; ++r) markdown_row(out, row_texts(r));
    return out;
}

std::string to_html(const Table& table) {
    std::string out = "<table>\n";
    const auto cells = grid(table);
    const std::size_t head = std::min(table.header_rows, table.rows);
    for (std::size_t r = 0; r < table.rows; ++r) {
        if (r == 0 && head > 0) out += "<thead>\n";
        if (r == head) out += "<tbody>\n";
        out += "<tr>";
        const char* tag = r < head ? "th" : "td";
        for (std::size_t c = 0; c < table.cols; ++c) {
            const TableCell* cell = cells[r][c];
            if (cell == nullptr) continue;
            out += '<';
            out += tag;
            if (cell->row_span > 1) out += " rowspan=\"" + std::to_string(cell->row_span) + '"';
            if (cell->col_span > 1) out += " colspan=\"" + std::to_string(cell->col_span) + '"';
            out += '>';
            html_text(out, cell->text);
            out += "</";
            out += tag;
            out += '>';
        }
        out += "</tr>\n";
        if (r + 1 == head) out += "</thead>\n";
    }
    if (table.rows > head) out += "</tbody>\n";
    out += "</table>\n";
    return out;
}

} // namespace quarvel::tables
