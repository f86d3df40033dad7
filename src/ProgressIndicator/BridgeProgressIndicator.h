// The top indicator of an operation the controller watches: construction announces the operation,
// every increase of the value (out of 200) is sent as progress, destruction finishes it. Only one
// may exist at a time.
#pragma once

#include "Bridge/IBridgeControl.h"
#include "Platform/Types.h"
#include "ProgressIndicator/BaseProgressIndicator.h"

class BridgeProgressIndicator final : public BaseProgressIndicator {
public:
    static constexpr DWORD Scale = 200;

    // A null control raises "Invalid bridge".
    BridgeProgressIndicator(IBridgeControl* pControl, DWORD operation);
    // Failures to tell the controller are logged, not raised.
    ~BridgeProgressIndicator();

protected:
    void OnProgress(DWORD delta, DWORD value) override;

private:
    static IBridgeControl* CheckControl(IBridgeControl* pControl);

    IBridgeControl* const m_pControl;
};
