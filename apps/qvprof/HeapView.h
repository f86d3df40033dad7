// What a memory snapshot's heap dumps hold: for each dump the live objects by class (count and
// bytes), the roots by kind, the functions that hold stack roots and the references between
// classes by field; and the collections the snapshot saw.
#pragma once

#include "IReportView.h"

namespace Qvprof {

class HeapView final : public IReportView {
public:
    std::string Name() const override { return "heap"; }
    std::string Description() const override {
        return "heap dumps: classes by bytes and count, roots by kind, references";
    }
    bool AppliesTo(const SnapshotContents& contents) const override {
        return contents.Heap().has_value();
    }
    std::string Write(const SnapshotContents& contents,
                      const ReportOptions& options) const override;
};

}  // namespace Qvprof
