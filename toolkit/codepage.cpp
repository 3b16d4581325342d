// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

#include "toolkit/codepage.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>

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
        if (count > m_capacity - m_size) return false;
        if (m_output != nullptr) std::memcpy(m_output + m_size, units, count * sizeof(Unit));
        m_size += count;
        return true;
    }
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

bool decodeGb18030(const char* input, std::size_t length, Sink<char16_t>& sink) {
    Converter& decoder = gb18030Decoder();
    if (!decoder.valid()) return false;
    wchar_t codePoints[kChunk];
    char16_t units[2 * kChunk + 1];
    while (length > 0) {
        // Between characters an ASCII byte stands for itself; read here, it costs iconv nothing.
        // Eight at a time while all eight are ASCII, which the compiler widens in one go.
        const std::size_t limit = std::min(length, kChunk);
        std::size_t count = 0;
        for (std::uint64_t word; count + 8 <= limit; count += 8) {
            std::memcpy(&word, input + count, 8);
            if ((word & 0x8080808080808080u) != 0) break;
            for (std::size_t i = 0; i < 8; ++i) {
                units[count + i] = static_cast<unsigned char>(input[count + i]);
            }
        }
        while (count < limit && static_cast<unsigned char>(input[count]) < 0x80) {
            units[count] = static_cast<char16_t>(input[count]);
            ++count;
        }
        if (count > 0) {
            if (!sink.take(units, count)) return false;
            input += count;
            length -= count;
            continue;
        }
        char* converted = reinterpret_cast<char*>(codePoints);
        std::size_t room = sizeof codePoints;
        const bool done = decoder.convert(input, length, converted, room);
        const int error = errno;
        const auto* end = reinterpret_cast<const wchar_t*>(converted);
        for (const wchar_t* c = codePoints; c != end; ++c) {
            count += writeUtf16(static_cast<char32_t>(*c), units + count);
        }
        if (!done && error != E2BIG) {
            // EILSEQ or EINVAL: this byte begins no character, so it alone is replaced.
            const bool euro = static_cast<unsigned char>(*input) == 0x80;
            units[count++] = static_cast<char16_t>(euro ? kEuro : kReplacement);
            ++input;
            --length;
        }
        if (!sink.take(units, count)) return false;
    }
    return true;
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

// `length` kTerminated reads up to and including the first NUL unit, which spares a separate
// pass to find it.
constexpr std::size_t kTerminated = SIZE_MAX;

bool encodeGb18030(const char16_t* input, std::size_t length, const char* defaultChar,
                   bool& usedDefaultChar, Sink<char>& sink) {
    Converter& encoder = gb18030Encoder();
    if (!encoder.valid()) return false;
    const std::size_t defaultLength = std::strlen(defaultChar);
    char bytes[4 * kChunk];
    wchar_t codePoints[kChunk];
    std::size_t pos = 0;
    bool ended = false;
    while (!ended && pos < length) {
        // Surrogates are paired here, so iconv sees only code points and fails only on those
        // GB18030 cannot hold.
        std::size_t count = 0;
        while (!ended && pos < length && count < kChunk) {
            const char32_t codePoint = nextCodePoint(input, length, pos);
            codePoints[count++] = static_cast<wchar_t>(codePoint);
            ended = codePoint == 0 && length == kTerminated;
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

bool encodeUtf8(const char16_t* input, std::size_t length, Sink<char>& sink) {
    // At most three bytes a unit; a pair that starts in the block may end one unit past it.
    char bytes[3 * kChunk + 4];
    std::size_t pos = 0;
    bool ended = false;
    while (!ended && pos < length) {
        const std::size_t stop = length - pos > kChunk ? pos + kChunk : length;
        std::size_t count = 0;
        while (pos < stop) {
            const char16_t unit = input[pos];
            if (unit < 0x80) {
                bytes[count++] = static_cast<char>(unit);
                ++pos;
                if (unit == 0 && length == kTerminated) {
                    ended = true;
                    break;
                }
            } else if (unit < 0x800) {
                bytes[count] = static_cast<char>(0xC0 | (unit >> 6));
                bytes[count + 1] = static_cast<char>(0x80 | (unit & 0x3F));
                count += 2;
                ++pos;
            } else if (unit < 0xD800 || unit > 0xDFFF) {
                bytes[count] = static_cast<char>(0xE0 | (unit >> 12));
                bytes[count + 1] = static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
                bytes[count + 2] = static_cast<char>(0x80 | (unit & 0x3F));
                count += 3;
                ++pos;
            } else {
                count += writeUtf8(nextCodePoint(input, length, pos), bytes + count);
            }
        }
        if (!sink.take(bytes, count)) return false;
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
    const std::size_t length =
        inputLength == -1 ? kTerminated : static_cast<std::size_t>(inputLength);
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
