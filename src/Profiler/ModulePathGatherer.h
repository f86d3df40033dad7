// Records, per metadata index, the file paths under which modules with that metadata were loaded,
// and writes them as the module path section (type 0x110) of a snapshot, so that the controller
// can show a module by its file.
#pragma once

#include <map>
#include <set>

#include "Platform/Cor/CorProfiler.h"
#include "Platform/Types.h"
#include "Util/ComRef.h"
#include "Util/SpinLock.h"

class BaseProgressIndicator;
class ISnapShotStorage;
class MetaDataGatherer;

class ModulePathGatherer {
public:
    // `pMetaData` is not owned and must outlive the gatherer.
    explicit ModulePathGatherer(MetaDataGatherer* pMetaData);
    ModulePathGatherer(const ModulePathGatherer&) = delete;
    ModulePathGatherer& operator=(const ModulePathGatherer&) = delete;

    void Create(ICorProfilerInfo* pInfo);
    // Releases the runtime interface; the paths gathered so far stay.
    void Close();
    // Adds the module's path to its metadata index; modules without metadata or name add nothing.
    void LoadModule(ModuleID moduleId);
    void Write(BaseProgressIndicator* pProgress, ISnapShotStorage* pSnapshot);

private:
    using PathMap = std::map<DWORD, std::set<WString>>;

    MetaDataGatherer* m_pMetaData;
    ComRef<ICorProfilerInfo> m_pInfo;  // set by Create before any load, dropped by Close

    // Guards m_Paths. Taken by runtime threads in LoadModule and by the snapshot writer to copy
    // the map; held only for the update or the copy.
    SpinLock m_Lock;
    PathMap m_Paths;  // ordered by index; each set ordered by code unit, duplicates merged
};
