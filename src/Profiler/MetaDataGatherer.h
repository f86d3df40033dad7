// Hands out metadata indexes: one small number per distinct module MVID, from 1, stable for the
// gatherer's life. When a snapshot is written it puts the metadata blob of every module it knows
// into one section (type 0x100), so the controller can name tokens offline. Blobs of modules that
// unload before a snapshot are saved at unload into a temporary file and copied into every later
// snapshot.
//
// Index 0 means the module has no metadata (no file, or no managed image); 0xFFFFFFFF inside a
// module record means not yet determined.
#pragma once

#include <array>
#include <atomic>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "Bridge/FileBridgeStream.h"
#include "Platform/Cor/CorProfiler.h"
#include "Platform/Types.h"
#include "Profiler/ModuleImageReader.h"
#include "Util/SpinLock.h"

class BaseProgressIndicator;
class ISnapShotStorage;
class IWriteBridgeStream;

class MetaDataGatherer {
public:
    MetaDataGatherer() = default;
    MetaDataGatherer(const MetaDataGatherer&) = delete;
    MetaDataGatherer& operator=(const MetaDataGatherer&) = delete;

    // Bytes needed to hold the last index handed out (1 while none is).
    virtual BYTE GetIndexByteCount();
    // The module's metadata index, determined (by reading its file) on first request. Raises
    // "Inconsistent module asking" for a module not loaded.
    virtual DWORD GetMetaDataIndex(ModuleID moduleId);
    virtual ~MetaDataGatherer();

    void Create();
    void Close();
    void LoadModule(ICorProfilerInfo* pInfo, ModuleID moduleId);
    void UnloadModule(ModuleID moduleId);
    void Write(BaseProgressIndicator* pProgress, ISnapShotStorage* pSnapshot);

    // A module's file, open for reading, with where its metadata blob lies and the MVID.
    struct MappedModule {
        FileBridgeStream file;
        MetaDataLocation location;
        GUID mvid = GUID_NULL;
    };
    // Opens the module's file into `mapped`, which must hold no open file, and finds its metadata
    // and MVID without reading the rest of the blob. False (nothing left open) for a module
    // without file or managed image.
    bool Map(ICorProfilerInfo* pInfo, ModuleID moduleId, MappedModule& mapped);

private:
    static constexpr DWORD UndeterminedIndex = 0xFFFFFFFF;

    struct ModuleRecord {
        ICorProfilerInfo* pInfo;  // not counted: the runtime outlives its modules' records
        DWORD index;
    };
    using Mvid = std::array<BYTE, sizeof(GUID)>;

    static Mvid KeyOf(const GUID& mvid);
    // The index of an MVID, handed out on its first sight.
    DWORD AssignIndex(const GUID& mvid);
    // The index handed out for an MVID, or 0 when it has none.
    DWORD FindIndex(const GUID& mvid);
    // Saves the module's record into `pOutput` unless its index is 0 or already in `written`;
    // may determine the record's index on the way. The blob goes from the module's file to the
    // output in pieces.
    void WriteMetaData(std::set<DWORD>& written, IWriteBridgeStream* pOutput, ModuleID moduleId,
                       ModuleRecord& record);
    // Stores a freshly determined index, unless the module is gone or was determined meanwhile.
    void StoreIndex(ModuleID moduleId, DWORD index);
    FileBridgeStream& File();

    // Guards m_Modules. Taken by runtime threads (load, unload, index queries) and the snapshot
    // writer; never held while a file is read or another lock is taken.
    SpinLock m_ModuleLock;
    std::map<ModuleID, ModuleRecord> m_Modules;
    // Guards m_pFile and m_Written. Taken by unloading runtime threads (from before the module
    // leaves the map until its record is saved) and by Write for its whole run; the module lock
    // and the index lock may be taken inside it, never the other way round.
    SpinLock m_FileLock;
    std::unique_ptr<FileBridgeStream> m_pFile;  // scratch: deleted when dropped
    std::set<DWORD> m_Written;                  // indexes whose record is in m_pFile

    // Guards m_MvidIndexes and writes of m_LastIndex, so that one MVID never gets two indexes.
    // Taken alone, by whoever determines an index; no file is read under it.
    SpinLock m_IndexLock;
    std::map<Mvid, DWORD> m_MvidIndexes;
    std::atomic<DWORD> m_LastIndex{0};  // read without the lock by GetIndexByteCount
};
