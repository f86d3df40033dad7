// The five call-tree sections of one thread, laid out by hand from the documented layout for a
// tree described node by node: records in post-order (a node's last child's subtree first), P
// entries and S records as records are written, A chunks of 1000 instances, then F records and
// A summaries each followed by the function's last chunk.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "support/Bytes.h"

struct TreeNodeSpec {
    uint32_t index = 0;
    uint32_t token = 0;
    uint64_t total = 0;
    uint32_t calls = 0;
    uint8_t flags = 0;  // 0x01, 0x02; 0x80 is added where a node of the same function lies below
    std::vector<TreeNodeSpec> children;
};

struct CallTreeWidths {
    uint8_t index = 1, offset = 2, position = 2, time = 4, aggregate = 2;
};

struct CallTreeBytes {
    Bytes tree, aggregates, functions, singles, positions;
    std::vector<uint64_t> offsets;  // each record's offset, in record order (the root last)
    uint64_t headerSize = 0;
};

namespace CallTreeBytesDetail {

inline Bytes Le(uint64_t value, int width) {
    Bytes bytes;
    for (int i = 0; i < width; ++i) {
        bytes.push_back(static_cast<BYTE>(value >> (8 * i)));
    }
    return bytes;
}

inline void Append(Bytes& to, const Bytes& part) {
    to.insert(to.end(), part.begin(), part.end());
}

inline Bytes Pos(int64_t value, int width) {
    return Le(static_cast<uint64_t>(value), width);  // -1 gives all 0xFF
}

struct Flat {
    const TreeNodeSpec* pSpec;
    int64_t parent = -1;
    std::vector<size_t> children;  // in the order the layout gives them
    size_t first = 0;              // the first record of the subtree
};

inline size_t Flatten(const TreeNodeSpec& spec, std::vector<Flat>& out) {
    std::vector<size_t> children(spec.children.size());
    for (size_t i = spec.children.size(); i-- > 0;) {
        children[i] = Flatten(spec.children[i], out);
    }
    Flat flat{&spec, -1, children, children.empty() ? out.size() : out[children.back()].first};
    for (size_t child : children) {
        out[child].parent = static_cast<int64_t>(out.size());
    }
    out.push_back(flat);
    return out.size() - 1;
}

}  // namespace CallTreeBytesDetail

inline CallTreeBytes BuildCallTreeBytes(const TreeNodeSpec& rootSpec, CallTreeWidths w = {},
                                        const std::string& name = "main",
                                        uint32_t recordNumber = 1) {
    using namespace CallTreeBytesDetail;
    std::vector<Flat> flat;
    Flatten(rootSpec, flat);
    const size_t root = flat.size() - 1;
    auto key = [&](size_t i) {
        return i == root ? 0xFFFFFFFFull
                         : uint64_t{flat[i].pSpec->index} << 32 | flat[i].pSpec->token;
    };
    std::map<uint64_t, std::vector<size_t>> nodesOf;
    for (size_t i = 0; i < root; ++i) {
        nodesOf[key(i)].push_back(i);
    }
    CallTreeBytes out;
    out.headerSize = 4 + 4 + 1 + name.size() + 1 + 5 + w.offset;
    const size_t fixed = w.index + 4 + 2 * w.offset + 2 * w.position + 2 * w.time + 4 + 1 + 2;
    uint64_t at = out.headerSize;
    for (const Flat& node : flat) {
        out.offsets.push_back(at);
        at += fixed + node.children.size() * (w.index + 4 + w.offset);
    }
    out.tree = Concat({Le32(recordNumber), Le32(1), Bytes{static_cast<BYTE>(name.size())},
                       Ascii(name), Bytes{0, w.index, w.offset, 0, w.position, w.time},
                       Pos(out.offsets[root], w.offset)});
    out.aggregates = {w.index, w.aggregate, w.offset, w.time};
    struct Aggregate {
        std::vector<Bytes> buffer;
        int64_t lastChunk = -1;
        uint64_t low = ~0ull, high = 0;
    };
    std::map<uint64_t, Aggregate> aggregates;
    auto chunk = [&](Aggregate& a) {
        const int64_t position = static_cast<int64_t>(out.aggregates.size());
        Bytes bytes = Concat({Pos(a.lastChunk, w.aggregate), Pos(a.low, w.offset),
                              Pos(a.high, w.offset), Le16(static_cast<uint16_t>(a.buffer.size()))});
        for (size_t i = a.buffer.size(); i-- > 0;) {
            Append(bytes, a.buffer[i]);
        }
        Append(out.aggregates, bytes);
        a = Aggregate{{}, position};
    };
    std::vector<uint64_t> own(flat.size());
    uint32_t singles = 0;
    for (size_t i = 0; i < flat.size(); ++i) {
        const TreeNodeSpec& spec = *flat[i].pSpec;
        uint64_t sum = 0;
        for (size_t child : flat[i].children) {
            sum += flat[child].pSpec->total;
        }
        own[i] = sum > spec.total ? 0 : spec.total - sum;
        bool recursive = false;
        for (size_t below = flat[i].first; below < i; ++below) {
            recursive = recursive || (i != root && key(below) == key(i));
        }
        const bool isRoot = i == root;
        Bytes record =
            Concat({Le(isRoot ? 0 : spec.index, w.index), Le32(isRoot ? 0xFFFFFFFF : spec.token),
                    Pos(flat[i].parent < 0 ? -1 : static_cast<int64_t>(out.offsets[flat[i].parent]),
                        w.offset),
                    Pos(out.offsets[flat[i].first], w.offset),
                    Pos(isRoot ? -1 : static_cast<int64_t>(i * w.index), w.position),
                    Pos(isRoot ? -1 : static_cast<int64_t>(flat[i].first * w.index), w.position),
                    Le(own[i], w.time), Le(spec.total, w.time), Le32(spec.calls),
                    Bytes{static_cast<BYTE>(spec.flags | (recursive ? 0x80 : 0))},
                    Le16(static_cast<uint16_t>(flat[i].children.size()))});
        for (size_t child : flat[i].children) {
            record = Concat({record, Le(flat[child].pSpec->index, w.index),
                             Le32(flat[child].pSpec->token), Pos(out.offsets[child], w.offset)});
        }
        Append(out.tree, record);
        if (isRoot) {
            continue;
        }
        Append(out.positions, Le(spec.index, w.index));
        const std::vector<size_t>& same = nodesOf[key(i)];
        if (same.size() == 1) {
            Append(out.singles, Concat({Le(spec.index, w.index), Le32(spec.token),
                                        Pos(out.offsets[i], w.offset)}));
            ++singles;
            continue;
        }
        Aggregate& a = aggregates[key(i)];
        if (a.buffer.size() == 1000) {
            chunk(a);
        }
        const size_t parent = static_cast<size_t>(flat[i].parent);
        a.buffer.push_back(Concat({Pos(out.offsets[i], w.offset),
                                   Le(parent == root ? 0 : flat[parent].pSpec->index, w.index),
                                   Le32(parent == root ? 0xFFFFFFFF : flat[parent].pSpec->token),
                                   Pos(out.offsets[parent], w.offset), Le(spec.total, w.time),
                                   Le(own[i], w.time), Le32(spec.calls)}));
        a.low = std::min(a.low, out.offsets[i]);
        a.high = std::max(a.high, out.offsets[i]);
    }
    out.singles = Concat({Bytes{w.index, w.offset}, Le32(singles), out.singles});
    out.functions =
        Concat({Bytes{w.index, w.aggregate}, Le32(static_cast<uint32_t>(aggregates.size()))});
    for (auto& [k, a] : aggregates) {
        uint64_t ownSum = 0, totalSum = 0, calls = 0, low = ~0ull, high = 0;
        bool recursive = false;
        for (size_t i : nodesOf[k]) {
            ownSum += own[i];
            totalSum += flat[i].pSpec->total;
            calls += flat[i].pSpec->calls;
            low = std::min(low, out.offsets[i]);
            high = std::max(high, out.offsets[i]);
            recursive = recursive || out.tree[out.offsets[i] + fixed - 3] & 0x80;
        }
        const uint64_t position = out.aggregates.size();
        Append(out.functions, Concat({Le(k >> 32, w.index), Le32(static_cast<uint32_t>(k)),
                                      Pos(position, w.aggregate)}));
        const size_t summary = w.time + 16 + 2 * w.offset + 1 + 4 + w.aggregate;
        Append(out.aggregates,
               Concat({Le(ownSum, w.time), Le64(totalSum), Le64(calls), Pos(low, w.offset),
                       Pos(high, w.offset), Bytes{recursive ? BYTE{0} : BYTE{1}},
                       Le32(static_cast<uint32_t>(nodesOf[k].size())),
                       Pos(position + summary, w.aggregate)}));
        chunk(a);
    }
    return out;
}
