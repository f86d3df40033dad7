// A thread record's call tree as text, for tests: one line per node but the root, its path of
// names from the root and what `figures` says of the node ("3/7/1 c=2 t=40"), sorted.
#pragma once

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "Profiler/Performance/CallNode.h"
#include "Profiler/Performance/ChildTable.h"

using CallNodeText = std::function<std::string(const CallNode&)>;

inline void AddCallTreePaths(const CallNode& node, const std::string& path,
                             const CallNodeText& name, const CallNodeText& figures,
                             std::vector<std::string>& lines) {
    auto visit = [&](const CallNode* pChild) {
        const std::string childPath = (path.empty() ? "" : path + "/") + name(*pChild);
        lines.push_back(childPath + (figures ? figures(*pChild) : ""));
        AddCallTreePaths(*pChild, childPath, name, figures, lines);
    };
    if (node.HasTable()) {
        const ChildTable& table = *node.GetTable();
        for (DWORD bucket = 0; bucket < table.GetBucketCount(); ++bucket) {
            for (const CallNode* p = table.GetBuckets()[bucket]; p != nullptr; p = p->m_pNext) {
                visit(p);
            }
        }
    } else {
        for (const CallNode* p = node.GetList(); p != nullptr; p = p->m_pNext) {
            visit(p);
        }
    }
}

inline std::vector<std::string> CallTreePaths(const CallNode& root, const CallNodeText& name,
                                              const CallNodeText& figures = nullptr) {
    std::vector<std::string> lines;
    AddCallTreePaths(root, "", name, figures, lines);
    std::sort(lines.begin(), lines.end());
    return lines;
}
