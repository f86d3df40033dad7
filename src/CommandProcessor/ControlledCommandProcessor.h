// A command processor with its control sub-object. TControl is IBridgeControl or an interface
// derived from it that adds the processor's own notifications (the measure processor's Started
// and Stopped, the memory processor's Done); slots 1 to 13 forward to the CommandProcessor
// operations here, and the derived processor implements only what TControl adds, usually through
// WriteStateMessage:
//
//   class MeasureCommandProcessor : public ControlledCommandProcessor<IMeasureBridgeControl> {
//       void Started() override { WriteStateMessage("MCP::Started", MessageStarted); }
//       ...
//   };
#pragma once

#include <type_traits>

#include "Bridge/IBridgeControl.h"
#include "CommandProcessor/CommandProcessor.h"

template <class TControl>
class ControlledCommandProcessor : public CommandProcessor, public TControl {
    static_assert(std::is_base_of_v<IBridgeControl, TControl>,
                  "the control interface must extend IBridgeControl");

public:
    IBridgeControl* GetControl() override { return static_cast<TControl*>(this); }

    void OperationStarted(DWORD operation) override {
        CommandProcessor::OperationStarted(operation);
    }
    void OperationProgress(DWORD value, DWORD total) override {
        CommandProcessor::OperationProgress(value, total);
    }
    void OperationFinished() override { CommandProcessor::OperationFinished(); }
    void SnapShotBridgeCreate(DWORD magic) override {
        CommandProcessor::SnapShotBridgeCreate(magic);
    }
    WORD SnapShotBridgeCreateSection() override {
        return CommandProcessor::SnapShotBridgeCreateSection();
    }
    void SnapShotBridgeCloseSection(WORD handle, WORD type, WORD version) override {
        CommandProcessor::SnapShotBridgeCloseSection(handle, type, version);
    }
    void SnapShotBridgeWrite(WORD handle, size_t count, const void* pData) override {
        CommandProcessor::SnapShotBridgeWrite(handle, count, pData);
    }
    int64_t SnapShotBridgeTell(WORD handle) override {
        return CommandProcessor::SnapShotBridgeTell(handle);
    }
    void SnapShotBridgeSeek(WORD handle, DWORD origin, int64_t offset) override {
        CommandProcessor::SnapShotBridgeSeek(handle, origin, offset);
    }
    void SnapShotBridgeAbort() override { CommandProcessor::SnapShotBridgeAbort(); }
    void SnapShotBridgeClose(DWORD snapshotIndex, const GUID& sequence,
                             DWORD sequenceNumber) override {
        CommandProcessor::SnapShotBridgeClose(snapshotIndex, sequence, sequenceNumber);
    }
    void SnapShotCoreDone(const WString& path, DWORD snapshotIndex, const GUID& sequence,
                          DWORD sequenceNumber) override {
        CommandProcessor::SnapShotCoreDone(path, snapshotIndex, sequence, sequenceNumber);
    }
    bool IsErrorReported() override { return CommandProcessor::IsErrorReported(); }

protected:
    using CommandProcessor::CommandProcessor;
};
