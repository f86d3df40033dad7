namespace Quorvelan.Profiler
{
    /// <summary>The result codes of the profiler's API functions.</summary>
    public static class ApiResult
    {
        /// <summary>The operation was done.</summary>
        public const uint Ok = 0;

        /// <summary>From <c>IsActive</c>: the program's API calls do not control the profiler.</summary>
        public const uint NotInControl = 1;

        /// <summary>A failure without a more specific code.</summary>
        public const uint Failed = 0x80000000;

        /// <summary>No profiler of the kind is loaded in this process.</summary>
        public const uint NoProfiler = 0x80000001;

        /// <summary>The profiler is controlled by the controller, not by the program's calls.</summary>
        public const uint ApiDisabled = 0x80000002;

        /// <summary>The profiler does not implement the operation.</summary>
        public const uint NotImplemented = 0x80000003;

        /// <summary>An unrecoverable error was reported earlier; the operation is ignored.</summary>
        public const uint UnrecoverableError = 0x80000005;

        /// <summary>The operation does not fit the state: no snapshot open, or measuring already on or off.</summary>
        public const uint WrongState = 0x80000006;

        /// <summary>True for <see cref="Ok"/>.</summary>
        public static bool Succeeded(uint result) => result == Ok;
    }
}
