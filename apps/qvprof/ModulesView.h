// The modules a snapshot refers to, by metadata index: where each was loaded from, how many types
// and methods its metadata defines, and how many of its functions the call trees measured and of
// its classes the snapshot recorded.
#pragma once

#include "IReportView.h"

namespace Qvprof {

class ModulesView final : public IReportView {
public:
    std::string Name() const override { return "modules"; }
    std::string Description() const override {
        return "modules by path, with their types, methods, measured functions and recorded "
               "classes";
    }
    bool AppliesTo(const SnapshotContents& contents) const override {
        return !contents.Modules().empty();
    }
    std::string Write(const SnapshotContents& contents,
                      const ReportOptions& options) const override;
};

}  // namespace Qvprof
