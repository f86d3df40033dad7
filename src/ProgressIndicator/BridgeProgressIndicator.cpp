#include "ProgressIndicator/BridgeProgressIndicator.h"

#include <stdexcept>

#include "Util/CatchAtEdge.h"

IBridgeControl* BridgeProgressIndicator::CheckControl(IBridgeControl* pControl) {
    if (pControl == nullptr) {
        throw std::runtime_error("Invalid bridge");
    }
    return pControl;
}

BridgeProgressIndicator::BridgeProgressIndicator(IBridgeControl* pControl, DWORD operation)
    : BaseProgressIndicator(Scale), m_pControl(CheckControl(pControl)) {
    m_pControl->OperationStarted(operation);
}

BridgeProgressIndicator::~BridgeProgressIndicator() {
    LogEdgeFailure([this] { m_pControl->OperationFinished(); });
}

void BridgeProgressIndicator::OnProgress(DWORD delta, DWORD value) {
    m_pControl->OperationProgress(value, Scale);
}
