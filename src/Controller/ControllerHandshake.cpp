#include "Controller/ControllerHandshake.h"

#include <stdexcept>
#include <string>

#include "Bridge/BridgeStreamHelpers.h"
#include "Bridge/MemoryBridgeStream.h"
#include "Controller/ConnectionError.h"
#include "Controller/ProtocolConstants.h"
#include "Controller/WireText.h"
#include "Platform/Com.h"

namespace Controller {

namespace {

void WriteAnswer(IWriteBridgeStream& out, bool value) {
    MemoryBridgeStream message;
    WriteBool(message, value);
    out.Write(message.GetData(), message.GetSize());
}

std::string ReadText(IReadBridgeStream& in, const char* what) {
    return DecodeWireText(ReadBoundedString(in, ControllerHandshake::MaxTextLength, what));
}

ProfilerKind KindOf(const GUID& clientGuid) {
    if (clientGuid == PerformanceClientGuid) {
        return ProfilerKind::Performance;
    }
    if (clientGuid == MemoryClientGuid) {
        return ProfilerKind::Memory;
    }
    return ProfilerKind::Unknown;
}

}  // namespace

ProcessInfo ControllerHandshake::Run(IReadBridgeStream& in, IWriteBridgeStream& out,
                                     const SessionOptions& options) {
    ProcessInfo info;
    const char* pStep = "the bridge protocol identifier";
    try {
        try {
            info.protocolGuid = ReadGuid(in);
        } catch (const ConnectionError&) {
            throw;
        } catch (const std::exception& error) {
            throw std::runtime_error(std::string("The handshake failed at ") + pStep + ": " +
                                     error.what());
        }
        if (info.protocolGuid != BridgeProtocolGuid) {
            WriteAnswer(out, false);
            throw std::runtime_error(
                "The profiled process speaks bridge protocol " +
                Platform::GuidToString(info.protocolGuid) + ", this controller speaks " +
                Platform::GuidToString(BridgeProtocolGuid) +
                ": use a profiler library and qvprof from the same release");
        }
        if (!options.acceptVersion) {
            WriteAnswer(out, false);
            info.outcome = HandshakeOutcome::VersionRefused;
            return info;
        }
        WriteAnswer(out, true);

        ReadAnnouncement(in, info, pStep);

        pStep = "our answers";
        if (info.kind == ProfilerKind::Unknown) {
            WriteAnswer(out, false);
            throw std::runtime_error("The profiled process announced an unknown profiler kind " +
                                     Platform::GuidToString(info.clientGuid) +
                                     ": use a profiler library and qvprof from the same release");
        }
        if (!options.acceptConnection || (options.acceptProcess && !options.acceptProcess(info))) {
            WriteAnswer(out, false);
            info.outcome = HandshakeOutcome::ConnectionRefused;
            return info;
        }
        WriteAnswers(out, info, options);
        info.outcome = options.run ? HandshakeOutcome::Running : HandshakeOutcome::RunRefused;
        return info;
    } catch (const ConnectionError& error) {
        switch (error.GetCause()) {
        case ConnectionError::Cause::Closed:
            throw std::runtime_error(std::string("The profiled process closed the connection "
                                                 "during the handshake, at ") +
                                     pStep);
        case ConnectionError::Cause::TimedOut:
            throw std::runtime_error(std::string("The profiled process stopped answering during "
                                                 "the handshake, at ") +
                                     pStep + " (" + error.what() + ")");
        default:
            throw std::runtime_error(std::string("The handshake failed at ") + pStep + ": " +
                                     error.what());
        }
    } catch (const std::runtime_error&) {
        throw;
    } catch (const std::exception& error) {
        throw std::runtime_error(std::string("The handshake failed at ") + pStep + ": " +
                                 error.what());
    }
}

void ControllerHandshake::ReadAnnouncement(IReadBridgeStream& in, ProcessInfo& info,
                                           const char*& pStep) {
    try {
        pStep = "the profiler kind";
        info.clientGuid = ReadGuid(in);
        info.kind = KindOf(info.clientGuid);
        pStep = "the process identity";
        info.processGuid = ReadGuid(in);
        pStep = "the log file path";
        info.logFilePath = ReadText(in, "The log file path");
        pStep = "the process id";
        info.processId = ReadU32(in);
        pStep = "the command line";
        info.commandLine = ReadText(in, "The command line");
        pStep = "the environment string count";
        const size_t count = ReadU16(in);
        info.environment.reserve(count);
        for (size_t i = 0; i < count; ++i) {
            pStep = "the environment strings";
            info.environment.push_back(ReadText(in, "An environment string"));
        }
    } catch (const ConnectionError&) {
        throw;
    } catch (const std::exception& error) {
        // A malformed field: the connection is out of step from here on.
        throw std::runtime_error(std::string("The handshake failed at ") + pStep + ": " +
                                 error.what());
    }
}

void ControllerHandshake::WriteAnswers(IWriteBridgeStream& out, const ProcessInfo& info,
                                       const SessionOptions& options) {
    // One buffer, one send: the answers reach the profiler whole.
    MemoryBridgeStream message;
    WriteBool(message, true);
    WriteU8(message, options.snapshotType);
    WriteU8(message, options.controlKind);
    WriteSizeTAsUInt8(message, options.namedFlags.size());
    for (const auto& [name, value] : options.namedFlags) {
        WriteString(message, name);
        WriteBool(message, value);
    }
    WriteString(message, options.controllerText);
    if (info.kind == ProfilerKind::Performance) {
        options.performance.Write(message);
    } else {
        options.memory.Write(message);
    }
    WriteBool(message, options.run);
    out.Write(message.GetData(), message.GetSize());
}

}  // namespace Controller
