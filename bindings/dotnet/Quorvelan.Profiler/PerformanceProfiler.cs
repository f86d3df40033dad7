namespace Quorvelan.Profiler
{
    /// <summary>
    /// Controls the performance profiler (tracing or sampling) from the profiled program, when it
    /// was started with API control (<c>qvprof record --api</c>). A snapshot is opened with
    /// <see cref="Begin"/>, measured between <see cref="Start"/> and <see cref="Stop"/> (as often as
    /// wanted), and ended with <see cref="EndSave"/> (sent to the controller) or
    /// <see cref="EndDrop"/>. Every function returns an <see cref="ApiResult"/> code and never
    /// throws; without the profiler they return <see cref="ApiResult.NoProfiler"/>.
    /// </summary>
    public static class PerformanceProfiler
    {
        /// <summary>True when the program's calls control the profiler.</summary>
        public static bool IsActive => NativeMethods.Call(NativeMethods.PerformanceProfiler_IsActive,
                                                          ApiResult.NotInControl) == ApiResult.Ok;

        /// <summary>Opens a snapshot.</summary>
        public static uint Begin() => NativeMethods.Call(NativeMethods.PerformanceProfiler_Begin, ApiResult.NoProfiler);

        /// <summary>Opens a named group in the open snapshot (while not measuring).</summary>
        public static uint BeginGroup(string name) =>
            NativeMethods.Call(() => NativeMethods.PerformanceProfiler_BeginGroup(name), ApiResult.NoProfiler);

        /// <summary>Closes the group.</summary>
        public static uint EndGroup() => NativeMethods.Call(NativeMethods.PerformanceProfiler_EndGroup, ApiResult.NoProfiler);

        /// <summary>Starts measuring.</summary>
        public static uint Start() => NativeMethods.Call(NativeMethods.PerformanceProfiler_Start, ApiResult.NoProfiler);

        /// <summary>Stops measuring.</summary>
        public static uint Stop() => NativeMethods.Call(NativeMethods.PerformanceProfiler_Stop, ApiResult.NoProfiler);

        /// <summary>Ends the snapshot and throws its data away.</summary>
        public static uint EndDrop() => NativeMethods.Call(NativeMethods.PerformanceProfiler_EndDrop, ApiResult.NoProfiler);

        /// <summary>Ends the snapshot and saves it.</summary>
        public static uint EndSave() => NativeMethods.Call(NativeMethods.PerformanceProfiler_EndSave, ApiResult.NoProfiler);
    }
}
