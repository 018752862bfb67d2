// kest-md-recv's book of what it received: change-number gaps and reordering
// per feed and instrument, whichever way an instrument's entry is found (the
// first quote through the maps, later ones through the index), and the rows
// of its summary and live table.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <regex>
#include <string>
#include <tuple>

#include "QuoteBook.h"

namespace {

KestShfeMdType Quote(const char* id, uint16_t type, uint32_t change) {
    KestShfeMdType q{};
    std::memcpy(q.inst_id, id, std::min(std::strlen(id), sizeof q.inst_id - 1));
    q.type = type;
    q.change_no = change;
    q.last_px = static_cast<int32_t>(change);  // in hundredths
    q.volume = 2 * change;
    return q;
}

// What the book prints, its runs of blanks made one.
std::string Printed(const std::function<void(FILE*)>& print) {
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    print(out);
    std::fclose(out);
    const std::string printed(text, size);
    std::free(text);
    return std::regex_replace(printed, std::regex(" +"), " ");
}

TEST(QuoteBook, GapsAndReorderingAreCountedPerFeedAndInstrument) {
    QuoteBook book(nullptr, nullptr, nullptr);
    // Two feeds quote cu2501: the 4ps feed (1) carries every change, the 2ps
    // feed (0) steps over the ones it conflated. ag2502 jumps on the 4ps feed.
    const struct {
        const char* id;
        uint16_t type;
        uint32_t change;
    } stream[] = {{"cu2501", 1, 10},  {"cu2501", 0, 500}, {"cu2501", 1, 11},
                  {"cu2501", 0, 503}, {"ag2502", 1, 1},   {"ag2502", 1, 5},
                  {"cu2501", 1, 14},  {"ag2502", 1, 4},   {"cu2501", 0, 504}};
    for (const auto& s : stream) book.OnQuote(Quote(s.id, s.type, s.change), 0);
    EXPECT_EQ(book.Total(), 9u);
    // ag2502: 1 -> 5 misses 3; cu2501 on 4ps: 11 -> 14 misses 2; 5 -> 4 goes
    // back; cu2501 on 2ps: 500 -> 503 is conflation, not loss.
    EXPECT_EQ(book.Loss().missing, 5u);
    EXPECT_EQ(book.Loss().gapEvents, 2u);
    EXPECT_EQ(book.Loss().backwards, 1u);
    // Both print a row per feed of cu2501, named apart; the table shows each row's last quote.
    const std::string summary = Printed([&](FILE* out) { book.PrintSummary(out, 0, 1.0); });
    for (const char* row : {"\ncu2501 shfe2ps 3 0\n", "\ncu2501 shfe4ps 3 2\n", "\nag2502 shfe4ps 3 3\n"})
        EXPECT_NE(summary.find(row), std::string::npos) << row << summary;
    const std::string table = Printed([&](FILE* out) { book.PrintTable(out, 10, false); });
    for (const char* row : {"\ncu2501 SHFE 2ps 3 5.04 1008 0.00 0 0.00 0 00:00:00.000\n",
                            "\ncu2501 SHFE 4ps 3 0.14 28 0.00 0 0.00 0 00:00:00.000\n",
                            "\nag2502 SHFE 4ps 3 0.04 8 0.00 0 0.00 0 00:00:00.000\n"})
        EXPECT_NE(table.find(row), std::string::npos) << row << table;
}

TEST(QuoteBook, BytesAfterTheIdentifiersEndNameTheSameInstrument) {
    QuoteBook book(nullptr, nullptr, nullptr);
    KestShfeMdType a = Quote("sc2503", 3, 7), b = Quote("sc2503", 3, 9);
    b.inst_id[10] = 'x';  // after the NUL: not part of the identifier
    book.OnQuote(a, 0);
    book.OnQuote(b, 0);
    book.OnQuote(Quote("sc2503", 3, 10), 0);
    EXPECT_EQ(book.Loss().missing, 1u) << "7 -> 9 in one instrument, whatever follows its NUL";
    EXPECT_EQ(book.Loss().backwards, 0u);
}

// More identifiers than the index keeps: the rest are found through the maps.
TEST(QuoteBook, ThousandsOfInstrumentsKeepTheirOwnNumbers) {
    QuoteBook book(nullptr, nullptr, nullptr);
    for (uint32_t round = 1; round <= 3; ++round) {
        for (uint32_t i = 0; i < 14000; ++i) {
            const std::string id = "i" + std::to_string(i);
            // Instruments 77 and 13999 skip one change in the last round.
            book.OnQuote(Quote(id.c_str(), static_cast<uint16_t>(i % 4),
                               round + ((i == 77 || i == 13999) && round == 3)),
                         0);
        }
    }
    EXPECT_EQ(book.Total(), 42000u);
    EXPECT_EQ(std::make_tuple(book.Loss().missing, book.Loss().gapEvents, book.Loss().backwards),
              std::make_tuple(uint64_t{2}, uint64_t{2}, uint64_t{0}));
}

}  // namespace
