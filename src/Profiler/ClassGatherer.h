// Turns runtime ClassIDs into class positions: the byte offset of the class's record in the class
// data file. The first time a ClassID is met its record is appended (metadata index, token, array
// rank, then the positions of its parent class, or element class for an array, and of its generic
// type arguments, collected recursively and patched in afterwards). A snapshot gets the data file
// as section 0x200 and the record count with the index file (one i64 position per record, in
// writing order) as section 0x201.
//
// Record layout, little-endian: metadata index u32, token u32, rank u32, parent position i64,
// type argument count u16, type argument positions n x i64 (22 + 8n bytes). While a record is
// being completed its parent, count and argument positions hold -1, 0xFFFF and -1 each.
#pragma once

#include <memory>
#include <unordered_map>
#include <vector>

#include "Bridge/FileBridgeStream.h"
#include "Platform/Cor/CorProfiler.h"
#include "Platform/Types.h"
#include "Util/ComRef.h"
#include "Util/SpinLock.h"

class BaseProgressIndicator;
class ISnapShotStorage;
class MetaDataGatherer;

class ClassGatherer {
public:
    // The position of no class: ClassID 0, and the parent of a class without one.
    static constexpr INT32 NoClassPosition = -1;
    // The token of arrays and of classes the runtime cannot describe.
    static constexpr mdTypeDef UndescribedToken = 0xFE000000;
    static constexpr WORD DataSectionType = 0x200;
    static constexpr WORD IndexSectionType = 0x201;

    // The metadata gatherer is not owned and must outlive this gatherer.
    explicit ClassGatherer(MetaDataGatherer* pMetaData);
    ClassGatherer(const ClassGatherer&) = delete;
    ClassGatherer& operator=(const ClassGatherer&) = delete;

    // The class's position, writing its record (and those of its parent and type arguments) the
    // first time the ClassID is met. ClassID 0 yields -1. Called from runtime threads at any time
    // between Create and Close; a known ClassID costs one map look-up and allocates nothing.
    virtual INT32 CollectClassId(ClassID classId);
    // Deletes both temporary files.
    virtual ~ClassGatherer();

    // Keeps the runtime's information interfaces (ICorProfilerInfo2 when offered) and creates the
    // two temporary files. Raises "Invalid profiler info interface" for a null interface.
    void Create(ICorProfilerInfo* pInfo);
    // Forgets the ClassID; its record stays, and a reused ClassID gets a record of its own.
    void UnloadClass(ClassID classId);
    // Releases the interfaces, forgets every ClassID and deletes both files. No other operation
    // may run meanwhile.
    void Close();
    // Writes sections 0x200 and 0x201. Holds the file lock throughout, so both sections show the
    // same records; collections that must write a record wait meanwhile. A record whose parent
    // and type arguments another thread is still collecting goes out with its placeholders.
    void Write(BaseProgressIndicator* pProgress, ISnapShotStorage* pSnapshot);

private:
    // What the runtime tells about one class.
    struct ClassDescription {
        ModuleID moduleId = 0;
        mdTypeDef token = 0;
        ULONG rank = 0;
        ClassID parent = 0;  // the element class for an array
        std::vector<ClassID> typeArgs;
    };

    ClassDescription Describe(ClassID classId);
    void DescribeArray(ClassID elementClass, ClassDescription& description);
    void DescribeClass2(ClassID classId, ClassDescription& description);
    void DescribeClass(ClassID classId, ClassDescription& description);

    // Under the file lock: appends the record with placeholders and enters the ClassID; returns
    // the record's position and sets `parentField` to the offset of its parent field. Returns
    // the position already entered, and sets `written` false, when another thread was first.
    INT32 AppendRecord(ClassID classId, const ClassDescription& description, DWORD metaDataIndex,
                       INT32& parentField, bool& written);
    // Collects the parent and type arguments and writes their positions into the record.
    void CompleteRecord(INT32 parentField, const ClassDescription& description);
    // Copies one temporary file into the section from its start and seeks it back to its end.
    static void CopyFile(BaseProgressIndicator& progress, FileBridgeStream& file,
                         IWriteSeekBridgeStream& section);

    MetaDataGatherer* const m_pMetaData;
    // Set by Create and released by Close, while no collection runs; read by collections.
    ComRef<ICorProfilerInfo> m_pInfo;
    ComRef<ICorProfilerInfo2> m_pInfo2;  // null when the runtime does not offer it

    // Guards m_ClassMap. Taken by every CollectClassId (runtime threads, the snapshot writer) for
    // one look-up or insertion, and by UnloadClass (class unload callback) and Close. Taken after
    // the file lock when both are held; nothing else is done while it is held.
    SpinLock m_MapLock;
    std::unordered_map<ClassID, INT32> m_ClassMap;

    // Guards both files (their contents and positions) and m_ClassCount. Taken by collections
    // that write or complete a record and by Write for its whole copy; never held while a runtime
    // call, a metadata index query or a nested collection runs. Between operations both files
    // stand at their end.
    SpinLock m_FileLock;
    DWORD m_ClassCount = 0;  // records written since Create
    std::unique_ptr<FileBridgeStream> m_pDataFile;
    std::unique_ptr<FileBridgeStream> m_pIndexFile;
};
