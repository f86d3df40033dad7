// A program whose heap has a shape known from this source, for the memory profiler's end-to-end
// tests. It builds the heap, keeps it alive through static fields, and (when the test asks, see
// below) waits while the heap is dumped. Its output and exit code are the same on every run.
//
// Live objects of its own classes while it waits (namespace HeapShape):
//   Leaf             1000   all held by Roots.Leaves (a Leaf[1000], element i holds the Leaf with
//                           Value i); ListNode i's Payload is Leaves[i]
//   ListNode          100   a linked list from Roots.ListHead through ListNode.Next (99 links)
//   Holder<Pair>        1   Roots.PairHolder; its Item.First is Leaves[0]
//   Holder<String>      1   Roots.TextHolder; its Item is a string (no field of ours follows it)
//   Pair (boxed)        1   Roots.BoxedPair; its First is Leaves[1]
//   Marker              1   held by the static field Roots.Marker only
//   Finalizable         1   Roots.Kept; 5 more were dropped before the wait and are queued for
//                           finalisation by the next collection
//   Int32[5000]         1   Roots.Numbers
//
// One collection (GC.Collect) runs before the heap is built.
// Allocations made by Sampler.Allocate: 700 Sampled objects, one after the other.
//
// The test's environment variables:
//   HEAPSHAPE_READY  a file the program creates once its heap is built
//   HEAPSHAPE_GO     a file the program waits for (every 20 ms) before it exits
//   HEAPSHAPE_API    "1": the program asks the profiler for a dump itself, through the library
//                    named by QUORVELAN_PROFILER_LIBRARY, right after its heap is built
//
// Output (standard output, exactly these lines) and exit code 5:
//   leaves 1000, sum 499500
//   list 100, payload sum 4950
//   sampled 700
using System;
using System.IO;
using System.Runtime.CompilerServices;
using System.Runtime.InteropServices;
using System.Threading;

namespace HeapShape
{
    public sealed class Leaf
    {
        public int Value;

        public Leaf(int value)
        {
            Value = value;
        }
    }

    public sealed class ListNode
    {
        public ListNode? Next;
        public Leaf Payload;

        public ListNode(ListNode? next, Leaf payload)
        {
            Next = next;
            Payload = payload;
        }
    }

    public struct Pair
    {
        public Leaf First;
        public int Count;
    }

    public sealed class Holder<T>
    {
        public T Item;

        public Holder(T item)
        {
            Item = item;
        }
    }

    public sealed class Marker
    {
        public long Stamp = 42;
    }

    public sealed class Finalizable
    {
        public static int Finalized;

        ~Finalizable()
        {
            Interlocked.Increment(ref Finalized);
        }
    }

    public sealed class Sampled
    {
        public long A;
        public long B;
    }

    public static class Roots
    {
        public static Leaf[]? Leaves;
        public static ListNode? ListHead;
        public static Holder<Pair>? PairHolder;
        public static Holder<string>? TextHolder;
        public static object? BoxedPair;
        public static Marker? Marker;
        public static Finalizable? Kept;
        public static int[]? Numbers;
    }

    public static class Program
    {
        public const int ExitCode = 5;
        public const int LeafCount = 1000;
        public const int ListLength = 100;
        public const int SampleCount = 700;

        [MethodImpl(MethodImplOptions.NoInlining)]
        public static int Main()
        {
            // A collection before the heap is built: no dump asked for it.
            GC.Collect();
            Build();
            DropFinalizables();
            string? ready = Environment.GetEnvironmentVariable("HEAPSHAPE_READY");
            if (Environment.GetEnvironmentVariable("HEAPSHAPE_API") == "1")
            {
                Api.Dump();
            }
            int sampled = Sampler.Allocate(SampleCount);
            if (!string.IsNullOrEmpty(ready))
            {
                File.WriteAllText(ready, "ready");
            }
            string? go = Environment.GetEnvironmentVariable("HEAPSHAPE_GO");
            while (!string.IsNullOrEmpty(go) && !File.Exists(go))
            {
                Thread.Sleep(20);
            }
            Report(sampled);
            return ExitCode;
        }

        [MethodImpl(MethodImplOptions.NoInlining)]
        private static void Build()
        {
            var leaves = new Leaf[LeafCount];
            for (int i = 0; i < LeafCount; i++)
            {
                leaves[i] = new Leaf(i);
            }
            Roots.Leaves = leaves;
            ListNode? head = null;
            for (int i = ListLength - 1; i >= 0; i--)
            {
                head = new ListNode(head, leaves[i]);
            }
            Roots.ListHead = head;
            Roots.PairHolder = new Holder<Pair>(new Pair { First = leaves[0], Count = 1 });
            Roots.TextHolder = new Holder<string>(new string('x', 3));
            Roots.BoxedPair = new Pair { First = leaves[1], Count = 2 };
            Roots.Marker = new Marker();
            Roots.Kept = new Finalizable();
            Roots.Numbers = new int[5000];
        }

        [MethodImpl(MethodImplOptions.NoInlining)]
        private static void DropFinalizables()
        {
            for (int i = 0; i < 5; i++)
            {
                GC.KeepAlive(new Finalizable());
            }
        }

        private static void Report(int sampled)
        {
            long sum = 0;
            Leaf[] leaves = Roots.Leaves!;
            foreach (Leaf leaf in leaves)
            {
                sum += leaf.Value;
            }
            Console.WriteLine($"leaves {leaves.Length}, sum {sum}");
            int length = 0;
            long payloads = 0;
            for (ListNode? node = Roots.ListHead; node != null; node = node.Next)
            {
                length++;
                payloads += node.Payload.Value;
            }
            Console.WriteLine($"list {length}, payload sum {payloads}");
            Console.WriteLine($"sampled {sampled}");
            GC.KeepAlive(Roots.PairHolder);
            GC.KeepAlive(Roots.TextHolder);
            GC.KeepAlive(Roots.BoxedPair);
            GC.KeepAlive(Roots.Marker);
            GC.KeepAlive(Roots.Kept);
            GC.KeepAlive(Roots.Numbers);
        }
    }

    public static class Sampler
    {
        [MethodImpl(MethodImplOptions.NoInlining)]
        public static int Allocate(int count)
        {
            int made = 0;
            for (int i = 0; i < count; i++)
            {
                var sampled = new Sampled { A = i };
                made += sampled.A >= 0 ? 1 : 0;
            }
            return made;
        }
    }

    // The memory profiler's API export, called through the profiler library the runtime loaded.
    public static unsafe class Api
    {
        [MethodImpl(MethodImplOptions.NoInlining)]
        public static uint Dump()
        {
            string? path = Environment.GetEnvironmentVariable("QUORVELAN_PROFILER_LIBRARY");
            if (string.IsNullOrEmpty(path) || !NativeLibrary.TryLoad(path, out IntPtr library))
            {
                return 0xFFFFFFFF;
            }
            var dump = (delegate* unmanaged<uint>)NativeLibrary.GetExport(library, "MemoryProfiler_Dump");
            return dump();
        }
    }
}
