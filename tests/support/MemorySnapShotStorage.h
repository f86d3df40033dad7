// A snapshot storage that keeps its sections in memory: each section is a memory stream while it
// is open and a (type, version, bytes) record once closed, in closing order. For section writers'
// tests, which compare the bytes with layouts built by hand.
#pragma once

#include <memory>
#include <vector>

#include "Bridge/ISnapShotStorage.h"
#include "Bridge/MemoryBridgeStream.h"
#include "Platform/Types.h"

class MemorySnapShotStorage : public ISnapShotStorage {
public:
    struct Section {
        WORD type;
        WORD version;
        std::vector<BYTE> content;
    };

    void Create(IBridgeControl*, DWORD, DWORD, const GUID&, DWORD) override {}
    IWriteSeekBridgeStream* CreateSection() override;
    // Closing a stream this storage did not hand out raises std::logic_error.
    void CloseSection(IWriteSeekBridgeStream* pSection, WORD type, WORD version) override;
    void Close() override {}
    // Drops the sections still open.
    void Abort() override { m_Open.clear(); }

    const std::vector<Section>& Closed() const { return m_Closed; }
    size_t OpenCount() const { return m_Open.size(); }

private:
    std::vector<std::unique_ptr<MemoryBridgeStream>> m_Open;
    std::vector<Section> m_Closed;
};
