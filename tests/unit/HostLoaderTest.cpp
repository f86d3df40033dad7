#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "Host/HostDiagnostics.h"
#include "Host/Loader/HostExports.h"
#include "Host/Loader/ProfilerClasses.h"
#include "Host/Loader/ProfilerLibrary.h"
#include "Platform/Cor/CorProfiler.h"
#include "fixtures/LoaderFixtureState.h"
#include "support/ScopedVariable.h"
#include "support/ScratchDirectory.h"

namespace {

// Built beside the tests: a stand-in profiler library and the host library itself.
const std::string kFixturePath = QV_LOADER_FIXTURE;
const std::string kHostPath = QV_HOST_LIBRARY;

constexpr CLSID kTracing = ProfilerClasses::Known[0];      // the fixture loads
constexpr CLSID kSampling = ProfilerClasses::Known[1];     // the fixture fails
constexpr CLSID kMemory = ProfilerClasses::Known[2];       // no callback handed over
constexpr CLSID kTestKindOne = ProfilerClasses::Known[3];  // not exported by the fixture
constexpr CLSID kUnknown = {
    0xD37A1B78, 0x6DC4, 0x46FD, {0xBC, 0x31, 0xF7, 0xC4, 0xD5, 0xA1, 0x1C, 0x9C}};

using DllGetClassObjectProc = HRESULT (*)(REFCLSID, REFIID, void**);


// A library opened for the length of a test; its reference is dropped at the end.
class OpenLibrary {
public:
    explicit OpenLibrary(const std::string& path) : m_pHandle(dlopen(path.c_str(), RTLD_NOW)) {}
    ~OpenLibrary() {
        if (m_pHandle != nullptr) {
            dlclose(m_pHandle);
        }
    }
    OpenLibrary(const OpenLibrary&) = delete;
    OpenLibrary& operator=(const OpenLibrary&) = delete;

    bool IsOpen() const { return m_pHandle != nullptr; }
    template <class Proc>
    Proc Find(const char* name) const {
        return reinterpret_cast<Proc>(dlsym(m_pHandle, name));
    }

private:
    void* m_pHandle;
};

// Asks the factory of `clsid` (got from `getClassObject`) for an instance answering `riid`.
HRESULT CreateProfiler(DllGetClassObjectProc getClassObject, REFCLSID clsid, REFIID riid,
                       void** ppObject) {
    IClassFactory* pFactory = nullptr;
    HRESULT hr = getClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&pFactory));
    if (FAILED(hr)) {
        return hr;
    }
    hr = pFactory->CreateInstance(nullptr, riid, ppObject);
    pFactory->Release();
    return hr;
}

class HostLoader : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_Fixture.IsOpen()) << dlerror();
        m_pFixtureState = m_Fixture.Find<LoaderFixtureStateProc>("LoaderFixture_State")();
        m_Fixture.Find<LoaderFixtureResetProc>("LoaderFixture_Reset")();
    }
    void TearDown() override { m_Fixture.Find<LoaderFixtureResetProc>("LoaderFixture_Reset")(); }

    // Runs CreateInstance for `clsid` with the fixture as the profiler library; returns the
    // status and leaves standard error's text in m_Stderr.
    HRESULT CreateWithFixture(REFCLSID clsid, REFIID riid, void** ppObject,
                              const std::string& libraryPath = kFixturePath) {
        ScopedVariable library(ProfilerLibrary::PathVariable, libraryPath);
        ScopedVariable diagnostics(HostDiagnostics::DestinationVariable, "stderr");
        testing::internal::CaptureStderr();
        const HRESULT hr = CreateProfiler(&DllGetClassObject, clsid, riid, ppObject);
        m_Stderr = testing::internal::GetCapturedStderr();
        return hr;
    }

    OpenLibrary m_Fixture{kFixturePath};
    LoaderFixtureState* m_pFixtureState = nullptr;
    std::string m_Stderr;
};

TEST(ProfilerClasses, EntryPointNamesAreTheIdentifiersWithUnderscores) {
    const char* const expected[] = {
        "InitializeProfiler_D37A1B78_6DC3_46FD_BC31_F7C4D5A11C9C",
        "InitializeProfiler_D37A1B78_6DC5_46FD_BC31_F7C4D5A11C9C",
        "InitializeProfiler_D37A1B78_6DC6_46FD_BC31_F7C4D5A11C9C",
        "InitializeProfiler_D37A1B78_7DC3_46FD_BC31_F7C4D5A11C9C",
        "InitializeProfiler_D37A1B78_7DC4_46FD_BC31_F7C4D5A11C9C",
        "InitializeProfiler_D37A1B78_7DC5_46FD_BC31_F7C4D5A11C9C",
    };
    ASSERT_EQ(std::size(expected), std::size(ProfilerClasses::Known));
    for (size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_EQ(expected[i], ProfilerClasses::EntryPointName(ProfilerClasses::Known[i]));
        EXPECT_TRUE(ProfilerClasses::IsKnown(ProfilerClasses::Known[i]));
    }
    EXPECT_EQ("{D37A1B78-6DC3-46FD-BC31-F7C4D5A11C9C}", ProfilerClasses::Format(kTracing));
    EXPECT_EQ("{00000001-0000-0000-C000-000000000046}", ProfilerClasses::Format(IID_IClassFactory));
    EXPECT_FALSE(ProfilerClasses::IsKnown(kUnknown));
}

TEST_F(HostLoader, RefusesUnknownClassAndNamesTheKnownOnes) {
    ScopedVariable diagnostics(HostDiagnostics::DestinationVariable, "stderr");
    void* pObject = reinterpret_cast<void*>(1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, DllGetClassObject(kUnknown, IID_IClassFactory, &pObject));
    const std::string text = testing::internal::GetCapturedStderr();
    EXPECT_EQ(nullptr, pObject);
    EXPECT_NE(std::string::npos, text.find("{D37A1B78-6DC4-46FD-BC31-F7C4D5A11C9C}")) << text;
    EXPECT_NE(std::string::npos, text.find("{D37A1B78-6DC3-46FD-BC31-F7C4D5A11C9C} (tracing)"))
        << text;
    EXPECT_EQ(E_POINTER, DllGetClassObject(kTracing, IID_IClassFactory, nullptr));
}

TEST_F(HostLoader, HandsOutAClassFactoryForEveryProfilerKind) {
    for (const CLSID& clsid : ProfilerClasses::Known) {
        IClassFactory* pFactory = nullptr;
        ASSERT_EQ(S_OK,
                  DllGetClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&pFactory)));
        ASSERT_NE(nullptr, pFactory);
        IUnknown* pUnknown = nullptr;
        EXPECT_EQ(S_OK,
                  pFactory->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&pUnknown)));
        EXPECT_EQ(static_cast<IUnknown*>(pFactory), pUnknown);
        pUnknown->Release();
        void* pOther = reinterpret_cast<void*>(1);
        EXPECT_EQ(E_NOINTERFACE, pFactory->QueryInterface(IID_ICorProfilerCallback2, &pOther));
        EXPECT_EQ(nullptr, pOther);
        EXPECT_EQ(S_OK, pFactory->LockServer(TRUE));

        // Aggregation is refused before anything is loaded.
        void* pObject = reinterpret_cast<void*>(1);
        EXPECT_EQ(CLASS_E_NOAGGREGATION,
                  pFactory->CreateInstance(pFactory, IID_ICorProfilerCallback2, &pObject));
        EXPECT_EQ(nullptr, pObject);
        EXPECT_EQ(0u, pFactory->Release());
    }
    IUnknown* pFactory = nullptr;
    EXPECT_EQ(E_NOINTERFACE, DllGetClassObject(kTracing, IID_ICorProfilerInfo,
                                               reinterpret_cast<void**>(&pFactory)));
    EXPECT_EQ(nullptr, pFactory);
    EXPECT_EQ(0, m_pFixtureState->loadCalls);
}

TEST_F(HostLoader, EachLoadFailureIsReportedWithItsStatusAndReason) {
    ScratchDirectory scratch;
    const std::string missing = (scratch.Path() / "libnothere.so").string();
    const std::string host = "Quorvelan host[" + std::to_string(getpid()) + "]: ";
    const struct {
        CLSID clsid;
        std::string library;
        HRESULT status;
        int loadCalls;
        std::vector<std::string> messages;  // the first one opens the text
    } cases[] = {
        // The loader's own reason, then what to do about it.
        {kTracing,
         missing,
         HOST_E_LIBRARY_NOT_LOADED,
         0,
         {host + "can't load the profiler library '" + missing + "': ", "No such file or directory",
          "set QUORVELAN_PROFILER_LIBRARY", "runs without the profiler.\n"}},
        {kTestKindOne,
         kFixturePath,
         HOST_E_ENTRY_NOT_FOUND,
         0,
         {host,
          "the profiler library '" + kFixturePath +
              "' has no entry point "
              "'InitializeProfiler_D37A1B78_7DC3_46FD_BC31_F7C4D5A11C9C'",
          "undefined symbol"}},
        {kSampling,
         kFixturePath,
         MakeHResult(0x80000000),
         1,
         {host, "'InitializeProfiler_D37A1B78_6DC5_46FD_BC31_F7C4D5A11C9C' in '" + kFixturePath +
                    "' failed with status 0x80000000"}},
        {kMemory, kFixturePath, E_UNEXPECTED, 1, {host, "handed no callback object to the host"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.messages.back());
        m_Fixture.Find<LoaderFixtureResetProc>("LoaderFixture_Reset")();
        void* pObject = reinterpret_cast<void*>(1);
        EXPECT_EQ(c.status,
                  CreateWithFixture(c.clsid, IID_ICorProfilerCallback2, &pObject, c.library));
        EXPECT_EQ(nullptr, pObject);
        EXPECT_EQ(c.loadCalls, m_pFixtureState->loadCalls);
        if (c.loadCalls > 0) {
            EXPECT_EQ(0u, m_pFixtureState->lastCommand);
        }
        EXPECT_EQ(0u, m_Stderr.find(c.messages[0])) << m_Stderr;
        for (const std::string& message : c.messages) {
            EXPECT_NE(std::string::npos, m_Stderr.find(message)) << m_Stderr;
        }
    }
}

TEST_F(HostLoader, LoadsTheProfilerAndAnswersWithTheCallbackItHandedOver) {
    ICorProfilerCallback2* pCallback = nullptr;
    ASSERT_EQ(S_OK, CreateWithFixture(kTracing, IID_ICorProfilerCallback2,
                                      reinterpret_cast<void**>(&pCallback)));
    EXPECT_EQ("", m_Stderr);
    ASSERT_NE(nullptr, pCallback);
    EXPECT_EQ(m_pFixtureState->pCallback, pCallback);
    EXPECT_EQ(1, m_pFixtureState->loadCalls);
    EXPECT_EQ(0u, m_pFixtureState->lastCommand);
    EXPECT_EQ(LoaderFixtureState::HasThreads | LoaderFixtureState::HasTools |
                  LoaderFixtureState::HasProfilerHost,
              m_pFixtureState->answered);
    EXPECT_EQ(S_OK, m_pFixtureState->setCallbackStatus);
    // The fixture, the host and this test each hold one reference.
    EXPECT_EQ(4u, pCallback->AddRef());
    pCallback->Release();
    pCallback->Release();

    // An interface the callback object lacks is refused, with the interface named.
    void* pObject = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, CreateWithFixture(kTracing, IID_ICorProfilerCallback3, &pObject));
    EXPECT_EQ(nullptr, pObject);
    EXPECT_NE(std::string::npos, m_Stderr.find("{4FD2ED52-7731-4B8D-9469-03D2CC3086C5}"))
        << m_Stderr;
    EXPECT_EQ(2, m_pFixtureState->loadCalls);
}

TEST_F(HostLoader, HostLibraryFindsTheProfilerLibraryBesideItselfAndExportsOnlyItsEntry) {
    // A copy of the host with the fixture beside it under the profiler library's file name.
    ScratchDirectory scratch;
    const std::filesystem::path hostCopy = scratch.Path() / "libqvhost.so";
    const std::filesystem::path profilerCopy = scratch.Path() / ProfilerLibrary::FileName;
    std::filesystem::copy_file(kHostPath, hostCopy);
    std::filesystem::copy_file(kFixturePath, profilerCopy);

    ScopedVariable noLibrary(ProfilerLibrary::PathVariable, nullptr);

    ICorProfilerCallback2* pCallback = nullptr;
    HRESULT hr;
    {
        OpenLibrary host(hostCopy.string());
        ASSERT_TRUE(host.IsOpen()) << dlerror();
        auto getClassObject = host.Find<DllGetClassObjectProc>("DllGetClassObject");
        ASSERT_NE(nullptr, getClassObject);
        // The loader's classes and the host services stay inside the library.
        EXPECT_EQ(nullptr, host.Find<void*>("_ZN10PALThreadsC1Ev"));
        EXPECT_EQ(nullptr, host.Find<void*>("_ZN20ProfilerClassFactoryC1ERK4GUID"));

        testing::internal::CaptureStderr();
        hr = CreateProfiler(getClassObject, kTracing, IID_ICorProfilerCallback2,
                            reinterpret_cast<void**>(&pCallback));
        const std::string text = testing::internal::GetCapturedStderr();
        EXPECT_EQ("", text);

        OpenLibrary profiler(profilerCopy.string());
        ASSERT_TRUE(profiler.IsOpen()) << dlerror();
        LoaderFixtureState* pState = profiler.Find<LoaderFixtureStateProc>("LoaderFixture_State")();
        EXPECT_EQ(1, pState->loadCalls);
        EXPECT_EQ(pState->pCallback, pCallback);
        if (pCallback != nullptr) {
            pCallback->Release();
        }
        // The host objects live in the copied host; they must go before it is closed.
        profiler.Find<LoaderFixtureResetProc>("LoaderFixture_Reset")();
    }
    EXPECT_EQ(S_OK, hr);
    // The fixture loaded through the search path is not the one at its build path.
    EXPECT_EQ(0, m_pFixtureState->loadCalls);
}

TEST(ProfilerLibrary, PathComesFromTheVariableUnlessEmpty) {
    {
        ScopedVariable library(ProfilerLibrary::PathVariable, "/opt/elsewhere/libprof.so");
        EXPECT_EQ("/opt/elsewhere/libprof.so", ProfilerLibrary::ResolvePath());
    }
    ScopedVariable library(ProfilerLibrary::PathVariable, "");
    const std::string path = ProfilerLibrary::ResolvePath();
    const std::string suffix = std::string("/") + ProfilerLibrary::FileName;
    ASSERT_GT(path.size(), suffix.size());
    EXPECT_EQ(suffix, path.substr(path.size() - suffix.size()));
}

}  // namespace
