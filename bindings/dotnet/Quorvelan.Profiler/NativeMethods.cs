using System;
using System.IO;
using System.Reflection;
using System.Runtime.InteropServices;

namespace Quorvelan.Profiler
{
    // The profiler library's exported functions. The library is already loaded in a profiled
    // process; the resolver opens that same file again (which gives the loaded copy): the path the
    // host agent loads from (QUORVELAN_PROFILER_LIBRARY), else libqvprofiler.so beside the host
    // agent the runtime was told to load, else the usual search for "qvprofiler".
    internal static class NativeMethods
    {
        internal const string Library = "qvprofiler";
        internal const string LibraryVariable = "QUORVELAN_PROFILER_LIBRARY";
        internal const string LibraryFileName = "libqvprofiler.so";

        static NativeMethods()
        {
            try
            {
                NativeLibrary.SetDllImportResolver(typeof(NativeMethods).Assembly, Resolve);
            }
            catch (InvalidOperationException)
            {
                // A resolver was set for this assembly already; it answers instead.
            }
        }

        internal static string? LibraryPath()
        {
            string? path = Environment.GetEnvironmentVariable(LibraryVariable);
            if (!string.IsNullOrEmpty(path))
            {
                return path;
            }
            foreach (string variable in new[] { "CORECLR_PROFILER_PATH_64", "CORECLR_PROFILER_PATH_32",
                                                "CORECLR_PROFILER_PATH" })
            {
                string? host = Environment.GetEnvironmentVariable(variable);
                string? folder = string.IsNullOrEmpty(host) ? null : Path.GetDirectoryName(host);
                if (folder != null && File.Exists(Path.Combine(folder, LibraryFileName)))
                {
                    return Path.Combine(folder, LibraryFileName);
                }
            }
            return null;
        }

        static IntPtr Resolve(string name, Assembly assembly, DllImportSearchPath? searchPath)
        {
            if (name != Library)
            {
                return IntPtr.Zero;
            }
            string? path = LibraryPath();
            if (path != null && NativeLibrary.TryLoad(path, out IntPtr handle))
            {
                return handle;
            }
            return IntPtr.Zero;
        }

        // Calls an export; a process without the profiler library gets `missing` back, never an
        // exception.
        internal static uint Call(Func<uint> function, uint missing)
        {
            try
            {
                return function();
            }
            catch (DllNotFoundException)
            {
                return missing;
            }
            catch (EntryPointNotFoundException)
            {
                return missing;
            }
        }

        [DllImport(Library)] internal static extern uint PerformanceProfiler_IsActive();
        [DllImport(Library)] internal static extern uint PerformanceProfiler_Begin();
        [DllImport(Library, CharSet = CharSet.Unicode)]
        internal static extern uint PerformanceProfiler_BeginGroup([MarshalAs(UnmanagedType.LPWStr)] string name);
        [DllImport(Library)] internal static extern uint PerformanceProfiler_EndGroup();
        [DllImport(Library)] internal static extern uint PerformanceProfiler_Start();
        [DllImport(Library)] internal static extern uint PerformanceProfiler_Stop();
        [DllImport(Library)] internal static extern uint PerformanceProfiler_EndDrop();
        [DllImport(Library)] internal static extern uint PerformanceProfiler_EndSave();

        [DllImport(Library)] internal static extern uint MemoryProfiler_IsActive();
        [DllImport(Library)] internal static extern uint MemoryProfiler_ForceGC();
        [DllImport(Library)] internal static extern uint MemoryProfiler_Dump();
    }
}
