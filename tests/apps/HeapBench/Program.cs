// The memory benchmarks' program. Two modes:
//   alloc N   allocates N short-lived objects (a few of every thousand kept for a while), so that
//             the collector runs often; prints "elapsed <ms>" for the loop and "collections <n>"
//   hold N    builds N live objects (chains of 1000 nodes held by an array), creates the file
//             HEAPBENCH_READY names, waits for the file HEAPBENCH_GO names, then collects once and
//             prints "collect <ms>" and "peak <bytes>" (the process's peak resident memory)
using System;
using System.Diagnostics;
using System.IO;
using System.Runtime.CompilerServices;
using System.Threading;

namespace HeapBench
{
    public sealed class Node
    {
        public Node? Next;
        public long Value;
    }

    public static class Program
    {
        public static int Main(string[] args)
        {
            long count = long.Parse(args[1]);
            return args[0] == "alloc" ? Allocate(count) : Hold(count);
        }

        [MethodImpl(MethodImplOptions.NoInlining)]
        private static int Allocate(long count)
        {
            var kept = new Node?[1024];
            var watch = Stopwatch.StartNew();
            long sum = 0;
            for (long i = 0; i < count; i++)
            {
                var node = new Node { Value = i };
                if (i % 997 == 0)
                {
                    kept[i % kept.Length] = node;
                }
                sum += node.Value & 1;
            }
            Console.WriteLine($"elapsed {watch.ElapsedMilliseconds}");
            Console.WriteLine($"collections {GC.CollectionCount(0)}");
            Console.WriteLine($"sum {sum} {kept.Length}");
            return 0;
        }

        [MethodImpl(MethodImplOptions.NoInlining)]
        private static int Hold(long count)
        {
            const int ChainLength = 1000;
            var chains = new Node?[(count + ChainLength - 1) / ChainLength];
            for (long i = 0; i < count; i++)
            {
                chains[i / ChainLength] = new Node { Next = chains[i / ChainLength], Value = i };
            }
            string? ready = Environment.GetEnvironmentVariable("HEAPBENCH_READY");
            string? go = Environment.GetEnvironmentVariable("HEAPBENCH_GO");
            if (!string.IsNullOrEmpty(ready))
            {
                File.WriteAllText(ready, "ready");
            }
            while (!string.IsNullOrEmpty(go) && !File.Exists(go))
            {
                Thread.Sleep(10);
            }
            var watch = Stopwatch.StartNew();
            GC.Collect();
            Console.WriteLine($"collect {watch.Elapsed.TotalMilliseconds:F1}");
            Console.WriteLine($"peak {Process.GetCurrentProcess().PeakWorkingSet64}");
            GC.KeepAlive(chains);
            return 0;
        }
    }
}
