// The head of every report: the file, the snapshot's identity and state, the process and machine
// from the environment record, the sections by type, and any section that could not be read.
#pragma once

#include "IReportView.h"

namespace Qvprof {

class OverviewView final : public IReportView {
public:
    std::string Name() const override { return "overview"; }
    std::string Description() const override {
        return "file, snapshot, process, runtime, machine and sections";
    }
    bool AppliesTo(const SnapshotContents&) const override { return true; }
    std::string Write(const SnapshotContents& contents,
                      const ReportOptions& options) const override;

    // "2026-12-07 01:47:22" for a file time; "unknown" for 0.
    static std::string FormatFileTime(uint64_t fileTime);

private:
    static std::string Identity(const SnapshotContents& contents);
    static std::string Environment(const Controller::EnvironmentRecord& record);
    static std::string Sections(const Controller::Snapshot& snapshot);
};

}  // namespace Qvprof
