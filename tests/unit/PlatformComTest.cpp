// The platform layer's COM helpers (GUIDs, error texts, the information message), events and
// thread-local slots, and the ComRef smart pointer.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Platform/Com.h"
#include "Platform/Linux/EventObject.h"
#include "Platform/Sync.h"
#include "Util/ComRef.h"

using namespace Platform;

namespace {

std::string Narrow(const WString& text) {
    std::string out;
    for (WCHAR c : text) {
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return out;
}

// Waits (bounded) until `count` threads are inside WaitForEvent on the event.
bool WaitForWaiters(EventHandle event, unsigned count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        {
            std::lock_guard<std::mutex> guard(event->m_Lock);
            if (event->m_Waiters >= count) {
                return true;
            }
        }
        std::this_thread::yield();
    }
    return false;
}

}  // namespace

TEST(PlatformCom, GuidsAreRandomVersionFourAndTheirTextRoundTripsInMemoryLayout) {
    GUID first{};
    GUID second{};
    ASSERT_EQ(CoCreateGuid(&first), S_OK);
    ASSERT_EQ(CoCreateGuid(&second), S_OK);
    EXPECT_NE(first, second);
    for (const GUID& guid : {first, second}) {
        EXPECT_EQ(guid.Data3 >> 12, 4);
        EXPECT_EQ(guid.Data4[0] & 0xC0, 0x80);
        GUID back{};
        ASSERT_TRUE(GuidFromString(GuidToString(guid), &back));
        EXPECT_EQ(back, guid);
    }
    EXPECT_EQ(CoCreateGuid(nullptr), E_INVALIDARG);

    const std::string text = "{D37A1B78-6DC3-46FD-BC31-F7C4D5A11C9C}";
    GUID guid{};
    ASSERT_TRUE(GuidFromString(text, &guid));
    const uint8_t expectedBytes[16] = {0x78, 0x1B, 0x7A, 0xD3, 0xC3, 0x6D, 0xFD, 0x46,
                                       0xBC, 0x31, 0xF7, 0xC4, 0xD5, 0xA1, 0x1C, 0x9C};
    EXPECT_EQ(std::memcmp(&guid, expectedBytes, 16), 0);
    EXPECT_EQ(GuidToString(guid), text);
    GUID bare{};
    ASSERT_TRUE(GuidFromString("d37a1b78-6dc3-46fd-bc31-f7c4d5a11c9c", &bare));
    EXPECT_EQ(bare, guid);
    for (const char* bad :
         {"", "{}", "{D37A1B78-6DC3-46FD-BC31-F7C4D5A11C9C",
          "D37A1B78-6DC3-46FD-BC31-F7C4D5A11C9C}", "{D37A1B78-6DC3-46FD-BC31-F7C4D5A11C9CC}",
          "{D37A1B78+6DC3-46FD-BC31-F7C4D5A11C9C}", "{D37A1B78-6DC3-46FD-BC31-F7C4D5A11C9G}",
          "(D37A1B78-6DC3-46FD-BC31-F7C4D5A11C9C)", "D37A1B786DC346FDBC31F7C4D5A11C9C0000"}) {
        EXPECT_FALSE(GuidFromString(bad, &guid)) << bad;
    }
}

TEST(PlatformCom, ErrorTextsCoverTheCodesTheProgramMeetsAndFallBackToGenericOnes) {
    const uint32_t codes[] = {
        0x00000000, 0x80004005, 0x80004001, 0x80004002, 0x80004003, 0x80004004, 0x8000FFFF,
        0x8007000E, 0x80070057, 0x80070005, 0x80070006, 0x80040110, 0x80040111, 0x80000019,
        0x80070002, 0x80070003, 0x8007007A, 0x80131350, 0x80131351, 0x80131354, 0x80131355,
        0x80131356, 0x8013135B, 0x80131360, 0x80131361, 0x80131363, 0x80131371, 0x80131374,
        0x80131375, 0x80131388, 0x80131389};
    for (uint32_t code : codes) {
        WString text;
        ASSERT_TRUE(FormatSystemMessage(static_cast<HRESULT>(code), &text)) << std::hex << code;
        EXPECT_FALSE(text.empty());
        EXPECT_NE(text.back(), u'\n');
        EXPECT_NE(text.back(), u'\r');
    }
    // A wrapped OS error reads like the OS error itself.
    WString wrapped;
    WString plain;
    ASSERT_TRUE(FormatSystemMessage(static_cast<HRESULT>(0x80070002), &wrapped));
    ASSERT_TRUE(FormatSystemMessage(2, &plain));
    EXPECT_EQ(wrapped, plain);
    WString none;
    EXPECT_FALSE(FormatSystemMessage(0x12345678, &none));
    EXPECT_FALSE(FormatSystemMessage(static_cast<HRESULT>(0x80131352), &none));

    const std::pair<uint32_t, const char*> generic[] = {
        {0x80040201, "IDispatch error #1"},       {0x80040200, "IDispatch error #0"},
        {0x8004FFFF, "IDispatch error #65023"},   {0x12345678, "Unknown error 0x12345678"},
        {0x800401FF, "Unknown error 0x800401FF"}, {0x80050000, "Unknown error 0x80050000"},
        {0xDEADBEEF, "Unknown error 0xDEADBEEF"}};
    for (const auto& [code, text] : generic) {
        EXPECT_EQ(Narrow(_com_error(static_cast<HRESULT>(code)).ErrorMessage()), text);
    }
    WString known;
    ASSERT_TRUE(FormatSystemMessage(static_cast<HRESULT>(0x80131355), &known));
    EXPECT_EQ(Narrow(_com_error(static_cast<HRESULT>(0x80131355)).ErrorMessage()), Narrow(known));
}

TEST(PlatformCom, InformationMessageGoesToStandardErrorWithoutWaitingOffTerminal) {
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    const int savedError = dup(STDERR_FILENO);
    const int savedInput = dup(STDIN_FILENO);
    const int nullInput = open("/dev/null", O_RDONLY);
    ASSERT_GE(nullInput, 0);
    dup2(pipeEnds[1], STDERR_FILENO);
    dup2(nullInput, STDIN_FILENO);
    ShowInformationMessage(u"Profiler \u00e9", u"ProcessID: 1\r\nFileName: 'x'");
    dup2(savedError, STDERR_FILENO);
    dup2(savedInput, STDIN_FILENO);
    for (int fd : {savedError, savedInput, nullInput, pipeEnds[1]}) {
        close(fd);
    }
    std::string written;
    char chunk[256];
    ssize_t got = 0;
    while ((got = read(pipeEnds[0], chunk, sizeof(chunk))) > 0) {
        written.append(chunk, static_cast<size_t>(got));
    }
    close(pipeEnds[0]);
    EXPECT_EQ(written, "Profiler \xC3\xA9\nProcessID: 1\nFileName: 'x'\n");
}

TEST(PlatformEvent, ManualResetStaysSignalledUntilResetAndNullHandlesFail) {
    EventHandle event = CreateManualResetEvent(false);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(WaitForEvent(event, 0), WaitResult::TimedOut);
    EXPECT_EQ(WaitForEvent(event, 20), WaitResult::TimedOut);
    EXPECT_TRUE(SetEvent(event));
    EXPECT_EQ(WaitForEvent(event, 0), WaitResult::Signalled);
    EXPECT_EQ(WaitForEvent(event, INFINITE), WaitResult::Signalled);
    EXPECT_TRUE(ResetEvent(event));
    EXPECT_EQ(WaitForEvent(event, 0), WaitResult::TimedOut);
    EXPECT_TRUE(CloseEvent(event));
    EventHandle signalled = CreateManualResetEvent(true);
    EXPECT_EQ(WaitForEvent(signalled, 0), WaitResult::Signalled);
    EXPECT_TRUE(CloseEvent(signalled));

    EXPECT_EQ(WaitForEvent(nullptr, 0), WaitResult::Failed);
    EXPECT_EQ(WaitForEvent(nullptr, INFINITE), WaitResult::Failed);
    EXPECT_FALSE(SetEvent(nullptr));
    EXPECT_FALSE(ResetEvent(nullptr));
    EXPECT_FALSE(CloseEvent(nullptr));
}

TEST(PlatformEventConcurrent, SetWakesEveryWaiterAndCloseAbandonsThem) {
    for (const bool close : {false, true}) {
        EventHandle event = CreateManualResetEvent(false);
        ASSERT_NE(event, nullptr);
        auto infinite =
            std::async(std::launch::async, [event] { return WaitForEvent(event, INFINITE); });
        auto bounded =
            std::async(std::launch::async, [event] { return WaitForEvent(event, 60000); });
        ASSERT_TRUE(WaitForWaiters(event, 2));
        if (close) {
            EXPECT_TRUE(CloseEvent(event));
            EXPECT_EQ(infinite.get(), WaitResult::Abandoned);
            EXPECT_EQ(bounded.get(), WaitResult::Abandoned);
        } else {
            // Reset right after set: the threads that were waiting still go.
            SetEvent(event);
            ResetEvent(event);
            EXPECT_EQ(infinite.get(), WaitResult::Signalled);
            EXPECT_EQ(bounded.get(), WaitResult::Signalled);
            EXPECT_EQ(WaitForEvent(event, 0), WaitResult::TimedOut);
            CloseEvent(event);
        }
    }
}

TEST(PlatformTls, EachThreadSeesItsOwnValueUntilTheSlotsRunOut) {
    const DWORD slot = TlsAlloc();
    ASSERT_NE(slot, TLS_OUT_OF_INDEXES);
    int mine = 1;
    int theirs = 2;
    EXPECT_EQ(TlsGetValue(slot), nullptr);
    EXPECT_TRUE(TlsSetValue(slot, &mine));
    void* seenBefore = &mine;
    void* seenAfter = nullptr;
    std::thread([&] {
        seenBefore = TlsGetValue(slot);
        TlsSetValue(slot, &theirs);
        seenAfter = TlsGetValue(slot);
    }).join();
    EXPECT_EQ(seenBefore, nullptr);
    EXPECT_EQ(seenAfter, &theirs);
    EXPECT_EQ(TlsGetValue(slot), &mine);
    EXPECT_TRUE(TlsFree(slot));

    std::vector<DWORD> slots;
    for (DWORD next = TlsAlloc(); next != TLS_OUT_OF_INDEXES && slots.size() < 100000;
         next = TlsAlloc()) {
        slots.push_back(next);
    }
    EXPECT_LT(slots.size(), 100000u);
    for (DWORD taken : slots) {
        TlsFree(taken);
    }
    EXPECT_EQ(TLS_OUT_OF_INDEXES, 0xFFFFFFFFu);
    EXPECT_FALSE(TlsSetValue(TLS_OUT_OF_INDEXES, nullptr));
    EXPECT_EQ(TlsGetValue(TLS_OUT_OF_INDEXES), nullptr);
    EXPECT_FALSE(TlsFree(TLS_OUT_OF_INDEXES));
}

namespace {

// {0C1D2E3F-4A5B-6C7D-8E9F-A0B1C2D3E4F5}
constexpr IID IID_ITestWidget = {
    0x0C1D2E3F, 0x4A5B, 0x6C7D, {0x8E, 0x9F, 0xA0, 0xB1, 0xC2, 0xD3, 0xE4, 0xF5}};

struct ITestWidget : IUnknown {
    virtual int STDMETHODCALLTYPE Value() = 0;
};

// Counts its references and answers QueryInterface with a configurable status.
class Widget : public ITestWidget {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        *ppv = nullptr;
        if (FAILED(m_QueryResult)) {
            return m_QueryResult;
        }
        if (riid == IID_IUnknown || riid == IID_ITestWidget) {
            *ppv = static_cast<ITestWidget*>(this);
            AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_References; }
    ULONG STDMETHODCALLTYPE Release() override { return --m_References; }
    int STDMETHODCALLTYPE Value() override { return 42; }

    ULONG m_References = 0;
    HRESULT m_QueryResult = S_OK;
};

}  // namespace

TEST(ComRef, CopiesMovesAttachAndDetachKeepTheCountBalanced) {
    Widget widget;
    {
        ComRef<ITestWidget> first(&widget);
        EXPECT_EQ(widget.m_References, 1u);
        ComRef<ITestWidget> copy(first);
        EXPECT_EQ(widget.m_References, 2u);
        ComRef<ITestWidget> moved(std::move(copy));
        EXPECT_EQ(widget.m_References, 2u);
        EXPECT_EQ(copy.Get(), nullptr);
        ComRef<ITestWidget> assigned;
        assigned = first;
        EXPECT_EQ(widget.m_References, 3u);
        assigned = assigned;  // self-assignment keeps the reference
        EXPECT_EQ(widget.m_References, 3u);
        assigned = std::move(moved);
        EXPECT_EQ(widget.m_References, 2u);
        assigned = nullptr;
        EXPECT_EQ(widget.m_References, 1u);
        EXPECT_EQ(first->Value(), 42);
    }
    EXPECT_EQ(widget.m_References, 0u);

    widget.AddRef();  // the caller's own reference
    ComRef<ITestWidget> ref;
    ref.Attach(&widget);
    EXPECT_EQ(widget.m_References, 1u);
    ITestWidget* pRaw = ref.Detach();
    EXPECT_EQ(pRaw, &widget);
    EXPECT_EQ(ref.Get(), nullptr);
    EXPECT_EQ(widget.m_References, 1u);
    pRaw->Release();
    ComRef<ITestWidget> holder(&widget);
    holder.Reset();
    EXPECT_EQ(widget.m_References, 0u);
    EXPECT_FALSE(holder);
}

TEST(ComRef, UseWhileNullRaisesAndQueryLeavesNullOnNoInterfaceAndRaisesOtherFailures) {
    ComRef<ITestWidget> ref;
    for (int i = 0; i < 2; ++i) {
        try {
            i == 0 ? ref->Value() : (*ref).Value();
            ADD_FAILURE() << "use of a null reference did not raise";
        } catch (const _com_error& e) {
            EXPECT_EQ(static_cast<uint32_t>(e.Error()), 0x80004003u);  // E_POINTER
        }
    }
    Widget widget;
    ref.QueryFrom(&widget, IID_ITestWidget);
    ASSERT_EQ(ref.Get(), &widget);
    EXPECT_EQ(widget.m_References, 1u);
    // A failed query drops what was held before.
    ref.QueryFrom(&widget, IID_IClassFactory);
    EXPECT_EQ(ref.Get(), nullptr);
    EXPECT_EQ(widget.m_References, 0u);
    ref.QueryFrom(nullptr, IID_ITestWidget);
    EXPECT_EQ(ref.Get(), nullptr);
    widget.m_QueryResult = E_OUTOFMEMORY;
    try {
        ref.QueryFrom(&widget, IID_ITestWidget);
        ADD_FAILURE() << "a failure other than no-such-interface did not raise";
    } catch (const _com_error& e) {
        EXPECT_EQ(e.Error(), E_OUTOFMEMORY);
    }
    EXPECT_EQ(ref.Get(), nullptr);
    EXPECT_EQ(widget.m_References, 0u);
}
