// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

#include "toolkit/codepage.h"

#include <iconv.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// iconv's WCHAR_T is then one UCS-4 code point per unit, which saves glibc a conversion step.
#if !defined(__STDC_ISO_10646__)
#error "wchar_t must hold ISO 10646 code points"
#endif
static_assert(sizeof(wchar_t) == 4, "wchar_t must hold a whole code point");

namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr char32_t kEuro = 0x20AC;
constexpr std::size_t kChunk = 1024;

enum class Charset { Unsupported, Gb18030, Utf8 };

Charset charsetOf(unsigned codePage) {
    switch (codePage) {
        case CP_ACP:
        case CP_GBK:
            return Charset::Gb18030;
        case CP_UTF8:
            return Charset::Utf8;
        default:
            return Charset::Unsupported;
    }
}

// Where converted units go: counted only when there is no buffer, else copied within its size.
// The count stops at INT_MAX, the most the calls can report.
template <typename Unit>
class Sink final {
public:
    Sink(Unit* output, int capacity)
        : m_output(capacity == 0 ? nullptr : output),
          m_capacity(capacity == 0 ? INT_MAX : static_cast<std::size_t>(capacity)) {}
    Sink(const Sink&) = delete;
    Sink& operator=(const Sink&) = delete;

    // False once the units no longer fit; nothing more is taken after that.
    bool take(const Unit* units, std::size_t count) {
        if (!fits(count)) return false;
        if (m_output != nullptr) std::memcpy(m_output + m_size, units, count * sizeof(Unit));
        m_size += count;
        return true;
    }
    bool take(Unit unit) {
        if (!fits(1)) return false;
        if (m_output != nullptr) m_output[m_size] = unit;
        ++m_size;
        return true;
    }
    bool fits(std::size_t count) const { return count <= room(); }
    bool counting() const { return m_output == nullptr; }
    // How many more units fit.
    std::size_t room() const { return m_capacity - m_size; }
    // Where the next units go, null when counting; after writing up to room() units there,
    // skip(count) takes them.
    Unit* next() { return m_output != nullptr ? m_output + m_size : nullptr; }
    void skip(std::size_t count) { m_size += count; }
    int size() const { return static_cast<int>(m_size); }

private:
    Unit* m_output = nullptr;
    std::size_t m_capacity = 0;
    std::size_t m_size = 0;
};

// Writes the code point as UTF-16 at `out` and returns the number of units written.
std::size_t writeUtf16(char32_t codePoint, char16_t* out) {
    if (codePoint < 0x10000) {
        out[0] = static_cast<char16_t>(codePoint);
        return 1;
    }
    codePoint -= 0x10000;
    out[0] = static_cast<char16_t>(0xD800 + (codePoint >> 10));
    out[1] = static_cast<char16_t>(0xDC00 + (codePoint & 0x3FF));
    return 2;
}

// Writes the code point as UTF-8 at `out` and returns the number of bytes written.
std::size_t writeUtf8(char32_t codePoint, char* out) {
    if (codePoint < 0x80) {
        out[0] = static_cast<char>(codePoint);
        return 1;
    }
    if (codePoint < 0x800) {
        out[0] = static_cast<char>(0xC0 | (codePoint >> 6));
        out[1] = static_cast<char>(0x80 | (codePoint & 0x3F));
        return 2;
    }
    if (codePoint < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (codePoint >> 12));
        out[1] = static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (codePoint & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (codePoint >> 18));
    out[1] = static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (codePoint & 0x3F));
    return 4;
}

// Reads the code point at input[pos] and moves past it; an unpaired surrogate reads as U+FFFD.
char32_t nextCodePoint(const char16_t* input, std::size_t length, std::size_t& pos) {
    const char16_t unit = input[pos++];
    if (unit < 0xD800 || unit > 0xDFFF) return unit;
    if (unit <= 0xDBFF && pos < length && input[pos] >= 0xDC00 && input[pos] <= 0xDFFF) {
        const char16_t low = input[pos++];
        return 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (low - 0xDC00);
    }
    return kReplacement;
}

// An iconv descriptor kept for the thread's lifetime: opening one costs more than converting a
// short keyword, and a descriptor must not be shared between threads.
class Converter final {
public:
    Converter(const char* to, const char* from) : m_descriptor(iconv_open(to, from)) {}
    ~Converter() {
        if (valid()) iconv_close(m_descriptor);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    bool valid() const { return m_descriptor != reinterpret_cast<iconv_t>(-1); }

    // Converts as much as fits; returns false with errno set where iconv stopped early.
    bool convert(const char*& input, std::size_t& inputBytes, char*& output,
                 std::size_t& outputBytes) {
        auto* in = const_cast<char*>(input);  // iconv's parameter is not const, but it only reads
        const bool done = iconv(m_descriptor, &in, &inputBytes, &output, &outputBytes) !=
                          static_cast<std::size_t>(-1);
        input = in;
        return done;
    }

private:
    iconv_t m_descriptor;
};

Converter& gb18030Decoder() {
    thread_local Converter converter("WCHAR_T", "GB18030");
    return converter;
}

Converter& gb18030Encoder() {
    thread_local Converter converter("GB18030", "WCHAR_T");
    return converter;
}

// Each step converts into a block on the stack and hands the block to the sink whole, so the
// inner loops write without checking the caller's buffer.

// The two-byte characters of GB18030 that are one BMP character, as iconv decodes them, by the
// pair's two bytes read as one little-endian 16-bit number; 0 for every other pair. Nearly
// every character of a Chinese keyword is one of these, and one lookup both checks the pair and
// decodes it, for a fraction of the cost of a call into iconv.
struct PairTable {
    char16_t units[0x10000];
    // Every lead byte from 0x81 to this one gives one BMP character with each second byte from
    // 0x80 to 0xFE, so a count of such pairs needs no lookup.
    unsigned char lastCompleteLead = 0;

    static unsigned index(const unsigned char* pair) { return pair[0] | pair[1] << 8; }
};

bool fillPairTable(PairTable& table) {
    Converter& decoder = gb18030Decoder();
    if (!decoder.valid()) return false;
    for (unsigned lead = 0x81; lead <= 0xFE; ++lead) {
        for (unsigned second = 0x40; second <= 0xFE; ++second) {
            const unsigned char pair[2] = {static_cast<unsigned char>(lead),
                                           static_cast<unsigned char>(second)};
            const char* input = reinterpret_cast<const char*>(pair);
            std::size_t inputBytes = sizeof pair;
            wchar_t codePoint = 0;
            char* output = reinterpret_cast<char*>(&codePoint);
            std::size_t room = sizeof codePoint;
            const bool done = decoder.convert(input, inputBytes, output, room);
            const bool oneUnit = done && inputBytes == 0 && room == 0 && codePoint > 0 &&
                                 codePoint < 0x10000 && (codePoint < 0xD800 || codePoint > 0xDFFF);
            if (oneUnit) table.units[PairTable::index(pair)] = static_cast<char16_t>(codePoint);
        }
    }
    for (unsigned lead = 0x81; lead <= 0xFE; ++lead) {
        for (unsigned second = 0x80; second <= 0xFE; ++second) {
            if (table.units[lead | second << 8] == u'\0') return true;
        }
        table.lastCompleteLead = static_cast<unsigned char>(lead);
    }
    return true;
}

// Null when iconv has no GB18030.
const PairTable* pairTable() {
    static PairTable table{};
    static const bool filled = fillPairTable(table);
    return filled ? &table : nullptr;
}

// Decodes the one character at `input` with iconv, or replaces its first byte when it begins
// none; returns the number of bytes read, 0 when the output does not fit.
std::size_t decodeGb18030Character(Converter& decoder, const char* input, std::size_t length,
                                   Sink<char16_t>& sink) {
    const char* in = input;
    std::size_t inBytes = std::min<std::size_t>(length, 4);  // the longest character
    wchar_t codePoint = 0;
    char* converted = reinterpret_cast<char*>(&codePoint);
    std::size_t room = sizeof codePoint;
    decoder.convert(in, inBytes, converted, room);
    if (room == 0) {
        char16_t units[2];
        const std::size_t count = writeUtf16(static_cast<char32_t>(codePoint), units);
        return sink.take(units, count) ? static_cast<std::size_t>(in - input) : 0;
    }
    const bool euro = static_cast<unsigned char>(*input) == 0x80;
    return sink.take(static_cast<char16_t>(euro ? kEuro : kReplacement)) ? 1 : 0;
}

#if defined(__SSE2__)
// Whether each byte lies within the bounds of the same place, as unsigned numbers.
[[gnu::always_inline]] inline bool withinBytes(__m128i bytes, __m128i from, __m128i to) {
    const __m128i within = _mm_and_si128(_mm_cmpeq_epi8(_mm_max_epu8(bytes, from), bytes),
                                         _mm_cmpeq_epi8(_mm_min_epu8(bytes, to), bytes));
    return _mm_movemask_epi8(within) == 0xFFFF;
}

// Sixteen ASCII bytes as sixteen units at `out`.
[[gnu::always_inline]] inline void widenSixteen(__m128i block, char16_t* out) {
    const __m128i zero = _mm_setzero_si128();
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(block, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpackhi_epi8(block, zero));
}
#endif

// The loop keeps its position and output in locals, which the compiler holds in registers; one
// copy counts, the other writes.
template <bool kWrites>
bool decodeGb18030(const PairTable& table, const char* input, std::size_t length,
                   Sink<char16_t>& sink) {
    Converter& decoder = gb18030Decoder();
    const auto* bytes = reinterpret_cast<const unsigned char*>(input);
    std::size_t pos = 0;
    while (pos < length) {
        // Runs of plain characters, as long as the output has room for each: a two-byte
        // character comes from the table, an ASCII byte stands for itself.
        char16_t* out = sink.next();
        const std::size_t room = sink.room();
        std::size_t count = 0;
#if defined(__SSE2__)
        // The bounds of pairs that are surely one BMP character each.
        const __m128i completeFrom = _mm_set1_epi16(static_cast<short>(0x8081));
        const __m128i completeTo =
            _mm_set1_epi16(static_cast<short>(0xFE00 | table.lastCompleteLead));
#endif
        while (pos < length && count < room) {
#if defined(__SSE2__)
            // Sixteen bytes at a time. A block all of ASCII or all of two-byte characters, the
            // common cases, takes a fixed step, so the next load can start before this block's
            // bits are known; in a block that mixes kinds, the run that begins it goes in one
            // step.
            if (length - pos >= 16 && room - count >= 16) {
                const __m128i block =
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + pos));
                const unsigned high = static_cast<unsigned>(_mm_movemask_epi8(block));
                if (high == 0) {
                    if constexpr (kWrites) widenSixteen(block, out + count);
                    count += 16;
                    pos += 16;
                    continue;
                }
                if (high == 0xFFFF) {
                    bool found = true;
                    if constexpr (kWrites) {
                        // Written before they are known good; without `found` they are
                        // written over.
#pragma GCC unroll 8
                        for (std::size_t i = 0; i < 8; ++i) {
                            const char16_t unit =
                                table.units[PairTable::index(bytes + pos + 2 * i)];
                            out[count + i] = unit;
                            found &= unit != u'\0';
                        }
                    } else if (!withinBytes(block, completeFrom, completeTo)) {
                        for (std::size_t i = 0; i < 8; ++i) {
                            found &= table.units[PairTable::index(bytes + pos + 2 * i)] != u'\0';
                        }
                    }
                    if (found) {
                        count += 8;
                        pos += 16;
                        continue;
                    }
                }
                if ((high & 1) == 0) {
                    // All sixteen are widened; the units past the run are written over next.
                    const auto run = static_cast<std::size_t>(std::countr_zero(high));
                    if constexpr (kWrites) widenSixteen(block, out + count);
                    count += run;
                    pos += run;
                    continue;
                }
                // Bytes with the high bit set, taken in pairs, are two-byte characters when the
                // table has them.
                const auto pairs = static_cast<std::size_t>(std::countr_zero(~high)) / 2;
                std::size_t found = 0;
                for (; found < pairs; ++found) {
                    const char16_t unit = table.units[PairTable::index(bytes + pos + 2 * found)];
                    if (unit == u'\0') break;
                    if constexpr (kWrites) out[count + found] = unit;
                }
                count += found;
                pos += 2 * found;
                if (found > 0) continue;
            }
#endif
            if (bytes[pos] < 0x80) {
                if constexpr (kWrites) out[count] = bytes[pos];
                ++count;
                ++pos;
                continue;
            }
            if (length - pos < 2) break;
            const char16_t unit = table.units[PairTable::index(bytes + pos)];
            if (unit == u'\0') break;
            if constexpr (kWrites) out[count] = unit;
            ++count;
            pos += 2;
        }
        sink.skip(count);
        if (pos == length) break;
        // Anything else, one character at a time: iconv's four-byte characters, bytes that
        // begin none, and the last characters when the output is nearly full.
        const std::size_t read = decodeGb18030Character(decoder, input + pos, length - pos, sink);
        if (read == 0) return false;
        pos += read;
    }
    return true;
}

bool decodeGb18030(const char* input, std::size_t length, Sink<char16_t>& sink) {
    const PairTable* table = pairTable();
    if (table == nullptr) return false;
    return sink.counting() ? decodeGb18030<false>(*table, input, length, sink)
                           : decodeGb18030<true>(*table, input, length, sink);
}

bool decodeUtf8(const char* input, std::size_t length, Sink<char16_t>& sink) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(input);
    // A character that starts in the block may end three bytes past it.
    char16_t units[kChunk + 3];
    std::size_t pos = 0;
    while (pos < length) {
        const std::size_t stop = std::min(length, pos + kChunk);
        std::size_t count = 0;
        while (pos < stop) {
            const unsigned char lead = bytes[pos++];
            if (lead < 0x80) {
                units[count++] = lead;
                continue;
            }
            // The ranges that keep out overlong forms, surrogates and code points past U+10FFFF.
            int trailing = 0;
            unsigned char lower = 0x80;
            unsigned char upper = 0xBF;
            char32_t codePoint = 0;
            if (lead >= 0xC2 && lead <= 0xDF) {
                trailing = 1;
                codePoint = lead & 0x1F;
            } else if (lead >= 0xE0 && lead <= 0xEF) {
                trailing = 2;
                codePoint = lead & 0x0F;
                if (lead == 0xE0) lower = 0xA0;
                if (lead == 0xED) upper = 0x9F;
            } else if (lead >= 0xF0 && lead <= 0xF4) {
                trailing = 3;
                codePoint = lead & 0x07;
                if (lead == 0xF0) lower = 0x90;
                if (lead == 0xF4) upper = 0x8F;
            } else {
                codePoint = kReplacement;
            }
            for (; trailing > 0; --trailing) {
                // A byte that cannot continue the sequence ends it and is read again on its own.
                if (pos == length || bytes[pos] < lower || bytes[pos] > upper) {
                    codePoint = kReplacement;
                    break;
                }
                codePoint = (codePoint << 6) | (bytes[pos++] & 0x3F);
                lower = 0x80;
                upper = 0xBF;
            }
            count += writeUtf16(codePoint, units + count);
        }
        if (!sink.take(units, count)) return false;
    }
    return true;
}

bool encodeGb18030(const char16_t* input, std::size_t length, const char* defaultChar,
                   bool& usedDefaultChar, Sink<char>& sink) {
    Converter& encoder = gb18030Encoder();
    if (!encoder.valid()) return false;
    const std::size_t defaultLength = std::strlen(defaultChar);
    char bytes[4 * kChunk];
    wchar_t codePoints[kChunk];
    std::size_t pos = 0;
    while (pos < length) {
        // Surrogates are paired here, so iconv sees only code points and fails only on those
        // GB18030 cannot hold.
        std::size_t count = 0;
        while (pos < length && count < kChunk) {
            codePoints[count++] = static_cast<wchar_t>(nextCodePoint(input, length, pos));
        }
        const char* in = reinterpret_cast<const char*>(codePoints);
        std::size_t inBytes = count * sizeof(wchar_t);
        while (inBytes > 0) {
            char* converted = bytes;
            std::size_t room = sizeof bytes;
            const bool done = encoder.convert(in, inBytes, converted, room);
            const int error = errno;
            if (!sink.take(bytes, static_cast<std::size_t>(converted - bytes))) return false;
            if (done || error == E2BIG) continue;
            if (!sink.take(defaultChar, defaultLength)) return false;
            usedDefaultChar = true;
            in += sizeof(wchar_t);
            inBytes -= sizeof(wchar_t);
        }
    }
    return true;
}

// The number of bytes of the UTF-8 form of input[0, length).
std::size_t utf8Length(const char16_t* input, std::size_t length) {
    std::size_t bytes = 0;
    std::size_t pos = 0;
#if defined(__SSE2__)
    // Eight units at a time while none is a surrogate: each takes one byte, one more from U+0080
    // and one more from U+0800. The per-lane sums are added up before they can overflow.
    const __m128i zero = _mm_setzero_si128();
    const __m128i from80 = _mm_set1_epi16(static_cast<short>(0xFF80));
    const __m128i from800 = _mm_set1_epi16(static_cast<short>(0xF800));
    const __m128i surrogate = _mm_set1_epi16(static_cast<short>(0xD800));
    while (length - pos >= 8) {
        __m128i extra = zero;
        std::size_t blocks = 0;
        for (; blocks < 0x4000 && length - pos >= 8; ++blocks, pos += 8) {
            const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(input + pos));
            const __m128i high = _mm_and_si128(units, from800);
            if (_mm_movemask_epi8(_mm_cmpeq_epi16(high, surrogate)) != 0) break;
            // Lanes are -1 where the comparison holds; subtracting them counts.
            extra = _mm_sub_epi16(extra, _mm_cmpeq_epi16(_mm_and_si128(units, from80), zero));
            extra = _mm_sub_epi16(extra, _mm_cmpeq_epi16(high, zero));
        }
        // `extra` counted the units below U+0080 and below U+0800; each of the others adds one.
        alignas(16) std::uint16_t lanes[8];
        _mm_store_si128(reinterpret_cast<__m128i*>(lanes), extra);
        std::size_t below = 0;
        for (const std::uint16_t lane : lanes) below += lane;
        bytes += 8 * blocks + (16 * blocks - below);
        if (blocks == 0x4000) continue;
        if (length - pos < 8) break;
        // A surrogate among the next eight units: those go one character at a time.
        for (const std::size_t stop = pos + 8; pos < stop;) {
            char spare[4];
            bytes += writeUtf8(nextCodePoint(input, length, pos), spare);
        }
    }
#endif
    while (pos < length) {
        char spare[4];
        bytes += writeUtf8(nextCodePoint(input, length, pos), spare);
    }
    return bytes;
}

#if defined(__SSE2__)
// Two bits for each of the eight units, set when it is from U+0800 and not a surrogate: three
// bytes in UTF-8.
[[gnu::always_inline]] inline unsigned threeByteUtf8(__m128i units) {
    const __m128i top = _mm_and_si128(units, _mm_set1_epi16(static_cast<short>(0xF800)));
    const __m128i other =
        _mm_or_si128(_mm_cmpeq_epi16(top, _mm_setzero_si128()),
                     _mm_cmpeq_epi16(top, _mm_set1_epi16(static_cast<short>(0xD800))));
    return ~static_cast<unsigned>(_mm_movemask_epi8(other)) & 0xFFFF;
}

// In each 64-bit lane of two 32-bit values of three bytes each, moves the upper one's bytes down
// next to the lower one's: six bytes, then zeros.
[[gnu::always_inline]] inline __m128i packThreeByteValues(__m128i values) {
    const __m128i lower = _mm_and_si128(values, _mm_set1_epi64x(0xFFFFFF));
    const __m128i upper = _mm_and_si128(_mm_srli_epi64(values, 8), _mm_set1_epi64x(0xFFFFFF000000));
    return _mm_or_si128(lower, upper);
}

// Stores the 32-bit values, three bytes each, as twelve bytes at `out`; writes four bytes more,
// which the next store or the caller overwrites.
[[gnu::always_inline]] inline void storeThreeByteValues(__m128i values, char* out) {
    const __m128i packed = packThreeByteValues(values);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), packed);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 6), _mm_unpackhi_epi64(packed, packed));
}

// Writes the eight units, right for those below U+0080, as eight bytes at `out`.
[[gnu::always_inline]] inline void storeAsciiUtf8(__m128i units, char* out) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(units, units));
}

// Writes each of the eight units as three bytes of UTF-8, right for those threeByteUtf8() marks,
// at `out`, and up to two bytes more, which the caller overwrites.
[[gnu::always_inline]] inline void storeThreeByteUtf8(__m128i units, char* out) {
    const __m128i mask3F = _mm_set1_epi16(0x3F);
    const __m128i lead = _mm_or_si128(_mm_srli_epi16(units, 12), _mm_set1_epi16(0xE0));
    const __m128i middle =
        _mm_or_si128(_mm_and_si128(_mm_srli_epi16(units, 6), mask3F), _mm_set1_epi16(0x80));
    const __m128i last = _mm_or_si128(_mm_and_si128(units, mask3F), _mm_set1_epi16(0x80));
    const __m128i firstTwo = _mm_or_si128(lead, _mm_slli_epi16(middle, 8));
    storeThreeByteValues(_mm_unpacklo_epi16(firstTwo, last), out);
    storeThreeByteValues(_mm_unpackhi_epi16(firstTwo, last), out + 12);
}
#endif

bool encodeUtf8(const char16_t* input, std::size_t length, Sink<char>& sink) {
    if (sink.counting()) {
        const std::size_t bytes = utf8Length(input, length);
        if (!sink.fits(bytes)) return false;
        sink.skip(bytes);
        return true;
    }
    std::size_t pos = 0;
    while (pos < length) {
        // While there is room for the longest step, the loop writes unchecked; its position and
        // output stay in registers.
        char* out = sink.next();
        const std::size_t room = sink.room();
        std::size_t count = 0;
        while (pos < length && room - count >= 32) {
            const char16_t unit = input[pos];
#if defined(__SSE2__)
            // Eight units at a time. A block all of ASCII or all of units that take three
            // bytes, as Han characters do, takes a fixed step, so the next load can start before
            // this block's bits are known; in a block that mixes kinds, the run that begins it
            // goes in one step. All eight are stored each time; bytes past the run are written
            // over next.
            if (length - pos >= 8) {
                const __m128i units =
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(input + pos));
                const __m128i above7F =
                    _mm_and_si128(units, _mm_set1_epi16(static_cast<short>(0xFF80)));
                // Two bits a unit.
                const unsigned ascii = static_cast<unsigned>(
                    _mm_movemask_epi8(_mm_cmpeq_epi16(above7F, _mm_setzero_si128())));
                if (ascii == 0xFFFF) {
                    storeAsciiUtf8(units, out + count);
                    count += 8;
                    pos += 8;
                    continue;
                }
                const unsigned threeBytes = threeByteUtf8(units);
                if (threeBytes == 0xFFFF) {
                    storeThreeByteUtf8(units, out + count);
                    count += 24;
                    pos += 8;
                    continue;
                }
                if (ascii & 1) {
                    const auto run = static_cast<std::size_t>(std::countr_zero(~ascii)) / 2;
                    storeAsciiUtf8(units, out + count);
                    count += run;
                    pos += run;
                    continue;
                }
                if (threeBytes & 1) {
                    const auto run = static_cast<std::size_t>(std::countr_zero(~threeBytes)) / 2;
                    storeThreeByteUtf8(units, out + count);
                    count += 3 * run;
                    pos += run;
                    continue;
                }
            }
#endif
            if (unit < 0x80) {
                out[count++] = static_cast<char>(unit);
                ++pos;
            } else if (unit < 0x800) {
                out[count] = static_cast<char>(0xC0 | (unit >> 6));
                out[count + 1] = static_cast<char>(0x80 | (unit & 0x3F));
                count += 2;
                ++pos;
            } else if (unit < 0xD800 || unit > 0xDFFF) {
                out[count] = static_cast<char>(0xE0 | (unit >> 12));
                out[count + 1] = static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
                out[count + 2] = static_cast<char>(0x80 | (unit & 0x3F));
                count += 3;
                ++pos;
            } else {
                count += writeUtf8(nextCodePoint(input, length, pos), out + count);
            }
        }
        sink.skip(count);
        if (pos == length) break;
        // The last bytes of a full buffer, one character at a time.
        char bytes[4];
        if (!sink.take(bytes, writeUtf8(nextCodePoint(input, length, pos), bytes))) return false;
    }
    return true;
}

}  // namespace

int MultiByteToWideChar(unsigned codePage, std::uint32_t flags, const char* input, int inputLength,
                        char16_t* output, int outputUnits) {
    const Charset charset = charsetOf(codePage);
    if (charset == Charset::Unsupported || flags != 0 || input == nullptr || inputLength == 0 ||
        inputLength < -1 || outputUnits < 0 || (outputUnits > 0 && output == nullptr)) {
        return 0;
    }
    const std::size_t length =
        inputLength == -1 ? std::strlen(input) + 1 : static_cast<std::size_t>(inputLength);
    Sink<char16_t> sink(output, outputUnits);
    const bool converted = charset == Charset::Gb18030 ? decodeGb18030(input, length, sink)
                                                       : decodeUtf8(input, length, sink);
    return converted ? sink.size() : 0;
}

int WideCharToMultiByte(unsigned codePage, std::uint32_t flags, const char16_t* input,
                        int inputLength, char* output, int outputBytes, const char* defaultChar,
                        bool* usedDefaultChar) {
    if (usedDefaultChar != nullptr) *usedDefaultChar = false;
    const Charset charset = charsetOf(codePage);
    if (charset == Charset::Unsupported || flags != 0 || input == nullptr || inputLength == 0 ||
        inputLength < -1 || outputBytes < 0 || (outputBytes > 0 && output == nullptr)) {
        return 0;
    }
    // -1 converts the terminator too, and nothing after it.
    const std::size_t length = inputLength == -1 ? std::char_traits<char16_t>::length(input) + 1
                                                 : static_cast<std::size_t>(inputLength);
    Sink<char> sink(output, outputBytes);
    bool used = false;
    const bool converted =
        charset == Charset::Gb18030
            ? encodeGb18030(input, length, defaultChar != nullptr ? defaultChar : "?", used, sink)
            : encodeUtf8(input, length, sink);
    if (!converted) return 0;
    if (usedDefaultChar != nullptr) *usedDefaultChar = used;
    return sink.size();
}
