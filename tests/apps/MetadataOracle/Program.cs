// Prints what reflection calls every type, method and constructor an assembly declares, so the
// end-to-end tests can compare the controller's names, read from the raw metadata, with them.
//
// Usage: dotnet MetadataOracle.dll <assembly path> | corelib
//   ("corelib" reads the core library this runtime itself loaded.)
//
// Output (UTF-8, "\n" line ends):
//   #\t<path of the assembly file that was read>
//   <token, 8 upper-case hex digits>\t<Type.FullName>                   one per type
//   <token, 8 upper-case hex digits>\t<Type.FullName>::<MethodBase.Name> one per method or constructor
// Types whose FullName is null are left out. A type whose members cannot be listed is reported on
// standard error and its members left out.
using System;
using System.IO;
using System.Reflection;
using System.Text;

namespace MetadataOracle
{
    public static class Program
    {
        private const BindingFlags Declared = BindingFlags.DeclaredOnly | BindingFlags.Public |
                                               BindingFlags.NonPublic | BindingFlags.Instance |
                                               BindingFlags.Static;

        public static int Main(string[] args)
        {
            if (args.Length != 1)
            {
                Console.Error.WriteLine("usage: MetadataOracle <assembly path> | corelib");
                return 2;
            }
            Assembly assembly = args[0] == "corelib" ? typeof(object).Assembly : Assembly.LoadFrom(args[0]);

            using var output = new StreamWriter(Console.OpenStandardOutput(), new UTF8Encoding(false));
            output.NewLine = "\n";
            output.WriteLine("#\t" + assembly.Location);
            foreach (Type? type in LoadTypes(assembly))
            {
                if (type?.FullName == null)
                {
                    continue;
                }
                output.WriteLine($"{type.MetadataToken:X8}\t{type.FullName}");
                try
                {
                    foreach (MethodBase method in type.GetMethods(Declared))
                    {
                        output.WriteLine($"{method.MetadataToken:X8}\t{type.FullName}::{method.Name}");
                    }
                    foreach (MethodBase constructor in type.GetConstructors(Declared))
                    {
                        output.WriteLine($"{constructor.MetadataToken:X8}\t{type.FullName}::{constructor.Name}");
                    }
                }
                catch (Exception e)
                {
                    Console.Error.WriteLine($"members of {type.FullName}: {e.GetType().Name}: {e.Message}");
                }
            }
            return 0;
        }

        // The types that loaded, when some of them cannot.
        private static Type?[] LoadTypes(Assembly assembly)
        {
            try
            {
                return assembly.GetTypes();
            }
            catch (ReflectionTypeLoadException e)
            {
                Console.Error.WriteLine($"{e.Types.Length} types, some failed to load");
                return e.Types;
            }
        }
    }
}
