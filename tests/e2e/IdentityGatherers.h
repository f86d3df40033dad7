// The profiler's identity gatherers (metadata, module paths, functions, classes) over one test
// runtime, as a profiler kind owns them, writing their sections into a file snapshot the way the
// profiler does; the controller's reader gives back what it read.
#pragma once

#include <functional>
#include <string>

#include "Bridge/FileSnapShotStorage.h"
#include "Controller/FileSnapshotReader.h"
#include "Controller/ProtocolConstants.h"
#include "Profiler/ClassGatherer.h"
#include "Profiler/FunctionGatherer.h"
#include "Profiler/MetaDataGatherer.h"
#include "Profiler/ModulePathGatherer.h"
#include "Util/Utf8.h"
#include "support/ProgressRecorder.h"
#include "support/TestRuntime.h"

struct IdentityGatherers {
    static constexpr GUID Sequence = {9, 8, 7, {6, 5, 4, 3, 2, 1, 0, 0}};

    explicit IdentityGatherers(TestRuntime& runtime)
        : runtime(runtime), paths(&metaData), functions(&metaData), classes(&metaData) {
        metaData.Create();
        paths.Create(&runtime);
        functions.Create(&runtime);
        classes.Create(&runtime);
    }
    ~IdentityGatherers() {
        classes.Close();
        functions.Close();
        paths.Close();
        metaData.Close();
    }
    void LoadModule(ModuleID module) {
        metaData.LoadModule(&runtime, module);
        paths.LoadModule(module);
    }
    // Snapshot 1 of Sequence: what `first` writes (the environment record), then the sections.
    Controller::Snapshot WriteAndRead(const std::function<void(ISnapShotStorage&)>& first = {}) {
        FileSnapShotStorage storage;
        storage.Create(nullptr, Controller::MemorySnapshotMagic, 0, Sequence, 1);
        if (first) {
            first(storage);
        }
        ProgressRecorder metaDataProgress, pathProgress, classProgress;
        metaData.Write(&metaDataProgress, &storage);
        paths.Write(&pathProgress, &storage);
        classes.Write(&classProgress, &storage);
        const std::string indexPath = ToUtf8(storage.GetIndexPath());
        storage.Close();
        Controller::Snapshot snapshot = Controller::FileSnapshotReader::Read(indexPath, 1 << 30);
        Controller::FileSnapshotReader::Remove(indexPath);
        return snapshot;
    }

    TestRuntime& runtime;
    MetaDataGatherer metaData;
    ModulePathGatherer paths;
    FunctionGatherer functions;
    ClassGatherer classes;
};
