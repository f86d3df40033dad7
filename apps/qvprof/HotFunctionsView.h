// The functions that took the most time: by own time (in the function itself) and by total time
// (with what it called; a recursive function's time counted once), with call counts, over all
// threads or per thread.
#pragma once

#include "IReportView.h"

namespace Qvprof {

class HotFunctionsView final : public IReportView {
public:
    std::string Name() const override { return "hot"; }
    std::string Description() const override {
        return "hottest functions by own and by total time, with calls";
    }
    bool AppliesTo(const SnapshotContents& contents) const override {
        return contents.Profile().has_value();
    }
    std::string Write(const SnapshotContents& contents,
                      const ReportOptions& options) const override;
};

}  // namespace Qvprof
