// Managed functions whose arguments and return values occupy every argument and return register
// (integers, floating point, small structs split across registers, vectors), with recursion,
// exceptions thrown through several frames and two threads. The end-to-end tests run it with
// enter/leave hooks whose targets destroy every register they may; the output (a checksum per
// part and in total) and the exit code must equal those of a run without hooks.
//
// Every function is compiled optimised at once and never inlined, so arguments stay in their
// registers across the enter hook and results across the leave hook.
//
// Calls made by one run, by function (class Program):
//   Fib          21891   Fib(20) once: 2*F(21)-1 calls, each left normally
//   Catcher        100   each returns normally
//   Level1         100   each left by the exception Level3 throws (no leave)
//   Level2         100   likewise
//   Level3         100   throws InvalidOperationException, caught in Catcher
//
// Output: seven lines "<part>: <hex checksum>"; exit code 3.
using System;
using System.Numerics;
using System.Runtime.CompilerServices;
using System.Runtime.Intrinsics;
using System.Threading;

namespace RegisterProof;

public struct Big
{
    public long A;
    public long B;
    public long C;
    public double D;
}

public sealed class Hash
{
    private ulong m_Value = 14695981039346656037UL;

    public ulong Value => m_Value;

    public void Add(long value)
    {
        for (int i = 0; i < 8; ++i)
        {
            m_Value = (m_Value ^ (byte)(value >> (8 * i))) * 1099511628211UL;
        }
    }

    public void Add(double value) => Add(BitConverter.DoubleToInt64Bits(value));
    public void Add(float value) => Add((long)BitConverter.SingleToInt32Bits(value));
    public void Add(decimal value) => Add(value.GetHashCode() ^ (long)(value * 1000m));
}

public static class Program
{
    private const MethodImplOptions Hooked =
        MethodImplOptions.NoInlining | MethodImplOptions.AggressiveOptimization;

    // ---- Integer and floating-point arguments beyond the registers
    [MethodImpl(Hooked)]
    public static double ManyArgs(int a, long b, double c, float d, short e, double f, long g,
                                  float h, byte i, double j, int k, double l, long m, float n,
                                  double o, int p, double q, float r)
    {
        return a * 1.0 + b * 3.0 + c * 5.0 + d * 7.0 + e * 11.0 + f * 13.0 + g * 17.0 + h * 19.0 +
               i * 23.0 + j * 29.0 + k * 31.0 + l * 37.0 + m * 41.0 + n * 43.0 + o * 47.0 +
               p * 53.0 + q * 59.0 + r * 61.0;
    }

    [MethodImpl(Hooked)]
    public static long ManyLongs(long a, long b, long c, long d, long e, long f, long g, long h)
    {
        return a - 2 * b + 3 * c - 5 * d + 7 * e - 11 * f + 13 * g - 17 * h;
    }

    [MethodImpl(Hooked)]
    public static float ManyFloats(float a, float b, float c, float d, float e, float f, float g,
                                   float h, float i, float j)
    {
        return a * b - c * d + e * f - g * h + i / j;
    }

    // ---- Small structs in one or two registers, and returned through a buffer
    [MethodImpl(Hooked)]
    public static Vector2 AddScaled(Vector2 a, Vector2 b, float s) => a + b * s;

    [MethodImpl(Hooked)]
    public static Vector3 CrossScaled(Vector3 a, Vector3 b, double w) =>
        Vector3.Cross(a, b) * (float)w;

    [MethodImpl(Hooked)]
    public static Vector4 Lerp4(Vector4 a, Vector4 b, float t) => Vector4.Lerp(a, b, t);

    [MethodImpl(Hooked)]
    public static decimal DecimalMath(decimal a, decimal b, int c) => a * c + b / (c + 1);

    [MethodImpl(Hooked)]
    public static (long, double) LongAndDouble(long a, double b, (int, float) c) =>
        (a * c.Item1, b * c.Item2);

    [MethodImpl(Hooked)]
    public static (double, double) TwoDoubles(double a, double b) => (a + b, a - b);

    [MethodImpl(Hooked)]
    public static (long, long) TwoLongs(long a, long b) => (a * b, a ^ b);

    [MethodImpl(Hooked)]
    public static Big MakeBig(long a, double d, long b) =>
        new Big { A = a, B = a * b, C = b - a, D = d * a };

    // ---- Vectors
    [MethodImpl(Hooked)]
    public static Vector128<float> Fma128(Vector128<float> a, Vector128<float> b, float s) =>
        a * b + Vector128.Create(s);

    [MethodImpl(Hooked)]
    public static Vector256<double> Mix256(Vector256<double> a, Vector256<double> b, double s) =>
        a * Vector256.Create(s) - b;

    [MethodImpl(Hooked)]
    public static Vector128<long> Shuffle128(Vector128<long> a, long b) =>
        Vector128.Create(a.GetElement(1) + b, a.GetElement(0) - b);

    // ---- Recursion
    [MethodImpl(Hooked)]
    public static int Fib(int n) => n < 2 ? n : Fib(n - 1) + Fib(n - 2);

    [MethodImpl(Hooked)]
    public static double Descend(int depth, double acc, float f, long l, Vector2 v)
    {
        if (depth == 0)
        {
            return acc + f + l + v.X - v.Y;
        }
        double below = Descend(depth - 1, acc * 1.01 + depth, f * 0.5f, l * 3 + depth,
                               v + new Vector2(depth, -depth));
        return below * 0.5 + acc - f;
    }

    // ---- Exceptions through hooked frames
    [MethodImpl(Hooked)]
    public static double Catcher(int i, double x)
    {
        double before = x * 3 + i;
        try
        {
            return Level1(i, x, 1.5f);
        }
        catch (InvalidOperationException e)
        {
            return before + e.Message.Length;
        }
    }

    [MethodImpl(Hooked)]
    public static double Level1(int i, double x, float f) => Level2(i * 2L, x + f, new Vector2(f, i)) + 1;

    [MethodImpl(Hooked)]
    public static double Level2(long l, double x, Vector2 v) => Level3(l, x * v.X, v.Y) * 2;

    [MethodImpl(Hooked)]
    public static double Level3(long l, double x, float y)
    {
        if (l >= 0)
        {
            throw new InvalidOperationException("failure " + (l + (long)x + (long)y));
        }
        return x;
    }

    // ---- Parts
    [MethodImpl(Hooked)]
    public static ulong Mixed(int seed)
    {
        var hash = new Hash();
        for (int i = 0; i < 200; ++i)
        {
            int s = seed + i;
            hash.Add(ManyArgs(s, s * 3L, s * 0.25, s * 0.5f, (short)s, -s * 1.5, s * 7L, s / 3f,
                              (byte)s, s * 2.25, -s, s * 0.125, s * 11L, s * 1.75f, s * 4.5, s + 9,
                              s * -0.75, s * 0.0625f));
            hash.Add(ManyLongs(s, s + 1, s + 2, s * 3, s * 5, -s, s << 4, s >> 1));
            hash.Add(ManyFloats(s, s * 0.5f, 1.25f, s, 2, s * 0.1f, 3, 4, s, s + 1));
        }
        return hash.Value;
    }

    [MethodImpl(Hooked)]
    public static ulong Structs(int seed)
    {
        var hash = new Hash();
        for (int i = 0; i < 200; ++i)
        {
            int s = seed + i;
            Vector2 v2 = AddScaled(new Vector2(s, s * 0.5f), new Vector2(-s, 2), 0.75f);
            hash.Add(v2.X);
            hash.Add(v2.Y);
            Vector3 v3 = CrossScaled(new Vector3(s, 1, 2), new Vector3(3, s, 5), s * 0.5);
            hash.Add(v3.X);
            hash.Add(v3.Y);
            hash.Add(v3.Z);
            Vector4 v4 = Lerp4(new Vector4(s, 1, 2, 3), new Vector4(4, 5, s, 7), 0.25f);
            hash.Add(v4.X + v4.Y * 2 + v4.Z * 3 + v4.W * 4);
            hash.Add(DecimalMath(s * 1.5m, 7.25m, s));
            (long l, double d) = LongAndDouble(s, s * 0.5, (s + 1, s * 0.25f));
            hash.Add(l);
            hash.Add(d);
            (double sum, double difference) = TwoDoubles(s * 1.25, s * 0.75);
            hash.Add(sum);
            hash.Add(difference);
            (long product, long xor) = TwoLongs(s * 31L, s + 17L);
            hash.Add(product);
            hash.Add(xor);
            Big big = MakeBig(s, s * 0.3, s + 5);
            hash.Add(big.A + big.B + big.C);
            hash.Add(big.D);
        }
        return hash.Value;
    }

    [MethodImpl(Hooked)]
    public static ulong Vectors(int seed)
    {
        var hash = new Hash();
        for (int i = 0; i < 200; ++i)
        {
            int s = seed + i;
            Vector128<float> f = Fma128(Vector128.Create(s, 1f, 2f, 3f),
                                        Vector128.Create(0.5f, s, 4f, -1f), s * 0.25f);
            for (int e = 0; e < 4; ++e)
            {
                hash.Add(f.GetElement(e));
            }
            Vector256<double> d = Mix256(Vector256.Create(s, 1.5, -2.0, 3.25),
                                         Vector256.Create(0.5, s * 2.0, 4.0, -1.0), s * 0.125);
            for (int e = 0; e < 4; ++e)
            {
                hash.Add(d.GetElement(e));
            }
            Vector128<long> l = Shuffle128(Vector128.Create((long)s, s * 7L), s + 3L);
            hash.Add(l.GetElement(0));
            hash.Add(l.GetElement(1));
        }
        return hash.Value;
    }

    [MethodImpl(Hooked)]
    public static ulong Recursion()
    {
        var hash = new Hash();
        hash.Add(Fib(20));
        for (int i = 0; i < 20; ++i)
        {
            hash.Add(Descend(30 + i, i * 0.5, i * 0.25f, i, new Vector2(i, 1)));
        }
        return hash.Value;
    }

    [MethodImpl(Hooked)]
    public static ulong Exceptions()
    {
        var hash = new Hash();
        for (int i = 0; i < 100; ++i)
        {
            hash.Add(Catcher(i, i * 0.5));
        }
        return hash.Value;
    }

    [MethodImpl(Hooked)]
    public static ulong Threads()
    {
        var results = new ulong[2];
        var threads = new Thread[2];
        for (int t = 0; t < 2; ++t)
        {
            int index = t;
            threads[t] = new Thread(() => results[index] = Mixed(1000 * (index + 1)) ^
                                                           Structs(77 * index) ^
                                                           Vectors(5 + index));
            threads[t].Start();
        }
        foreach (Thread thread in threads)
        {
            thread.Join();
        }
        return results[0] * 31 + results[1];
    }

    public static int Main()
    {
        var total = new Hash();
        (string, ulong)[] parts =
        {
            ("mixed", Mixed(1)),
            ("structs", Structs(3)),
            ("vectors", Vectors(7)),
            ("recursion", Recursion()),
            ("exceptions", Exceptions()),
            ("threads", Threads()),
        };
        foreach ((string name, ulong value) in parts)
        {
            Console.WriteLine($"{name}: {value:X16}");
            total.Add((long)value);
        }
        Console.WriteLine($"total: {total.Value:X16}");
        return 3;
    }
}
