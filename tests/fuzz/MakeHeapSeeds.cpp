// Writes the seed corpus of heap_fuzz from the snapshots the unit tests lay out by hand
// (tests/support/HeapSnapshotBytes.h), in the fuzz target's input form. Usage:
//   heap_seeds tests/fuzz/corpus/heap
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "HeapFuzzTypes.h"
#include "support/HeapSnapshotBytes.h"

namespace {

void Write(const std::string& path, const Controller::Snapshot& snapshot) {
    WireBytes::Bytes input{static_cast<BYTE>(snapshot.complete ? 1 : 0)};
    for (const Controller::SnapshotSection& section : snapshot.sections) {
        const auto* pType = std::find(std::begin(HeapFuzzTypes), std::end(HeapFuzzTypes),
                                      section.type);
        input.push_back(static_cast<BYTE>(pType - std::begin(HeapFuzzTypes)));
        input.push_back(static_cast<BYTE>(section.version));
        input.push_back(static_cast<BYTE>(section.bytes.size()));
        input.push_back(static_cast<BYTE>(section.bytes.size() >> 8));
        input.insert(input.end(), section.bytes.begin(), section.bytes.end());
    }
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(input.data()),
               static_cast<std::streamsize>(input.size()));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: heap_seeds <corpus directory>\n");
        return 2;
    }
    const std::string dir = argv[1];
    Write(dir + "/ids4.bin", HandMadeHeapSnapshot(4));
    Write(dir + "/ids8.bin", HandMadeHeapSnapshot(8));
    // A second collection that is no dump, and a snapshot caught before its last collection ended.
    Controller::Snapshot two = HandMadeHeapSnapshot(8);
    for (size_t i : {3, 4, 9}) {
        two.sections.push_back(two.sections[i]);
    }
    Write(dir + "/two.bin", two);
    two.sections.pop_back();
    two.complete = false;
    Write(dir + "/unfinished.bin", two);
    return 0;
}
