// The three start-up settings, read once at process attach from the registry. Each is a value
// named like an environment variable, looked up under
//   HKEY_CURRENT_USER\Software\Quorvelan\Profiler\Pid_<process id>,
//   HKEY_LOCAL_MACHINE\Software\Quorvelan\Profiler\Pid_<process id>,
//   HKEY_LOCAL_MACHINE\Software\Quorvelan\Profiler\Global,
// in that order; the first place with a valid value wins. Each reader fills its out value, or
// raises the failure met at the last place (the out value is then left as it was).
#pragma once

#include "Platform/Types.h"

// Registry value names of the settings.
inline constexpr const WCHAR* TempPathSettingName = u"QUORVELAN_PROFILER_TEMP";
inline constexpr const WCHAR* LogMaskSettingName = u"QUORVELAN_PROFILER_LOGMASK";
inline constexpr const WCHAR* AttachSettingName = u"QUORVELAN_PROFILER_ATTACH";

// A string value only, taken unchanged ("Invalid temp path type" otherwise).
void ReadTempPathSetting(WString& path);
// A string holding an unsigned decimal number ("Can't parse componet mask" when characters follow
// the number) or a 32-bit number ("Invalid component mask type" for other types).
void ReadLogMaskSetting(DWORD& mask);
// Like the log mask, with "Can't parse show attach message" and "Invalid show attach message type".
void ReadAttachSetting(DWORD& value);
