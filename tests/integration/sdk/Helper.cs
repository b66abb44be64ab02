// Veltrane.Helper stand-in: shared file helpers the other assemblies use.
using System.IO;

namespace Veltrane.Helper
{
    public static class TextFiles
    {
        // The lines of a file of ours: its first line must be `magic`.
        public static string[] Read(string path, string magic)
        {
            string[] lines = File.ReadAllLines(path);
            if (lines.Length == 0 || lines[0] != magic)
                throw new InvalidDataException("'" + path + "' is not a valid file of its kind.");
            return lines;
        }

        // The value of the first "key value" line; null when there is none.
        public static string Value(string[] lines, string key)
        {
            foreach (string line in lines)
                if (line.StartsWith(key + " ")) return line.Substring(key.Length + 1);
            return null;
        }
    }
}
