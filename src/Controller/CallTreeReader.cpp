#include "Controller/CallTreeReader.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <span>
#include <string>

#include "Controller/SectionTypes.h"
#include "Controller/WireText.h"

namespace Controller {

namespace {

constexpr uint64_t AggregateHeaderSize = 4;  // I, R, O, W
constexpr uint32_t SpecialTokenMask = 0xFF000000;

uint64_t Key(uint32_t metadataIndex, uint32_t token) {
    return uint64_t{metadataIndex} << 32 | token;
}

std::string Hex(uint64_t value, int digits) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%0*llX", digits, static_cast<unsigned long long>(value));
    return text;
}

std::string FunctionText(uint32_t metadataIndex, uint32_t token) {
    return "function " + std::to_string(metadataIndex) + ":" + Hex(token, 8);
}

std::string FunctionText(uint64_t key) {
    return FunctionText(static_cast<uint32_t>(key >> 32), static_cast<uint32_t>(key));
}

std::string Text(int64_t value) {
    return std::to_string(value);
}

// Fields of a tree record, in order.
enum Field {
    IndexField,
    TokenField,
    ParentField,
    SubtreeField,
    PositionField,
    SubtreePositionField,
    OwnField,
    TotalField,
    CallsField,
    FlagsField,
    ChildCountField,
    ChildrenField,
};

}  // namespace

CallTree CallTreeReader::Read(const CallTreeSections& sections) {
    CheckSection(sections.pTree, CallTreeSectionType, 0);
    CheckSection(sections.pAggregates, CallTreeAggregateSectionType, 1);
    CheckSection(sections.pFunctions, CallTreeFunctionSectionType, 0);
    CheckSection(sections.pSingles, CallTreeSingleSectionType, 0);
    CheckSection(sections.pPositions, CallTreePositionSectionType, 0);
    CallTreeReader reader(sections);
    reader.ReadTreeHeader();
    reader.ReadRecords();
    reader.CheckRoot();
    reader.LinkChildren();
    reader.CheckSubtrees();
    reader.CheckTimesAndFlags();
    reader.CheckPositions();
    reader.CheckSingles();
    reader.CheckAggregates();
    return CallTree(std::move(reader.m_Thread), std::move(reader.m_Nodes),
                    std::move(reader.m_ChildIndexes));
}

CallTreeReader::CallTreeReader(const CallTreeSections& sections)
    : m_Tree(sections.pTree->bytes, CallTreeSectionType),
      m_Aggregates(sections.pAggregates->bytes, CallTreeAggregateSectionType),
      m_FunctionIndex(sections.pFunctions->bytes, CallTreeFunctionSectionType),
      m_Singles(sections.pSingles->bytes, CallTreeSingleSectionType),
      m_Positions(sections.pPositions->bytes, CallTreePositionSectionType) {}

void CallTreeReader::CheckSection(const SnapshotSection* pSection, uint16_t type,
                                  uint16_t version) {
    std::string fault;
    if (pSection == nullptr || !pSection->closed) {
        fault = "missing, or never closed by the profiler";
    } else if (pSection->type != type) {
        fault = "given a section of type " + Hex(pSection->type, 4);
    } else if (pSection->version != version) {
        fault = "layout version " + std::to_string(pSection->version) + "; expected " +
                std::to_string(version);
    }
    if (!fault.empty()) {
        throw SectionCursor::Error("Section " + Hex(type, 4) + ": " + fault);
    }
}

void CallTreeReader::ReadTreeHeader() {
    m_Thread.recordNumber = m_Tree.ReadU32();
    m_Thread.activationCount = m_Tree.ReadU32();
    m_Thread.name = DecodeWireText(m_Tree.ReadString());
    m_Tree.ReadString();  // always empty so far
    m_IndexWidth = m_Tree.ReadWidth("index width", 1, 4);
    m_OffsetWidth = m_Tree.ReadWidth("offset width", 1, 8);
    const uint64_t reservedAt = m_Tree.GetPosition();
    if (m_Tree.ReadU8() != 0) {
        m_Tree.FailAt(reservedAt, "the byte after the offset width is not 0");
    }
    m_PositionWidth = m_Tree.ReadWidth("position width", 1, 8);
    m_TimeWidth = m_Tree.ReadWidth("time width", 1, 7);  // times have 56 bits
    m_RootOffsetAt = m_Tree.GetPosition();
    m_RootOffset = m_Tree.ReadPosition(m_OffsetWidth);
    if (m_RootOffset == SectionCursor::NoPosition) {
        m_Tree.FailAt(m_RootOffsetAt, "no root offset");
    }
}

void CallTreeReader::ReadRecords() {
    while (m_Tree.GetRemaining() > 0) {
        if (m_Nodes.size() >= CallTreeNode::NoParent) {
            m_Tree.Fail("more records than a tree can hold");
        }
        CallTreeNode node;
        RecordFields fields;
        node.offset = m_Tree.GetPosition();
        node.metadataIndex = static_cast<uint32_t>(m_Tree.ReadUnsigned(m_IndexWidth));
        node.token = m_Tree.ReadU32();
        fields.parent = m_Tree.ReadPosition(m_OffsetWidth);
        fields.subtreeBegin = m_Tree.ReadPosition(m_OffsetWidth);
        fields.position = m_Tree.ReadPosition(m_PositionWidth);
        fields.subtreePosition = m_Tree.ReadPosition(m_PositionWidth);
        node.ownTime = m_Tree.ReadUnsigned(m_TimeWidth);
        node.totalTime = m_Tree.ReadUnsigned(m_TimeWidth);
        node.calls = m_Tree.ReadU32();
        const uint64_t flagsAt = m_Tree.GetPosition();
        node.flags = m_Tree.ReadU8();
        if ((node.flags & ~CallTreeNode::KnownFlags) != 0) {
            m_Tree.FailAt(flagsAt, "unknown flags " + Hex(node.flags, 2));
        }
        node.childCount = m_Tree.ReadU16();
        node.firstChild = static_cast<uint32_t>(m_Entries.size());
        for (uint32_t i = 0; i < node.childCount; ++i) {
            ChildEntry entry;
            entry.at = m_Tree.GetPosition();
            entry.metadataIndex = static_cast<uint32_t>(m_Tree.ReadUnsigned(m_IndexWidth));
            entry.token = m_Tree.ReadU32();
            entry.offset = m_Tree.ReadPosition(m_OffsetWidth);
            m_Entries.push_back(entry);
        }
        m_Nodes.push_back(node);
        m_Fields.push_back(fields);
    }
    if (m_Nodes.empty()) {
        m_Tree.Fail("no records after the header");
    }
}

void CallTreeReader::CheckRoot() {
    const uint32_t root = static_cast<uint32_t>(m_Nodes.size() - 1);
    const CallTreeNode& node = m_Nodes[root];
    if (static_cast<uint64_t>(m_RootOffset) != node.offset) {
        m_Tree.FailAt(m_RootOffsetAt, "root offset " + Text(m_RootOffset) +
                                          " is not the last record, which starts at " +
                                          std::to_string(node.offset));
    }
    if (node.metadataIndex != 0 || node.token != CallTreeNode::RootToken) {
        m_Tree.FailAt(node.offset, "the root record names " +
                                       FunctionText(node.metadataIndex, node.token) +
                                       "; expected 0:0xFFFFFFFF");
    }
    const RecordFields& fields = m_Fields[root];
    const struct {
        int field;
        int64_t value;
        const char* what;
    } unset[] = {{ParentField, fields.parent, "parent offset"},
                 {PositionField, fields.position, "position in 0x1105"},
                 {SubtreePositionField, fields.subtreePosition, "subtree position in 0x1105"}};
    for (const auto& check : unset) {
        if (check.value != SectionCursor::NoPosition) {
            m_Tree.FailAt(FieldAt(root, check.field), std::string("the root has ") + check.what +
                                                          " " + Text(check.value) +
                                                          "; expected -1");
        }
    }
    if ((node.flags & (CallTreeNode::Special | CallTreeNode::Recursive)) != 0) {
        m_Tree.FailAt(FieldAt(root, FlagsField),
                      "the root has flags " + Hex(node.flags, 2) + "; only 0x01 may be set");
    }
}

uint32_t CallTreeReader::FindRecord(int64_t offset) const {
    const auto found = std::lower_bound(m_Nodes.begin(), m_Nodes.end(), offset,
                                        [](const CallTreeNode& node, int64_t value) {
                                            return node.offset < static_cast<uint64_t>(value);
                                        });
    if (offset < 0 || found == m_Nodes.end() || found->offset != static_cast<uint64_t>(offset)) {
        return CallTreeNode::NoParent;
    }
    return static_cast<uint32_t>(found - m_Nodes.begin());
}

uint64_t CallTreeReader::FieldAt(uint32_t node, int field) const {
    const uint64_t widths[] = {m_IndexWidth,
                               4,
                               m_OffsetWidth,
                               m_OffsetWidth,
                               m_PositionWidth,
                               m_PositionWidth,
                               m_TimeWidth,
                               m_TimeWidth,
                               4,
                               1,
                               2};
    uint64_t at = m_Nodes[node].offset;
    for (int i = 0; i < field; ++i) {
        at += widths[i];
    }
    return at;
}

void CallTreeReader::LinkChildren() {
    m_ChildIndexes.resize(m_Entries.size());
    std::vector<uint64_t> siblings;
    for (uint32_t parent = 0; parent < m_Nodes.size(); ++parent) {
        const CallTreeNode& node = m_Nodes[parent];
        siblings.clear();
        for (uint32_t e = node.firstChild; e < node.firstChild + node.childCount; ++e) {
            const ChildEntry& entry = m_Entries[e];
            const uint64_t offsetAt = entry.at + m_IndexWidth + 4;
            const uint32_t child = FindRecord(entry.offset);
            if (child == CallTreeNode::NoParent) {
                m_Tree.FailAt(offsetAt, "child offset " + Text(entry.offset) +
                                            " is not where a record starts");
            }
            if (child >= parent) {
                m_Tree.FailAt(offsetAt, "child record at " + Text(entry.offset) +
                                            " does not lie before its parent's record");
            }
            CallTreeNode& record = m_Nodes[child];
            if (record.parent != CallTreeNode::NoParent) {
                m_Tree.FailAt(offsetAt, "record at " + Text(entry.offset) +
                                            " is already the child of the record at " +
                                            std::to_string(m_Nodes[record.parent].offset));
            }
            if (record.metadataIndex != entry.metadataIndex || record.token != entry.token) {
                m_Tree.FailAt(entry.at, "child entry names " +
                                            FunctionText(entry.metadataIndex, entry.token) +
                                            " but the record at " + Text(entry.offset) + " holds " +
                                            FunctionText(record.metadataIndex, record.token));
            }
            if (m_Fields[child].parent != static_cast<int64_t>(node.offset)) {
                m_Tree.FailAt(FieldAt(child, ParentField),
                              "parent offset " + Text(m_Fields[child].parent) +
                                  ", but the record is a child of the record at " +
                                  std::to_string(node.offset));
            }
            record.parent = parent;
            m_ChildIndexes[e] = child;
            siblings.push_back(Key(entry.metadataIndex, entry.token));
        }
        std::sort(siblings.begin(), siblings.end());
        const auto twice = std::adjacent_find(siblings.begin(), siblings.end());
        if (twice != siblings.end()) {
            m_Tree.FailAt(node.offset, "two children of the record are " + FunctionText(*twice));
        }
    }
    for (uint32_t i = 0; i + 1 < m_Nodes.size(); ++i) {
        if (m_Nodes[i].parent == CallTreeNode::NoParent) {
            m_Tree.FailAt(m_Nodes[i].offset, "the record is no record's child");
        }
    }
}

void CallTreeReader::CheckSubtrees() {
    // Children lie before their parents, so one pass in record order sees every child first.
    for (uint32_t i = 0; i < m_Nodes.size(); ++i) {
        RecordFields& fields = m_Fields[i];
        fields.firstRecord = i;
        fields.nodeCount = 1;
        for (uint32_t child :
             std::span(m_ChildIndexes).subspan(m_Nodes[i].firstChild, m_Nodes[i].childCount)) {
            fields.firstRecord = std::min(fields.firstRecord, m_Fields[child].firstRecord);
            fields.nodeCount += m_Fields[child].nodeCount;
        }
        // Every record of the subtree lies in [firstRecord, i]: they fill it exactly when their
        // number is its length.
        if (i - fields.firstRecord + 1 != fields.nodeCount) {
            m_Tree.FailAt(m_Nodes[i].offset,
                          "the " + std::to_string(fields.nodeCount) +
                              " records of the node's subtree do not lie together before it");
        }
        const uint64_t begin = m_Nodes[fields.firstRecord].offset;
        if (fields.subtreeBegin != static_cast<int64_t>(begin)) {
            m_Tree.FailAt(FieldAt(i, SubtreeField),
                          "subtree offset " + Text(fields.subtreeBegin) +
                              ", but the subtree's first record starts at " +
                              std::to_string(begin));
        }
        if (i + 1 < m_Nodes.size()) {
            m_NodesByFunction[Key(m_Nodes[i].metadataIndex, m_Nodes[i].token)].push_back(i);
        }
    }
}

void CallTreeReader::CheckTimesAndFlags() {
    for (uint32_t i = 0; i < m_Nodes.size(); ++i) {
        const CallTreeNode& node = m_Nodes[i];
        // The children's totals, stopping once past the node's (a sum that could overflow).
        uint64_t children = 0;
        for (uint32_t child : std::span(m_ChildIndexes).subspan(node.firstChild, node.childCount)) {
            children += m_Nodes[child].totalTime;
            if (children > node.totalTime) {
                break;
            }
        }
        const uint64_t own = children > node.totalTime ? 0 : node.totalTime - children;
        if (node.ownTime != own) {
            m_Tree.FailAt(FieldAt(i, OwnField),
                          "own time " + std::to_string(node.ownTime) + "; the total " +
                              std::to_string(node.totalTime) + " less the children's gives " +
                              std::to_string(own));
        }
        if ((node.flags & CallTreeNode::Special) != 0 &&
            (node.metadataIndex != 0 || (node.token & SpecialTokenMask) != SpecialTokenMask)) {
            m_Tree.FailAt(FieldAt(i, FlagsField), "special flag on " +
                                                      FunctionText(node.metadataIndex, node.token) +
                                                      ", which is no runtime suspension");
        }
        if (i + 1 == m_Nodes.size()) {
            continue;
        }
        // Recursive: another node of the function lies in the subtree, whose records are
        // [firstRecord, i); the function's nodes are listed in record order.
        const std::vector<uint32_t>& same =
            m_NodesByFunction.at(Key(node.metadataIndex, node.token));
        const auto below = std::lower_bound(same.begin(), same.end(), m_Fields[i].firstRecord);
        const bool recursive = *below < i;
        if (recursive != ((node.flags & CallTreeNode::Recursive) != 0)) {
            m_Tree.FailAt(FieldAt(i, FlagsField),
                          std::string("recursive flag ") + (recursive ? "missing" : "set") +
                              ", but " + (recursive ? "a" : "no") + " node of " +
                              FunctionText(node.metadataIndex, node.token) + " lies below");
        }
    }
}

void CallTreeReader::CheckPositions() {
    const uint64_t entries = m_Nodes.size() - 1;
    if (m_Positions.GetSize() != entries * m_IndexWidth) {
        m_Positions.FailAt(0, "holds " + std::to_string(m_Positions.GetSize()) + " bytes; " +
                                  std::to_string(entries) + " entries of " +
                                  std::to_string(m_IndexWidth) + " bytes expected");
    }
    // Each non-root record adds its entry to P when it is written, so P follows T's order.
    for (uint32_t i = 0; i < entries; ++i) {
        const RecordFields& fields = m_Fields[i];
        const uint64_t position = uint64_t{i} * m_IndexWidth;
        const uint64_t subtree = uint64_t{fields.firstRecord} * m_IndexWidth;
        if (fields.position != static_cast<int64_t>(position)) {
            m_Tree.FailAt(FieldAt(i, PositionField), "position " + Text(fields.position) +
                                                         " in 0x1105; the record's entry is at " +
                                                         std::to_string(position));
        }
        if (fields.subtreePosition != static_cast<int64_t>(subtree)) {
            m_Tree.FailAt(FieldAt(i, SubtreePositionField),
                          "subtree position " + Text(fields.subtreePosition) +
                              " in 0x1105; the subtree's entries begin at " +
                              std::to_string(subtree));
        }
        m_Positions.Seek(position);
        const uint32_t index = static_cast<uint32_t>(m_Positions.ReadUnsigned(m_IndexWidth));
        if (index != m_Nodes[i].metadataIndex) {
            m_Positions.FailAt(position, "metadata index " + std::to_string(index) +
                                             ", but the record at " +
                                             std::to_string(m_Nodes[i].offset) + " has " +
                                             std::to_string(m_Nodes[i].metadataIndex));
        }
    }
}

void CallTreeReader::CheckSameWidth(SectionCursor& cursor, const char* what, uint8_t expected,
                                    uint8_t low, uint8_t high) {
    const uint64_t at = cursor.GetPosition();
    const uint8_t width = cursor.ReadWidth(what, low, high);
    if (width != expected) {
        cursor.FailAt(at, std::string(what) + " " + std::to_string(width) +
                              " differs from the tree's " + std::to_string(expected));
    }
}

void CallTreeReader::CheckSingles() {
    CheckSameWidth(m_Singles, "index width", m_IndexWidth, 1, 4);
    CheckSameWidth(m_Singles, "offset width", m_OffsetWidth, 1, 8);
    const uint32_t count = m_Singles.ReadU32();
    const uint64_t size = m_IndexWidth + 4u + m_OffsetWidth;
    if (m_Singles.GetRemaining() != count * size) {
        m_Singles.FailAt(2, "announces " + std::to_string(count) + " records of " +
                                std::to_string(size) + " bytes but holds " +
                                std::to_string(m_Singles.GetRemaining()) + " bytes of records");
    }
    std::unordered_set<uint64_t> listed;
    for (uint32_t i = 0; i < count; ++i) {
        const uint64_t at = m_Singles.GetPosition();
        const uint32_t metadataIndex = static_cast<uint32_t>(m_Singles.ReadUnsigned(m_IndexWidth));
        const uint32_t token = m_Singles.ReadU32();
        const int64_t offset = m_Singles.ReadPosition(m_OffsetWidth);
        const uint64_t key = Key(metadataIndex, token);
        const auto function = m_NodesByFunction.find(key);
        if (function == m_NodesByFunction.end() || function->second.size() != 1) {
            m_Singles.FailAt(at, FunctionText(key) + " has " +
                                     std::to_string(function == m_NodesByFunction.end()
                                                        ? 0
                                                        : function->second.size()) +
                                     " nodes; expected 1");
        }
        if (!listed.insert(key).second) {
            m_Singles.FailAt(at, FunctionText(key) + " is listed twice");
        }
        const uint32_t node = function->second.front();
        if (offset != static_cast<int64_t>(m_Nodes[node].offset)) {
            m_Singles.FailAt(at + m_IndexWidth + 4, "record offset " + Text(offset) +
                                                        "; the node of " + FunctionText(key) +
                                                        " is at " +
                                                        std::to_string(m_Nodes[node].offset));
        }
    }
    const size_t singles =
        std::count_if(m_NodesByFunction.begin(), m_NodesByFunction.end(),
                      [](const auto& entry) { return entry.second.size() == 1; });
    if (listed.size() != singles) {
        m_Singles.FailAt(2, "lists " + std::to_string(listed.size()) + " functions; the tree has " +
                                std::to_string(singles) + " with one node");
    }
}

void CallTreeReader::CheckAggregates() {
    CheckSameWidth(m_FunctionIndex, "index width", m_IndexWidth, 1, 4);
    m_AggregateWidth = m_FunctionIndex.ReadWidth("aggregate position width", 1, 8);
    CheckSameWidth(m_Aggregates, "index width", m_IndexWidth, 1, 4);
    CheckSameWidth(m_Aggregates, "aggregate position width", m_AggregateWidth, 1, 8);
    CheckSameWidth(m_Aggregates, "offset width", m_OffsetWidth, 1, 8);
    CheckSameWidth(m_Aggregates, "time width", m_TimeWidth, 1, 7);

    const uint32_t count = m_FunctionIndex.ReadU32();
    const uint64_t size = m_IndexWidth + 4u + m_AggregateWidth;
    if (m_FunctionIndex.GetRemaining() != count * size) {
        m_FunctionIndex.FailAt(2, "announces " + std::to_string(count) + " records of " +
                                      std::to_string(size) + " bytes but holds " +
                                      std::to_string(m_FunctionIndex.GetRemaining()) +
                                      " bytes of records");
    }
    m_InChunk.assign(m_Nodes.size(), false);
    std::unordered_set<uint64_t> listed;
    for (uint32_t i = 0; i < count; ++i) {
        const uint64_t at = m_FunctionIndex.GetPosition();
        const uint32_t metadataIndex =
            static_cast<uint32_t>(m_FunctionIndex.ReadUnsigned(m_IndexWidth));
        const uint32_t token = m_FunctionIndex.ReadU32();
        const uint64_t positionAt = m_FunctionIndex.GetPosition();
        const int64_t position = m_FunctionIndex.ReadPosition(m_AggregateWidth);
        const uint64_t key = Key(metadataIndex, token);
        const auto function = m_NodesByFunction.find(key);
        if (function == m_NodesByFunction.end() || function->second.size() < 2) {
            m_FunctionIndex.FailAt(at, FunctionText(key) + " has " +
                                           std::to_string(function == m_NodesByFunction.end()
                                                              ? 0
                                                              : function->second.size()) +
                                           " nodes; an aggregate needs at least 2");
        }
        if (!listed.insert(key).second) {
            m_FunctionIndex.FailAt(at, FunctionText(key) + " is listed twice");
        }
        if (position < static_cast<int64_t>(AggregateHeaderSize) ||
            static_cast<uint64_t>(position) >= m_Aggregates.GetSize()) {
            m_FunctionIndex.FailAt(positionAt, "aggregate position " + Text(position) +
                                                   " lies outside the records of 0x1101 (" +
                                                   std::to_string(m_Aggregates.GetSize()) +
                                                   " bytes)");
        }
        CheckAggregate(key, function->second, static_cast<uint64_t>(position));
    }
    const size_t aggregates =
        std::count_if(m_NodesByFunction.begin(), m_NodesByFunction.end(),
                      [](const auto& entry) { return entry.second.size() > 1; });
    if (listed.size() != aggregates) {
        m_FunctionIndex.FailAt(2, "lists " + std::to_string(listed.size()) +
                                      " functions; the tree has " + std::to_string(aggregates) +
                                      " with several nodes");
    }
    CheckAggregateCoverage();
}

void CallTreeReader::CheckAggregate(uint64_t key, const std::vector<uint32_t>& nodes,
                                    uint64_t position) {
    uint64_t own = 0, total = 0, calls = 0;
    bool recursive = false;
    for (uint32_t node : nodes) {
        own += m_Nodes[node].ownTime;
        total += m_Nodes[node].totalTime;
        calls += m_Nodes[node].calls;
        recursive = recursive || (m_Nodes[node].flags & CallTreeNode::Recursive) != 0;
    }
    // Nodes are in record order, so their offsets ascend.
    const uint64_t lowest = m_Nodes[nodes.front()].offset;
    const uint64_t highest = m_Nodes[nodes.back()].offset;

    SectionCursor& a = m_Aggregates;
    a.Seek(position);
    const uint64_t ownSum = a.ReadUnsigned(m_TimeWidth);
    const uint64_t totalSum = a.ReadU64();
    const uint64_t callSum = a.ReadU64();
    const int64_t low = a.ReadPosition(m_OffsetWidth);
    const int64_t high = a.ReadPosition(m_OffsetWidth);
    const uint64_t flagAt = a.GetPosition();
    const uint8_t notRecursive = a.ReadU8();
    const uint64_t countAt = a.GetPosition();
    const uint32_t count = a.ReadU32();
    const uint64_t nextAt = a.GetPosition();
    const int64_t next = a.ReadPosition(m_AggregateWidth);
    const std::string of = " of " + FunctionText(key);
    const struct {
        uint64_t read;
        uint64_t expected;
        const char* what;
    } sums[] = {{ownSum, own, "own time sum"},
                {totalSum, total, "total time sum"},
                {callSum, calls, "call count sum"},
                {static_cast<uint64_t>(low), lowest, "lowest record offset"},
                {static_cast<uint64_t>(high), highest, "highest record offset"}};
    uint64_t at = position;
    const uint64_t widths[] = {m_TimeWidth, 8, 8, m_OffsetWidth, m_OffsetWidth};
    for (size_t i = 0; i < std::size(sums); ++i) {
        if (sums[i].read != sums[i].expected) {
            a.FailAt(at, std::string(sums[i].what) + of + " is " + std::to_string(sums[i].read) +
                             "; its nodes give " + std::to_string(sums[i].expected));
        }
        at += widths[i];
    }
    if (notRecursive > 1 || (notRecursive == 1) == recursive) {
        a.FailAt(flagAt, "not-recursive flag" + of + " is " + std::to_string(notRecursive) +
                             "; its nodes give " + (recursive ? "0" : "1"));
    }
    if (count != nodes.size()) {
        a.FailAt(countAt, "instance count" + of + " is " + std::to_string(count) +
                              "; the tree has " + std::to_string(nodes.size()) + " nodes");
    }
    if (next != static_cast<int64_t>(a.GetPosition())) {
        a.FailAt(nextAt, "the chunk after the summary" + of + " is said to be at " + Text(next) +
                             "; the summary ends at " + std::to_string(a.GetPosition()));
    }
    m_AggregateRanges.push_back({position, a.GetPosition()});

    // The last chunk follows the summary; each chunk links back to the one written before it.
    uint64_t chunk = a.GetPosition();
    uint64_t instances = 0;
    for (bool last = true;; last = false) {
        const uint64_t linkAt = chunk;
        instances += CheckChunk(key, chunk, last);
        a.Seek(linkAt);
        const int64_t link = a.ReadPosition(m_AggregateWidth);
        if (link == SectionCursor::NoPosition) {
            break;
        }
        if (link < static_cast<int64_t>(AggregateHeaderSize) ||
            static_cast<uint64_t>(link) >= chunk) {
            a.FailAt(linkAt,
                     "chunk link " + Text(link) + of + " does not point back to an earlier chunk");
        }
        chunk = static_cast<uint64_t>(link);
    }
    if (instances != count) {
        a.FailAt(countAt, "the chunks" + of + " hold " + std::to_string(instances) +
                              " instances; the summary counts " + std::to_string(count));
    }
}

uint32_t CallTreeReader::CheckChunk(uint64_t key, uint64_t position, bool last) {
    SectionCursor& a = m_Aggregates;
    if (!m_ChunkStarts.insert(position).second) {
        a.FailAt(position, "a second link leads to the chunk");
    }
    a.Seek(position);
    a.ReadPosition(m_AggregateWidth);  // the link, followed by the caller
    const uint64_t boundsAt = a.GetPosition();
    const int64_t low = a.ReadPosition(m_OffsetWidth);
    const int64_t high = a.ReadPosition(m_OffsetWidth);
    const uint64_t countAt = a.GetPosition();
    const uint16_t count = a.ReadU16();
    if (count == 0 || count > ChunkInstances || (!last && count != ChunkInstances)) {
        a.FailAt(countAt, "chunk of " + FunctionText(key) + " holds " + std::to_string(count) +
                              " instances; " +
                              (last ? "the last chunk holds 1 to 1000" : "a full chunk 1000"));
    }
    uint64_t lowest = ~uint64_t{0}, highest = 0;
    for (uint16_t i = 0; i < count; ++i) {
        const uint64_t at = a.GetPosition();
        const int64_t offset = a.ReadPosition(m_OffsetWidth);
        const uint32_t callerIndex = static_cast<uint32_t>(a.ReadUnsigned(m_IndexWidth));
        const uint32_t callerToken = a.ReadU32();
        const int64_t callerOffset = a.ReadPosition(m_OffsetWidth);
        const uint64_t total = a.ReadUnsigned(m_TimeWidth);
        const uint64_t own = a.ReadUnsigned(m_TimeWidth);
        const uint32_t calls = a.ReadU32();
        const uint32_t node = FindRecord(offset);
        if (node == CallTreeNode::NoParent || node + 1 == m_Nodes.size() ||
            Key(m_Nodes[node].metadataIndex, m_Nodes[node].token) != key) {
            a.FailAt(at, "instance offset " + Text(offset) + " is no node of " + FunctionText(key));
        }
        if (m_InChunk[node]) {
            a.FailAt(at, "the node at " + Text(offset) + " is listed twice");
        }
        m_InChunk[node] = true;
        const CallTreeNode& record = m_Nodes[node];
        const CallTreeNode& caller = m_Nodes[record.parent];
        if (callerIndex != caller.metadataIndex || callerToken != caller.token ||
            callerOffset != static_cast<int64_t>(caller.offset)) {
            a.FailAt(at, "the caller of the node at " + Text(offset) + " is given as " +
                             FunctionText(callerIndex, callerToken) + " at " + Text(callerOffset) +
                             "; the tree has " + FunctionText(caller.metadataIndex, caller.token) +
                             " at " + std::to_string(caller.offset));
        }
        if (total != record.totalTime || own != record.ownTime || calls != record.calls) {
            a.FailAt(at, "the instance of the node at " + Text(offset) + " gives total " +
                             std::to_string(total) + ", own " + std::to_string(own) + ", calls " +
                             std::to_string(calls) + "; the node has " +
                             std::to_string(record.totalTime) + ", " +
                             std::to_string(record.ownTime) + ", " + std::to_string(record.calls));
        }
        lowest = std::min(lowest, record.offset);
        highest = std::max(highest, record.offset);
    }
    if (low != static_cast<int64_t>(lowest) || high != static_cast<int64_t>(highest)) {
        a.FailAt(boundsAt, "chunk bounds " + Text(low) + " to " + Text(high) +
                               "; its instances lie from " + std::to_string(lowest) + " to " +
                               std::to_string(highest));
    }
    m_AggregateRanges.push_back({position, a.GetPosition()});
    return count;
}

void CallTreeReader::CheckAggregateCoverage() {
    std::sort(m_AggregateRanges.begin(), m_AggregateRanges.end(),
              [](const Range& x, const Range& y) { return x.begin < y.begin; });
    uint64_t expected = AggregateHeaderSize;
    for (const Range& range : m_AggregateRanges) {
        if (range.begin < expected) {
            m_Aggregates.FailAt(range.begin, "a summary or chunk overlaps the one before it");
        }
        if (range.begin > expected) {
            m_Aggregates.FailAt(expected, "bytes up to " + std::to_string(range.begin) +
                                              " belong to no summary or chunk");
        }
        expected = range.end;
    }
    if (expected != m_Aggregates.GetSize()) {
        m_Aggregates.FailAt(expected, "bytes up to the end (" +
                                          std::to_string(m_Aggregates.GetSize()) +
                                          ") belong to no summary or chunk");
    }
}

}  // namespace Controller
