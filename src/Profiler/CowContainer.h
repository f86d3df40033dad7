// A container published through one pointer and replaced whole on every change (copy-on-write),
// so that readers never lock or allocate: a reader pins the current version with an atomic reader
// count; a writer builds a changed copy, swaps it in with a compare-and-swap and destroys the old
// version once no reader holds it. Writers never block readers; a writer waits for readers only
// after its change is published, in 10 ms steps. Published versions are never changed.
#pragma once

#include <atomic>
#include <memory>
#include <utility>

#include "Platform/Types.h"
#include "Util/HostSleep.h"

template <class T>
class CowContainer {
    struct Version {
        std::atomic<LONG> m_Readers{0};
        T m_Items;
    };

public:
    // Holds one version pinned for its own lifetime: the items stay valid and unchanged meanwhile.
    class Pin {
    public:
        explicit Pin(const CowContainer& owner) noexcept : m_pVersion(owner.PinCurrent()) {}
        // Once the count drops, a writer that replaced the version may destroy it.
        ~Pin() { m_pVersion->m_Readers.fetch_sub(1); }

        Pin(const Pin&) = delete;
        Pin& operator=(const Pin&) = delete;

        const T& Items() const noexcept { return m_pVersion->m_Items; }

    private:
        friend class CowContainer;
        Version* m_pVersion;
    };

    CowContainer() : m_pCurrent(new Version) {}
    // Only when no reader or writer is left.
    ~CowContainer() { delete m_pCurrent.load(); }

    CowContainer(const CowContainer&) = delete;
    CowContainer& operator=(const CowContainer&) = delete;

    // Publishes a copy of the current items changed by `change(T& copy)`, which returns false to
    // publish nothing. After a lost race the change runs again on a fresh copy, so it must not
    // keep anything from an earlier run. Returns whether a change was published.
    template <class Change>
    bool Update(Change&& change) {
        std::unique_ptr<Version> pOld = Replace([&](const T& current) {
            auto pNew = std::make_unique<Version>();
            pNew->m_Items = current;
            if (!change(pNew->m_Items)) {
                pNew.reset();
            }
            return pNew;
        });
        return pOld != nullptr;
    }

    // Publishes an empty container and hands back what the replaced one held.
    T Take() {
        std::unique_ptr<Version> pOld =
            Replace([](const T&) { return std::make_unique<Version>(); });
        return std::move(pOld->m_Items);
    }

private:
    Version* PinCurrent() const noexcept {
        // While m_Pinning is above zero a writer keeps every replaced version alive: a reader
        // between reading the pointer and counting itself is not yet visible in the version.
        m_Pinning.fetch_add(1);
        Version* pVersion;
        for (;;) {
            pVersion = m_pCurrent.load();
            pVersion->m_Readers.fetch_add(1);
            // Still current after counting: any later writer sees our count before destroying it.
            if (m_pCurrent.load() == pVersion) {
                break;
            }
            pVersion->m_Readers.fetch_sub(1);
        }
        m_Pinning.fetch_sub(1);
        return pVersion;
    }

    // Swaps in the version that `make(current items)` builds (null: nothing to do), retrying from
    // the newest version after a lost race. Returns the replaced version once no reader holds it,
    // or null.
    template <class Make>
    std::unique_ptr<Version> Replace(Make&& make) {
        for (;;) {
            std::unique_ptr<Version> pNew;
            Version* pOld;
            bool swapped;
            {
                Pin pin(*this);
                pOld = pin.m_pVersion;
                pNew = make(pOld->m_Items);
                if (!pNew) {
                    return nullptr;
                }
                // Succeeds only if no other writer published since we pinned, so no change is lost;
                // the new version is complete before the swap publishes it.
                swapped = m_pCurrent.compare_exchange_strong(pOld, pNew.get());
            }
            if (swapped) {
                pNew.release();
                WaitUntilUnread(*pOld);
                return std::unique_ptr<Version>(pOld);
            }
        }
    }

    // pOld is no longer published. Readers that still hold it, or are about to count themselves
    // on it, are all visible in the two counts, which are read in this order.
    void WaitUntilUnread(const Version& old) const noexcept {
        while (m_Pinning.load() != 0 || old.m_Readers.load() != 0) {
            HostSleep(READER_WAIT_STEP_MS);
        }
    }

    static constexpr DWORD READER_WAIT_STEP_MS = 10;

    std::atomic<Version*> m_pCurrent;
    // Readers between reading m_pCurrent and counting themselves on what they read.
    mutable std::atomic<LONG> m_Pinning{0};
};
