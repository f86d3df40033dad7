// A program whose call counts are known from its source, for the tracing profiler's end-to-end
// tests. No call below is in tail position and none may be inlined, so each call in the source is
// one call of the function in the runtime.
//
// Main thread ("main"), in Program.Main:
//   Calls.Recurse(20), 10 times: Recurse runs 21 deep, 210 calls in all.
//   Calls.Caller, 1000 times: each calls Calls.Leaf twice (2000 calls).
//   Throwing.Catcher, 5 times: Catcher calls Middle, Middle calls Thrower, Thrower throws, and
//     Catcher catches (the exception is thrown three frames down and caught two frames up).
//   Throwing.Reflected, 5 times: calls Throwing.Rejecter through reflection, so the exception
//     passes through the runtime's own invoke code; after catching it Reflected calls Confirm.
//   Collector.ForceCollections: three forced collections while the "spinner" thread runs
//     Spinner.Step in a loop.
// Threads "worker-1", "worker-2", "worker-3" (Workers.WorkerMain): Calls.Caller 100, 200 and 300
//   times.
//
// Output (standard output, exactly these lines) and exit code 4:
//   recursion 2310
//   callers 1000 leaves 2000
//   caught 5 reflected 5
//   workers 600
//   collections 3
using System;
using System.Reflection;
using System.Runtime.CompilerServices;
using System.Threading;

namespace TracingLoad
{
    public static class Program
    {
        public const int ExitCode = 4;

        [MethodImpl(MethodImplOptions.NoInlining)]
        public static int Main(string[] args)
        {
            Thread.CurrentThread.Name = "main";
            long recursion = 0;
            for (int i = 0; i < 10; i++)
            {
                recursion += Calls.Recurse(20);
            }
            Console.WriteLine($"recursion {recursion}");

            long leaves = 0;
            for (int i = 0; i < 1000; i++)
            {
                leaves += Calls.Caller(i);
            }
            Console.WriteLine($"callers 1000 leaves {leaves}");

            int caught = 0;
            for (int i = 0; i < 5; i++)
            {
                caught += Throwing.Catcher(i);
            }
            int reflected = 0;
            for (int i = 0; i < 5; i++)
            {
                reflected += Throwing.Reflected(i);
            }
            Console.WriteLine($"caught {caught} reflected {reflected}");

            Console.WriteLine($"workers {Workers.Run()}");
            Console.WriteLine($"collections {Collector.ForceCollections(3)}");
            return ExitCode;
        }
    }

    public static class Calls
    {
        [MethodImpl(MethodImplOptions.NoInlining)]
        public static long Recurse(int depth)
        {
            if (depth == 0)
            {
                return 1;
            }
            return Recurse(depth - 1) + depth + 1;
        }

        // Returns 2: the number of Leaf calls it made.
        [MethodImpl(MethodImplOptions.NoInlining)]
        public static long Caller(int i)
        {
            long value = Leaf(i) + Leaf(i + 1);
            return value == 2 * i + 1 ? 2 : -1000000;
        }

        [MethodImpl(MethodImplOptions.NoInlining)]
        public static long Leaf(int i)
        {
            return i;
        }
    }

    public static class Throwing
    {
        [MethodImpl(MethodImplOptions.NoInlining)]
        public static int Catcher(int i)
        {
            try
            {
                return Middle(i) - 1000;
            }
            catch (InvalidOperationException)
            {
                return 1;
            }
        }

        // Returns 1 when the exception came back through reflection.
        [MethodImpl(MethodImplOptions.NoInlining)]
        public static int Reflected(int i)
        {
            try
            {
                typeof(Throwing).GetMethod(nameof(Rejecter))!.Invoke(null, new object[] { i });
                return -1000;
            }
            catch (TargetInvocationException)
            {
                return Confirm(i);
            }
        }

        [MethodImpl(MethodImplOptions.NoInlining)]
        public static int Rejecter(int i)
        {
            throw new InvalidOperationException("rejected " + i);
        }

        [MethodImpl(MethodImplOptions.NoInlining)]
        public static int Confirm(int i)
        {
            return i >= 0 ? 1 : 0;
        }

        [MethodImpl(MethodImplOptions.NoInlining)]
        public static int Middle(int i)
        {
            int value = Thrower(i);
            return value + 1;
        }

        [MethodImpl(MethodImplOptions.NoInlining)]
        public static int Thrower(int i)
        {
            if (i >= 0)
            {
                throw new InvalidOperationException("thrown on purpose");
            }
            return i;
        }
    }

    public static class Workers
    {
        // The total of Caller calls made by the three workers.
        [MethodImpl(MethodImplOptions.NoInlining)]
        public static long Run()
        {
            var threads = new Thread[3];
            var results = new long[3];
            for (int w = 0; w < 3; w++)
            {
                int index = w;
                threads[w] = new Thread(() => results[index] = WorkerMain(100 * (index + 1)));
                threads[w].Name = $"worker-{w + 1}";
                threads[w].Start();
            }
            foreach (Thread thread in threads)
            {
                thread.Join();
            }
            return (results[0] + results[1] + results[2]) / 2;
        }

        [MethodImpl(MethodImplOptions.NoInlining)]
        public static long WorkerMain(int calls)
        {
            long leaves = 0;
            for (int i = 0; i < calls; i++)
            {
                leaves += Calls.Caller(i);
            }
            return leaves;
        }
    }

    public static class Spinner
    {
        public static volatile bool Running;
        public static volatile bool Stop;

        [MethodImpl(MethodImplOptions.NoInlining)]
        public static void SpinnerMain()
        {
            long value = 0;
            Running = true;
            while (!Stop)
            {
                value += Step(value);
            }
            GC.KeepAlive(value);
        }

        [MethodImpl(MethodImplOptions.NoInlining)]
        public static long Step(long value)
        {
            return (value & 7) + 1;
        }
    }

    public static class Collector
    {
        // Forces `count` collections while the spinner runs; returns how many were made.
        [MethodImpl(MethodImplOptions.NoInlining)]
        public static int ForceCollections(int count)
        {
            var spinner = new Thread(Spinner.SpinnerMain) { Name = "spinner" };
            spinner.Start();
            while (!Spinner.Running)
            {
                Thread.Yield();
            }
            int before = GC.CollectionCount(0);
            for (int i = 0; i < count; i++)
            {
                Collect();
            }
            Spinner.Stop = true;
            spinner.Join();
            return Math.Min(GC.CollectionCount(0) - before, count);
        }

        [MethodImpl(MethodImplOptions.NoInlining)]
        public static void Collect()
        {
            GC.Collect();
            GC.WaitForPendingFinalizers();
        }
    }
}
