// A small program with a known call structure, run by the end-to-end tests with and without the
// profiler. Its output and exit code are the same on every run.
//
// Calls made by one run (namespace Sample):
//   Program.Main                    1
//   Workload.Run                    1   (from Main)
//   Worker.Compute                  3   (one on each worker thread, called from the thread's start
//                                        lambda, a compiler-made method nested in Workload)
//   Worker.Fib                  43781   (Fib(18), Fib(19), Fib(20) on threads Worker-1..3:
//                                        8361 + 13529 + 21891 calls; Fib(n) makes 2*F(n+1)-1)
//   Allocator.Fill                  1   (from Workload.Run, on the main thread)
//   Allocator.MakeItem          20000   (from Allocator.Fill; each allocates one 64-byte array)
//   Faults.ThrowAndCatch            1   (from Workload.Run, on the main thread)
//   Faults.Fail                     1   (from Faults.ThrowAndCatch; throws InvalidOperationException,
//                                        caught in Faults.ThrowAndCatch)
//
// Threads: the main thread, and "Worker-1", "Worker-2", "Worker-3", started and joined by
// Workload.Run.
//
// With "--hold-ms N" the items Allocator.Fill made stay alive for N more milliseconds before it
// returns, so that a heap dump taken meanwhile sees them; output and calls stay the same.
// With "--busy-ms N" each worker computes its Fibonacci number again and again for N milliseconds,
// so that a sampling profiler finds the workers running; output stays the same, calls of Fib grow.
//
// Output (standard output, exactly these lines) and exit code 7:
//   worker 1: Fib(18) = 2584
//   worker 2: Fib(19) = 4181
//   worker 3: Fib(20) = 6765
//   allocated 20000 items, 1280000 bytes
//   caught InvalidOperationException: sample failure
//   total 13530
using System;
using System.Collections.Generic;
using System.Runtime.CompilerServices;
using System.Threading;

namespace Sample
{
    public static class Program
    {
        public const int ExitCode = 7;

        [MethodImpl(MethodImplOptions.NoInlining)]
        public static int Main(string[] args)
        {
            if (args.Length == 2 && args[0] == "--hold-ms")
            {
                Allocator.HoldMilliseconds = int.Parse(args[1]);
            }
            if (args.Length == 2 && args[0] == "--busy-ms")
            {
                Worker.BusyMilliseconds = int.Parse(args[1]);
            }
            Workload.Run();
            return ExitCode;
        }
    }

    public static class Workload
    {
        public const int WorkerCount = 3;
        public const int FirstArgument = 18;

        [MethodImpl(MethodImplOptions.NoInlining)]
        public static void Run()
        {
            var results = new int[WorkerCount];
            var threads = new Thread[WorkerCount];
            for (int i = 0; i < WorkerCount; i++)
            {
                int index = i;
                threads[i] = new Thread(() => results[index] = Worker.Compute(FirstArgument + index))
                {
                    Name = "Worker-" + (index + 1),
                };
                threads[i].Start();
            }
            foreach (Thread thread in threads)
            {
                thread.Join();
            }

            int total = 0;
            for (int i = 0; i < WorkerCount; i++)
            {
                Console.WriteLine($"worker {i + 1}: Fib({FirstArgument + i}) = {results[i]}");
                total += results[i];
            }

            long bytes = Allocator.Fill(20000);
            Console.WriteLine($"allocated 20000 items, {bytes} bytes");

            Console.WriteLine(Faults.ThrowAndCatch());
            Console.WriteLine($"total {total}");
        }
    }

    public static class Worker
    {
        public static int BusyMilliseconds;

        [MethodImpl(MethodImplOptions.NoInlining)]
        public static int Compute(int n)
        {
            int result = Fib(n);
            if (BusyMilliseconds > 0)
            {
                // The clock is read once per 64 computations: a sample finds the thread in Fib,
                // not at its return from reading the clock.
                long until = Environment.TickCount64 + BusyMilliseconds;
                while (Environment.TickCount64 < until)
                {
                    for (int i = 0; i < 64; i++)
                    {
                        result = Fib(n);
                    }
                }
            }
            return result;
        }

        [MethodImpl(MethodImplOptions.NoInlining)]
        public static int Fib(int n)
        {
            return n < 2 ? n : Fib(n - 1) + Fib(n - 2);
        }
    }

    public static class Allocator
    {
        public const int ItemSize = 64;
        public static int HoldMilliseconds;

        [MethodImpl(MethodImplOptions.NoInlining)]
        public static long Fill(int count)
        {
            var items = new List<byte[]>(count);
            for (int i = 0; i < count; i++)
            {
                items.Add(MakeItem(i));
            }
            long bytes = 0;
            foreach (byte[] item in items)
            {
                bytes += item.Length;
            }
            if (HoldMilliseconds > 0)
            {
                Thread.Sleep(HoldMilliseconds);
                GC.KeepAlive(items);
            }
            return bytes;
        }

        [MethodImpl(MethodImplOptions.NoInlining)]
        public static byte[] MakeItem(int seed)
        {
            var item = new byte[ItemSize];
            item[0] = (byte)seed;
            return item;
        }
    }

    public static class Faults
    {
        [MethodImpl(MethodImplOptions.NoInlining)]
        public static string ThrowAndCatch()
        {
            try
            {
                Fail();
                return "no exception";
            }
            catch (InvalidOperationException e)
            {
                return "caught InvalidOperationException: " + e.Message;
            }
        }

        [MethodImpl(MethodImplOptions.NoInlining)]
        public static void Fail()
        {
            throw new InvalidOperationException("sample failure");
        }
    }
}
