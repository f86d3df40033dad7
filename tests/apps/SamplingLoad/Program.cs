// A CPU-bound program with a known share of work per function and per thread, for the sampling
// profiler's end-to-end tests. Every thread repeats rounds of Work.Hot (three units of work)
// followed by Work.Cold (one unit), so the hot function takes three times the cold one's time on
// each thread. Worker threads "worker-1", "worker-2" and "worker-3" do 60, 120 and 180 rounds per
// cycle and then meet at a barrier, so their CPU time stands 1 : 2 : 3; a cycle lasts long
// against the sampling interval, so few samples see a worker change between work and waiting.
// The main thread ("main") runs rounds without pause.
//
//   SamplingLoad manual <folder>   creates <folder>/ready once every worker has finished a cycle,
//                                  runs until <folder>/stop exists; the controller measures.
//   SamplingLoad api <cycles>      measures itself through the performance API (the Quorvelan.Profiler
//                                  package): begin and start after two cycles, stop and save
//                                  <cycles> cycles later.
//   SamplingLoad collect <count>   four threads allocate <count> small arrays each, so that the
//                                  runtime collects often; prints how many bytes each kept.
//   SamplingLoad spin <threads> <rounds> <depth>
//                                  <threads> threads share <rounds> rounds, each thread running
//                                  them <depth> calls deep (the overhead benchmark's load).
//
// Entry functions: Program.Main (main thread), Workers.WorkerMain (worker threads).
//
// Output of "manual" (standard output, exactly these lines) and exit code 3:
//   round checksum 1D3545112316C868
//   workers 3, rounds per cycle 60 120 180
//   stopped
// "api" prints the result of each API call instead of "stopped".
using System;
using System.IO;
using System.Runtime.CompilerServices;
using System.Threading;
using Quorvelan.Profiler;

namespace SamplingLoad
{
    public static class Program
    {
        public const int ExitCode = 3;

        [MethodImpl(MethodImplOptions.NoInlining)]
        public static int Main(string[] args)
        {
            Thread.CurrentThread.Name = "main";
            Console.WriteLine($"round checksum {Work.Round(1):X16}");
            Console.WriteLine($"workers {Workers.Count}, rounds per cycle {Workers.RoundsPerShare} " +
                              $"{2 * Workers.RoundsPerShare} {3 * Workers.RoundsPerShare}");
            if (args.Length == 2 && args[0] == "manual")
            {
                RunManual(args[1]);
                Console.WriteLine("stopped");
            }
            else if (args.Length == 2 && args[0] == "api")
            {
                RunApi(int.Parse(args[1]));
            }
            else if (args.Length == 2 && args[0] == "collect")
            {
                RunCollect(int.Parse(args[1]));
            }
            else if (args.Length == 4 && args[0] == "spin")
            {
                RunSpin(int.Parse(args[1]), int.Parse(args[2]), int.Parse(args[3]));
            }
            else
            {
                Console.WriteLine("usage: SamplingLoad manual <folder> | api <cycles>");
                return 1;
            }
            return ExitCode;
        }

        [MethodImpl(MethodImplOptions.NoInlining)]
        static void RunManual(string folder)
        {
            string stop = Path.Combine(folder, "stop");
            Workers.Start();
            bool ready = false;
            for (long round = 1; !Workers.Stopping; round++)
            {
                Work.Sink ^= Work.Round(round);
                if (round % 50 != 0)
                {
                    continue;
                }
                if (!ready && Workers.Cycles >= 1)
                {
                    File.WriteAllText(Path.Combine(folder, "ready"), "");
                    ready = true;
                }
                if (File.Exists(stop))
                {
                    Workers.RequestStop();
                }
            }
            Workers.Join();
        }

        [MethodImpl(MethodImplOptions.NoInlining)]
        static void RunApi(int cycles)
        {
            Workers.Start();
            long round = 1;
            while (Workers.Cycles < 2)
            {
                Work.Sink ^= Work.Round(round++);
            }
            uint active = PerformanceProfiler.IsActive ? ApiResult.Ok : ApiResult.NotInControl;
            uint begin = PerformanceProfiler.Begin();
            uint start = PerformanceProfiler.Start();
            long until = Workers.Cycles + cycles;
            while (Workers.Cycles < until)
            {
                Work.Sink ^= Work.Round(round++);
            }
            uint stop = PerformanceProfiler.Stop();
            uint save = PerformanceProfiler.EndSave();
            Workers.RequestStop();
            while (!Workers.Stopping)
            {
                Work.Sink ^= Work.Round(round++);
            }
            Workers.Join();
            Console.WriteLine($"api active={active} begin={begin} start={start} stop={stop} save={save}");
        }

        [MethodImpl(MethodImplOptions.NoInlining)]
        static void RunCollect(int count)
        {
            var kept = new long[Workers.Count + 1];
            var threads = new Thread[Workers.Count];
            for (int i = 0; i < Workers.Count; i++)
            {
                int index = i + 1;
                threads[i] = new Thread(() => kept[index] = Allocate(count, index));
                threads[i].Start();
            }
            kept[0] = Allocate(count, 0);
            foreach (Thread thread in threads)
            {
                thread.Join();
            }
            Console.WriteLine($"kept {string.Join(" ", kept)}");
        }

        [MethodImpl(MethodImplOptions.NoInlining)]
        static void RunSpin(int threadCount, int rounds, int depth)
        {
            var sums = new ulong[threadCount];
            var threads = new Thread[threadCount];
            for (int i = 0; i < threadCount; i++)
            {
                int index = i;
                threads[i] = new Thread(() => sums[index] = Descend(depth, rounds / threadCount, index));
                threads[i].Start();
            }
            foreach (Thread thread in threads)
            {
                thread.Join();
            }
            Console.WriteLine($"spun {threadCount} threads, {rounds / threadCount} rounds each");
        }

        [MethodImpl(MethodImplOptions.NoInlining)]
        static ulong Descend(int depth, int rounds, long seed)
        {
            if (depth > 0)
            {
                return Descend(depth - 1, rounds, seed) + 1;
            }
            ulong sum = 0;
            for (int i = 0; i < rounds; i++)
            {
                sum ^= Work.Round(seed + i);
            }
            return sum;
        }

        // Allocates `count` arrays of 16 to 1039 bytes, keeping every 64th for a while.
        [MethodImpl(MethodImplOptions.NoInlining)]
        static long Allocate(int count, int seed)
        {
            var window = new byte[256][];
            long kept = 0;
            for (int i = 0; i < count; i++)
            {
                var array = new byte[16 + (i * 7 + seed) % 1024];
                array[0] = (byte)i;
                if (i % 64 == 0)
                {
                    window[(i / 64) % window.Length] = array;
                }
            }
            foreach (byte[]? array in window)
            {
                kept += array?.Length ?? 0;
            }
            return kept;
        }
    }

    public static class Work
    {
        // Iterations of one unit of work.
        public const int Unit = 400_000;
        public static ulong Sink;

        [MethodImpl(MethodImplOptions.NoInlining)]
        public static ulong Round(long seed)
        {
            return Hot((ulong)seed) ^ Cold((ulong)seed);
        }

        [MethodImpl(MethodImplOptions.NoInlining)]
        public static ulong Hot(ulong seed)
        {
            return Spin(seed, 3 * Unit);
        }

        [MethodImpl(MethodImplOptions.NoInlining)]
        public static ulong Cold(ulong seed)
        {
            return Spin(seed, Unit);
        }

        [MethodImpl(MethodImplOptions.NoInlining)]
        public static ulong Spin(ulong state, int iterations)
        {
            state |= 1;
            for (int i = 0; i < iterations; i++)
            {
                state ^= state << 13;
                state ^= state >> 7;
                state ^= state << 17;
            }
            return state;
        }
    }

    public static class Workers
    {
        public const int Count = 3;
        public const int RoundsPerShare = 60;
        static readonly Thread[] s_Threads = new Thread[Count];
        static Barrier? s_Barrier;
        static volatile bool s_StopRequested;
        static volatile bool s_Stopping;
        static long s_Cycles;

        public static long Cycles => Interlocked.Read(ref s_Cycles);
        public static bool Stopping => s_Stopping;

        public static void Start()
        {
            // Runs once per cycle, when every worker has arrived and before any goes on: all of
            // them see the same decision to stop.
            s_Barrier = new Barrier(Count, barrier =>
            {
                Interlocked.Increment(ref s_Cycles);
                if (s_StopRequested)
                {
                    s_Stopping = true;
                }
            });
            for (int i = 0; i < Count; i++)
            {
                s_Threads[i] = new Thread(WorkerMain) { Name = "worker-" + (i + 1) };
                s_Threads[i].Start((i + 1) * RoundsPerShare);
            }
        }

        public static void RequestStop()
        {
            s_StopRequested = true;
        }

        public static void Join()
        {
            foreach (Thread thread in s_Threads)
            {
                thread.Join();
            }
        }

        [MethodImpl(MethodImplOptions.NoInlining)]
        static void WorkerMain(object? state)
        {
            int rounds = (int)state!;
            long seed = rounds;
            while (!s_Stopping)
            {
                for (int i = 0; i < rounds; i++)
                {
                    Work.Sink ^= Work.Round(seed++);
                }
                s_Barrier!.SignalAndWait();
            }
        }
    }
}
