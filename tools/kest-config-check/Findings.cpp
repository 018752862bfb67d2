#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "Check.h"

namespace kest_config_check {

void Check::Warn(int line, const std::string& text) {
    ++warningCount_;
    // The kind of a finding: its text without what it quotes (file content,
    // escaped so that quotes pair up), section names and numbers.
    std::string kind;
    char skipTo = 0;
    for (char c : text) {
        if (skipTo != 0) {
            if (c == skipTo) {
                kind += c;
                skipTo = 0;
            }
        } else if (c == '\'' || c == '[') {
            kind += c;
            skipTo = c == '[' ? ']' : '\'';
        } else if (!std::isdigit(static_cast<unsigned char>(c))) {
            kind += c;
        }
    }
    Repeated& r = repeated_[kind];
    if (++r.count <= kShownPerFinding) warnings_.push_back({line, text});
    if (r.count == 1) r.firstLine = line;
    r.lastLine = line;
}

std::string Quote(const std::string& s) {
    std::string out = "'";
    for (unsigned char c : s) {
        if (c < 0x20 || c >= 0x7F || c == '\'') {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "'";
}

namespace {

size_t Distance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diag = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t up = row[j];
            const bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                              std::tolower(static_cast<unsigned char>(b[j - 1]));
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (same ? 0 : 1)});
            diag = up;
        }
    }
    return row[b.size()];
}

}  // namespace

std::string Check::Suggest(const std::string& word, const std::vector<std::string>& known) {
    std::string best;
    size_t bestDistance = 3;
    for (const std::string& k : known) {
        const size_t d = Distance(word, k);
        if (d < bestDistance) {
            bestDistance = d;
            best = k;
        }
    }
    return best.empty() ? "" : " (did you mean '" + best + "'?)";
}

}  // namespace kest_config_check
