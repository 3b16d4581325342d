// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

// EncodeKeyword beside what a Qt programmer would write for the same job, and beside a plain copy
// of the output, the floor. Every benchmark of one keyword reports the same bytes, the size of
// the encoded keyword, so their rates compare directly.

#include "query/encoder.h"

#include <QByteArray>

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Keyword {
    std::string name;
    Text text;        // code page 936
    QByteArray utf8;  // what the Qt peer starts from
    Text encoded;     // what every benchmark of this keyword produces
};

// Two-byte characters spread over the common range of code page 936.
Text hanText(std::size_t characters) {
    Text text;
    for (std::size_t i = 0; i < characters; ++i) {
        text += static_cast<char>(0xB0 + i % 0x28);
        text += static_cast<char>(0xA1 + (i * 7) % 0x5E);
    }
    return text;
}

Text asciiText(std::size_t characters) {
    static const char letters[] = "Talvimer2026abcdefghijklmnopqrstuvwxyz";
    Text text;
    for (std::size_t i = 0; i < characters; ++i) text += letters[i % (sizeof letters - 1)];
    return text;
}

// A trademark-like mix: Han characters, a Latin name, digits and spaces.
Text mixedText(std::size_t bytes) {
    static const Text piece = "\xBA\xE9\xBB\xC4\xD6\xAE\xC1\xA6 Brand-2026 \xC6\xBB\xB9\xFB ";
    Text text;
    while (text.size() + piece.size() <= bytes) text += piece;
    return text + asciiText(bytes - text.size());
}

Keyword makeKeyword(std::string name, Text text) {
    const Text utf8 = TextToUtf8(text);
    Keyword keyword{std::move(name),
                    std::move(text),
                    QByteArray(utf8.data(), static_cast<qsizetype>(utf8.size())),
                    {}};
    keyword.encoded = EncodeKeyword(keyword.text);
    return keyword;
}

// Every byte escaped: the peer escapes the unreserved characters only when told to.
const QByteArray kUnreserved =
    QByteArrayLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~");

QByteArray peerEncode(const QByteArray& utf8) {
    return utf8.toPercentEncoding({}, kUnreserved);
}

void setBytes(benchmark::State& state, const Keyword& keyword) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(keyword.encoded.size()));
    state.counters["keyword_bytes"] = static_cast<double>(keyword.text.size());
}

void encodeKeyword(benchmark::State& state, const Keyword* keyword) {
    for (auto _ : state) {
        Text encoded = EncodeKeyword(keyword->text);
        benchmark::DoNotOptimize(encoded.data());
    }
    setBytes(state, *keyword);
}

// The conversion alone, to show what of EncodeKeyword's time is spent before escaping.
void textToUtf8(benchmark::State& state, const Keyword* keyword) {
    for (auto _ : state) {
        Text utf8 = TextToUtf8(keyword->text);
        benchmark::DoNotOptimize(utf8.data());
    }
    setBytes(state, *keyword);
}

void qtToPercentEncoding(benchmark::State& state, const Keyword* keyword) {
    for (auto _ : state) {
        QByteArray encoded = peerEncode(keyword->utf8);
        benchmark::DoNotOptimize(encoded.data());
    }
    setBytes(state, *keyword);
}

void copyOutput(benchmark::State& state, const Keyword* keyword) {
    std::vector<char> output(keyword->encoded.size());
    for (auto _ : state) {
        std::memcpy(output.data(), keyword->encoded.data(), output.size());
        benchmark::DoNotOptimize(output.data());
        benchmark::ClobberMemory();
    }
    setBytes(state, *keyword);
}

}  // namespace

int main(int argc, char** argv) {
    constexpr std::size_t kKiB = 1024;
    constexpr std::size_t kMiB = 1024 * kKiB;
    static const std::vector<Keyword> keywords = {
        makeKeyword("han/8chars", hanText(8)),
        makeKeyword("han/4KiB", hanText(4 * kKiB / 2)),
        makeKeyword("han/1MiB", hanText(kMiB / 2)),
        makeKeyword("ascii/8chars", asciiText(8)),
        makeKeyword("ascii/4KiB", asciiText(4 * kKiB)),
        makeKeyword("ascii/1MiB", asciiText(kMiB)),
        makeKeyword("mixed/4KiB", mixedText(4 * kKiB)),
        makeKeyword("mixed/1MiB", mixedText(kMiB)),
    };
    // The peer must do the same job, or the comparison says nothing.
    for (const auto& keyword : keywords) {
        if (peerEncode(keyword.utf8).toStdString() != keyword.encoded) {
            std::fprintf(stderr, "the Qt peer's output differs for %s\n", keyword.name.c_str());
            return EXIT_FAILURE;
        }
    }
    for (const auto& keyword : keywords) {
        benchmark::RegisterBenchmark(("EncodeKeyword/" + keyword.name).c_str(), encodeKeyword,
                                     &keyword);
        benchmark::RegisterBenchmark(("QtToPercentEncoding/" + keyword.name).c_str(),
                                     qtToPercentEncoding, &keyword);
        benchmark::RegisterBenchmark(("Memcpy/" + keyword.name).c_str(), copyOutput, &keyword);
        benchmark::RegisterBenchmark(("TextToUtf8/" + keyword.name).c_str(), textToUtf8, &keyword);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return EXIT_FAILURE;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return EXIT_SUCCESS;
}
