// A call-heavy workload timed inside the process: recursive Fib(n), each call doing almost
// nothing but calling, so that a profiler's per-call cost dominates. Arguments: n (default 30) and
// the number of timed rounds (default 9), after an untimed warm-up round, and the number of threads
// that run each round's Fib(n) at the same time (default 1). A round is timed by the
// processor time the process used (on a busy machine the elapsed time also counts other
// programs' time) and by the elapsed time.
// Prints "calls=<calls per round, all threads> ns=<median round processor time in nanoseconds>
// wall=<median round elapsed nanoseconds> fib=<Fib(n)>".
using System;
using System.Diagnostics;
using System.Runtime.CompilerServices;

namespace CallFloor;

public static class Program
{
    [MethodImpl(MethodImplOptions.NoInlining | MethodImplOptions.AggressiveOptimization)]
    public static int Fib(int n) => n < 2 ? n : Fib(n - 1) + Fib(n - 2);

    public static int Main(string[] args)
    {
        int n = args.Length > 0 ? int.Parse(args[0]) : 30;
        int rounds = args.Length > 1 ? int.Parse(args[1]) : 9;
        int threads = args.Length > 2 ? int.Parse(args[2]) : 1;
        long calls = threads * (2L * Fib(n + 1) - 1);
        int result = Fib(n);
        var cpu = new double[rounds];
        var wall = new double[rounds];
        Process process = Process.GetCurrentProcess();
        for (int r = 0; r < rounds; ++r)
        {
            process.Refresh();
            TimeSpan cpuStart = process.TotalProcessorTime;
            long start = Stopwatch.GetTimestamp();
            result = threads == 1 ? Fib(n) : RunOnThreads(n, threads);
            wall[r] = (Stopwatch.GetTimestamp() - start) * 1e9 / Stopwatch.Frequency;
            process.Refresh();
            cpu[r] = (process.TotalProcessorTime - cpuStart).Ticks * 100.0;
        }
        Array.Sort(cpu);
        Array.Sort(wall);
        Console.WriteLine($"calls={calls} ns={cpu[rounds / 2]:F0} wall={wall[rounds / 2]:F0} fib={result}");
        return 0;
    }

    // Fib(n) on each of `threads` threads at once; the result of the first.
    private static int RunOnThreads(int n, int threads)
    {
        var results = new int[threads];
        var workers = new System.Threading.Thread[threads];
        for (int t = 0; t < threads; ++t)
        {
            int index = t;
            workers[t] = new System.Threading.Thread(() => results[index] = Fib(n));
            workers[t].Start();
        }
        foreach (var worker in workers)
        {
            worker.Join();
        }
        return results[0];
    }
}
