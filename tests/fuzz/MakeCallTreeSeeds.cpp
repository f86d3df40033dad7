// Writes the seed corpus of calltree_fuzz from the trees the unit tests lay out by hand
// (tests/support/CallTreeBytes.h), in the fuzz target's input form. Usage:
//   calltree_seeds tests/fuzz/corpus/calltree
#include <cstdio>
#include <fstream>
#include <string>

#include "support/CallTreeBytes.h"

namespace {

void Write(const std::string& path, const CallTreeBytes& bytes) {
    Bytes input;
    for (const Bytes* pPart : {&bytes.tree, &bytes.aggregates, &bytes.functions, &bytes.singles}) {
        input = Concat({input, Le32(static_cast<uint32_t>(pPart->size()))});
    }
    input = Concat(
        {input, bytes.tree, bytes.aggregates, bytes.functions, bytes.singles, bytes.positions});
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(input.data()),
               static_cast<std::streamsize>(input.size()));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: calltree_seeds <corpus directory>\n");
        return 2;
    }
    const std::string dir = argv[1];
    constexpr uint32_t A = 0x06000001, B = 0x06000002;
    // The unit tests' hand-laid tree: one single-node and one two-node function.
    Write(dir + "/hand.bin",
          BuildCallTreeBytes(
              {0, 0, 100, 0, 0, {{1, A, 90, 1, 0, {{1, B, 30, 3, 0x01, {}}}}, {1, B, 5, 2, 0, {}}}},
              {1, 1, 1, 1, 1}, "w"));
    // Recursion, a suspension node and the widest fields.
    TreeNodeSpec root{0, 0, 0xFFFFFFFFFFFFFF, 0, 0x01, {}};
    TreeNodeSpec* pChain = &root;
    for (uint64_t depth = 0; depth < 6; ++depth) {
        pChain->children.push_back(
            {0x01020304, depth % 2 ? A : B, 0xFFFFFFFFFFFFFF - depth, 7, 0, {}});
        pChain = &pChain->children.back();
    }
    pChain->children.push_back({0, 0xFF000002, 3, 1, 0x02, {}});
    Write(dir + "/recursive.bin", BuildCallTreeBytes(root, {4, 8, 8, 7, 8}));
    // One function 1001 deep, calling itself: a full aggregate chunk and a last chunk.
    TreeNodeSpec deep{0, 0, 200, 0, 0, {}};
    TreeNodeSpec* pDeep = &deep;
    for (uint32_t depth = 0; depth < 1001; ++depth) {
        pDeep->children.push_back({1, B, 200, depth, 0, {}});
        pDeep = &pDeep->children.back();
    }
    Write(dir + "/chunks.bin", BuildCallTreeBytes(deep, {1, 2, 2, 1, 2}));
    return 0;
}
