// kest-md-recv's book of what it received: change-number gaps and reordering
// per feed and instrument, whichever way an instrument's entry is found (the
// first quote through the maps, later ones through the index).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <tuple>

#include "QuoteBook.h"

namespace {

KestShfeMdType Quote(const char* id, uint16_t type, uint32_t change) {
    KestShfeMdType q{};
    std::memcpy(q.inst_id, id, std::min(std::strlen(id), sizeof q.inst_id - 1));
    q.type = type;
    q.change_no = change;
    return q;
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
