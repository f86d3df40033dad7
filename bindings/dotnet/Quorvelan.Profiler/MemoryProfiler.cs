namespace Quorvelan.Profiler
{
    /// <summary>
    /// Controls the memory profiler from the profiled program, when it was started with API control
    /// (<c>qvprof record --mode memory --api</c>). Every function returns an
    /// <see cref="ApiResult"/> code and never throws; without the profiler they return
    /// <see cref="ApiResult.NoProfiler"/>.
    /// </summary>
    public static class MemoryProfiler
    {
        /// <summary>True when the program's calls control the memory profiler.</summary>
        public static bool IsActive => NativeMethods.Call(NativeMethods.MemoryProfiler_IsActive,
                                                          ApiResult.NotInControl) == ApiResult.Ok;

        /// <summary>Makes the runtime collect garbage.</summary>
        public static uint ForceGC() => NativeMethods.Call(NativeMethods.MemoryProfiler_ForceGC, ApiResult.NoProfiler);

        /// <summary>Takes a heap dump and sends it to the controller.</summary>
        public static uint Dump() => NativeMethods.Call(NativeMethods.MemoryProfiler_Dump, ApiResult.NoProfiler);
    }
}
