// Throughput of the value encodings that snapshot writers use most: counters and strings, into an
// in-memory stream and into a file stream. Each encoding has a baseline in the same run: the same
// encoded bytes handed to the same kind of stream in one Write, i.e. the cost of moving the bytes
// without encoding them. The ratio encoding/baseline is the encoding's overhead.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Bridge/BridgeStreamHelpers.h"
#include "Bridge/FileBridgeStream.h"
#include "Bridge/MemoryBridgeStream.h"
#include "Platform/FileSystem.h"
#include "Platform/Process.h"

namespace {

// A deterministic generator, so every run encodes the same data.
class Lcg {
public:
    uint32_t Next() {
        m_State = m_State * 1664525u + 1013904223u;
        return m_State >> 8;
    }

private:
    uint32_t m_State = 12345;
};

// Mostly small values with a tail of large ones, as in call-tree sections.
std::vector<uint32_t> MakeCounters() {
    Lcg random;
    std::vector<uint32_t> values;
    for (int i = 0; i < 4096; ++i) {
        const uint32_t pick = random.Next() % 10;
        if (pick < 6) {
            values.push_back(random.Next() % 0x80);
        } else if (pick < 9) {
            values.push_back(0x80 + random.Next() % (0x4000 - 0x80));
        } else {
            values.push_back(0x4000 + random.Next() % (MaxCounterValue - 0x4000));
        }
    }
    return values;
}

// Short identifiers like type and method names, 4 to 40 characters.
std::vector<std::string> MakeNames() {
    static const char kAlphabet[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ._`0123456789";
    Lcg random;
    std::vector<std::string> names;
    for (int i = 0; i < 1024; ++i) {
        std::string name(4 + random.Next() % 37, ' ');
        for (char& c : name) {
            c = kAlphabet[random.Next() % (sizeof(kAlphabet) - 1)];
        }
        names.push_back(name);
    }
    return names;
}

std::vector<WString> Widen(const std::vector<std::string>& names, bool withNonAscii) {
    std::vector<WString> wide;
    for (size_t i = 0; i < names.size(); ++i) {
        WString text(names[i].begin(), names[i].end());
        if (withNonAscii) {
            text[0] = u'\u00E9';
            text[text.size() / 2] = u'\u20AC';
        }
        wide.push_back(text);
    }
    return wide;
}

struct Data {
    std::vector<uint32_t> counters = MakeCounters();
    std::vector<std::string> names = MakeNames();
    std::vector<WString> wideAscii = Widen(names, false);
    std::vector<WString> wideMixed = Widen(names, true);
};

const Data& GetData() {
    static const Data data;
    return data;
}

enum class Payload { Counters, Narrow, WideAscii, WideMixed };

void Encode(IWriteBridgeStream& stream, Payload payload) {
    const Data& data = GetData();
    switch (payload) {
        case Payload::Counters:
            for (const uint32_t value : data.counters) {
                WriteCounter(stream, value);
            }
            break;
        case Payload::Narrow:
            for (const std::string& name : data.names) {
                WriteString(stream, name);
            }
            break;
        case Payload::WideAscii:
            for (const WString& name : data.wideAscii) {
                WriteString(stream, name);
            }
            break;
        case Payload::WideMixed:
            for (const WString& name : data.wideMixed) {
                WriteString(stream, name);
            }
            break;
    }
}

const std::vector<BYTE>& EncodedBytes(Payload payload) {
    static std::vector<BYTE> encoded[4];
    std::vector<BYTE>& bytes = encoded[static_cast<int>(payload)];
    if (bytes.empty()) {
        MemoryBridgeStream stream;
        Encode(stream, payload);
        bytes = stream.GetContent();
    }
    return bytes;
}

// A file in the system's temporary directory that disappears with the stream (created, never
// closed). Rewinding each round keeps it at one batch's size.
std::unique_ptr<FileBridgeStream> MakeFileStream(const char* name) {
    auto pStream = std::make_unique<FileBridgeStream>();
    const std::string suffix =
        "/qv-encoding-bench-" + std::to_string(Platform::GetCurrentProcessId()) + "-" + name;
    pStream->Create(Platform::GetSystemTempDirectory() + WString(suffix.begin(), suffix.end()),
                    FileBridgeStream::AccessWrite);
    return pStream;
}

void Encoding_Memory(benchmark::State& state, Payload payload) {
    MemoryBridgeStream stream;
    for (auto _ : state) {
        stream.Clear();
        Encode(stream, payload);
        benchmark::DoNotOptimize(stream.GetData());
    }
    state.SetBytesProcessed(state.iterations() * EncodedBytes(payload).size());
}

void Baseline_Memory(benchmark::State& state, Payload payload) {
    const std::vector<BYTE>& bytes = EncodedBytes(payload);
    MemoryBridgeStream stream;
    for (auto _ : state) {
        stream.Clear();
        stream.Write(bytes.data(), bytes.size());
        benchmark::DoNotOptimize(stream.GetData());
    }
    state.SetBytesProcessed(state.iterations() * bytes.size());
}

void Encoding_File(benchmark::State& state, Payload payload) {
    auto pStream = MakeFileStream("encoding");
    for (auto _ : state) {
        pStream->Seek(ISeekBridgeStream::SeekBegin, 0);
        Encode(*pStream, payload);
    }
    state.SetBytesProcessed(state.iterations() * EncodedBytes(payload).size());
}

void Baseline_File(benchmark::State& state, Payload payload) {
    const std::vector<BYTE>& bytes = EncodedBytes(payload);
    auto pStream = MakeFileStream("baseline");
    for (auto _ : state) {
        pStream->Seek(ISeekBridgeStream::SeekBegin, 0);
        pStream->Write(bytes.data(), bytes.size());
    }
    state.SetBytesProcessed(state.iterations() * bytes.size());
}

}  // namespace

BENCHMARK_CAPTURE(Baseline_Memory, Counters, Payload::Counters);
BENCHMARK_CAPTURE(Encoding_Memory, Counters, Payload::Counters);
BENCHMARK_CAPTURE(Baseline_File, Counters, Payload::Counters);
BENCHMARK_CAPTURE(Encoding_File, Counters, Payload::Counters);

BENCHMARK_CAPTURE(Baseline_Memory, NarrowStrings, Payload::Narrow);
BENCHMARK_CAPTURE(Encoding_Memory, NarrowStrings, Payload::Narrow);
BENCHMARK_CAPTURE(Baseline_File, NarrowStrings, Payload::Narrow);
BENCHMARK_CAPTURE(Encoding_File, NarrowStrings, Payload::Narrow);

BENCHMARK_CAPTURE(Baseline_Memory, WideAsciiStrings, Payload::WideAscii);
BENCHMARK_CAPTURE(Encoding_Memory, WideAsciiStrings, Payload::WideAscii);
BENCHMARK_CAPTURE(Baseline_File, WideAsciiStrings, Payload::WideAscii);
BENCHMARK_CAPTURE(Encoding_File, WideAsciiStrings, Payload::WideAscii);

BENCHMARK_CAPTURE(Baseline_Memory, WideMixedStrings, Payload::WideMixed);
BENCHMARK_CAPTURE(Encoding_Memory, WideMixedStrings, Payload::WideMixed);
BENCHMARK_CAPTURE(Baseline_File, WideMixedStrings, Payload::WideMixed);
BENCHMARK_CAPTURE(Encoding_File, WideMixedStrings, Payload::WideMixed);

BENCHMARK_MAIN();
