// Names the classes of a memory snapshot from their records and the snapshot's metadata:
//
//   plain class            "Namespace.Outer+Inner" (as MetaDataNameResolver names type definitions)
//   generic instantiation  "System.Collections.Generic.Dictionary<System.String,System.Int32>"
//   array                  the element's name and "[]" ("[,]" for rank 2, and so on);
//                          nested arrays repeat: "System.Int32[][]"
//
// Fallbacks, never raising: "[no class]" for position -1, "[class position N]" for a position that
// is no record, "[undescribed class]" for a record the runtime could not describe (no metadata
// index, no token), "[incomplete class]" (or the definition's name followed by " [incomplete]")
// for a record the snapshot caught before its parent and arguments were filled in, and "..."
// where a class refers back to itself through its type arguments or element chain.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Controller/ClassTable.h"
#include "Controller/MetaDataNameResolver.h"

namespace Controller {

class ClassNamer {
public:
    // Both must outlive the namer.
    ClassNamer(const ClassTable& classes, const MetaDataNameResolver& names);

    std::string Name(int64_t position) const;

private:
    std::string Name(int64_t position, std::vector<int64_t>& active) const;
    std::string Definition(const ClassRecord& record, std::vector<int64_t>& active) const;
    std::string Incomplete(const ClassRecord& record) const;

    const ClassTable& m_Classes;
    const MetaDataNameResolver& m_Names;
};

}  // namespace Controller
