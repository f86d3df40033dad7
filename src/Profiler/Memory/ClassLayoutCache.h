// The reference fields of each class that a heap dump meets, from the runtime's class layout and
// the field signatures in the class's metadata: where in an object (or in an unboxed value) each
// reference field lies, and the position of the field record (section 0x3110) that names it. A
// class's layout is built once per collection, with its parent's reference fields first; its
// field records are written then and shared by every object of the class.
//
// Field records: i64 position of the inner field record (a field reached through a value
// embedded in the class) or -1, u32 metadata index of the declaring class's module, u32 field
// token.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "Platform/Cor/CorMetaData.h"
#include "Platform/Cor/CorProfiler.h"
#include "Platform/Types.h"
#include "Util/SpinLock.h"

class MetaDataGatherer;
class SectionWriter;

class ClassLayoutCache {
public:
    struct ReferenceField {
        ULONG offset;      // from the object id, or from the start of an unboxed value
        int64_t position;  // of its field record; -1 for an array's reference element
    };
    struct Layout {
        // The unboxed size of a value type; 0 for reference types and arrays.
        ULONG valueSize = 0;
        std::vector<ReferenceField> fields;
    };

    // The field writer and its lock belong to the heap writer; neither is owned.
    ClassLayoutCache(MetaDataGatherer* pMetaData, SectionWriter& fieldWriter, SpinLock& fieldLock)
        : m_pMetaData(pMetaData), m_FieldWriter(fieldWriter), m_FieldLock(fieldLock) {}
    ClassLayoutCache(const ClassLayoutCache&) = delete;
    ClassLayoutCache& operator=(const ClassLayoutCache&) = delete;

    // The runtime interface used to build layouts; not owned, null while there is none.
    void SetInfo(ICorProfilerInfo2* pInfo) { m_pInfo = pInfo; }
    // The class's layout, built on first request in this collection. The reference stays valid
    // until Clear.
    const Layout& Get(ClassID classId);
    // Forgets every layout: their field records belong to the collection's field section.
    void Clear();

private:
    Layout Build(ClassID classId);
    // The class's type definition name from its module's metadata; empty for an array.
    WString TypeName(ClassID classId);
    // Adds the reference fields one field of `classId` contributes, from its signature.
    void AddField(const std::vector<ClassID>& typeArgs, DWORD metaDataIndex,
                  const COR_FIELD_OFFSET& field, IMetaDataImport& metaData, Layout& layout);
    // What a generic parameter of the class stands for, in the terms of its field.
    void AddGenericField(ClassID argument, DWORD metaDataIndex, const COR_FIELD_OFFSET& field,
                         Layout& layout);
    int64_t AppendFieldRecord(int64_t inner, DWORD metaDataIndex, mdFieldDef token);

    MetaDataGatherer* const m_pMetaData;
    SectionWriter& m_FieldWriter;
    SpinLock& m_FieldLock;
    ICorProfilerInfo2* m_pInfo = nullptr;

    // Guards m_Layouts. Taken by the collecting thread for one look-up or insertion and by Clear;
    // never held while a layout is built (building asks the runtime and recurses).
    SpinLock m_LayoutLock;
    // Node-based: references handed out stay valid while other classes are added.
    std::unordered_map<ClassID, Layout> m_Layouts;
};
