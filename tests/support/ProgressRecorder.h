// A progress indicator that writes down every Begin, Step and End it is given ("Begin 6",
// "Step 1", "End") and still applies the base checks, so overstepping the total fails the test.
#pragma once

#include <string>
#include <vector>

#include "ProgressIndicator/BaseProgressIndicator.h"

class ProgressRecorder : public BaseProgressIndicator {
public:
    ProgressRecorder() : BaseProgressIndicator(1000000) {}

    void Begin(DWORD total) override {
        m_Calls.push_back("Begin " + std::to_string(total));
        BaseProgressIndicator::Begin(total);
    }
    void Step(DWORD count) override {
        m_Calls.push_back("Step " + std::to_string(count));
        BaseProgressIndicator::Step(count);
    }
    void End() override {
        m_Calls.push_back("End");
        BaseProgressIndicator::End();
    }

    std::vector<std::string> m_Calls;

protected:
    void OnProgress(DWORD, DWORD) override {}
};
