// The classes a snapshot recorded, by name as the snapshot's own metadata gives them
// ("System.Collections.Generic.Dictionary<System.String,Sample.Worker>", "System.Int32[]"), with
// the module that defines each.
#pragma once

#include "IReportView.h"

namespace Qvprof {

class ClassesView final : public IReportView {
public:
    std::string Name() const override { return "classes"; }
    std::string Description() const override { return "recorded classes by name and module"; }
    bool AppliesTo(const SnapshotContents& contents) const override {
        return contents.Classes().has_value();
    }
    std::string Write(const SnapshotContents& contents,
                      const ReportOptions& options) const override;
};

}  // namespace Qvprof
