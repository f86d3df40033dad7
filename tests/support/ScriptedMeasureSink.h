// A performance kind's measure event sink reduced to its bridge traffic: Start answers Started,
// StopDrop answers Stopped, and StopSave streams a small snapshot over the bridge (a header with a
// count patched in through a tell and seeks, metadata, module paths and two class records, each
// section laid out as the controller reads it, under a write-snapshot operation) before it
// answers Stopped. What a call raises is logged and swallowed, as a kind's
// command handlers do, so that the command thread keeps running.
//
// The recorded session that seeds the bridge fuzzer runs this script, and so does the fuzzer:
// replies in the seeds then match the requests the fuzzer's profiler side makes.
#pragma once

#include <atomic>

#include "Bridge/BaseBridge.h"
#include "Bridge/IMeasureBridgeEvent.h"
#include "Bridge/ISnapShotStorage.h"
#include "Platform/Types.h"

class ScriptedMeasureSink : public IMeasureBridgeEvent {
public:
    // The section types and versions the script writes.
    static constexpr WORD HeaderSectionType = 0x1000;
    static constexpr WORD MetaDataSectionType = 0x100;
    static constexpr WORD ModulePathSectionType = 0x110;
    static constexpr WORD ClassDataSectionType = 0x200;
    static constexpr WORD ClassIndexSectionType = 0x201;
    // Where the class data section puts its second record, a generic instantiation of the first.
    static constexpr int64_t GenericClassPosition = 22;
    // The module path the module path section names for metadata index 1.
    static constexpr const char* ModulePath = "/app/Sample.dll";

    // The bridge supplies the control and the snapshot storage; set before commands are enabled.
    void SetBridge(BaseBridge* pBridge) { m_pBridge = pBridge; }

    bool NeedFlush() override { return false; }
    void Flush() override {}
    void BridgeStart() override;
    void BridgeStopDrop() override;
    void BridgeStopSave() override;

    // Snapshots the script closed; calls that are over, and those of them that raised.
    int SnapshotsClosed() const { return m_SnapshotsClosed.load(); }
    int CallsEnded() const { return m_CallsEnded.load(); }
    int CallsFailed() const { return m_CallsFailed.load(); }

protected:
    // Called on the command thread once a call is over, however it ended.
    virtual void CallEnded() {}

private:
    template <class Body>
    void Run(Body&& body);
    void WriteSnapshot(IBridgeControl* pControl);
    static void WriteHeaderSection(ISnapShotStorage& storage);
    static void WriteMetaDataSection(ISnapShotStorage& storage);
    static void WriteModulePathSection(ISnapShotStorage& storage);
    static void WriteClassSections(ISnapShotStorage& storage);

    BaseBridge* m_pBridge = nullptr;
    // Touched by the command thread only, read by anyone.
    std::atomic<int> m_SnapshotsClosed{0};
    std::atomic<int> m_CallsEnded{0};
    std::atomic<int> m_CallsFailed{0};
};
