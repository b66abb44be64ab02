// Veltrane.SDK stand-in: the application object, its settings controller,
// the application modules and the class inspector.
using System;
using System.Collections;
using System.Collections.Generic;
using System.IO;
using System.Linq;
using System.Reflection;
using System.Text;

namespace Veltrane.SDK
{
    public enum VeltraneModule { Tubrolis = 0, Trabexon = 1 }

    // What a solution holds on to until it is disposed.
    public interface ISolver : IDisposable
    {
        string ResultFile { get; }
    }

    public class VeltraneApplication
    {
        public VeltraneApplication() { }

        public string Name { get { return "Tubrolis"; } }

        public SettingsController GetSettingsController()
        {
            return new SettingsController(SettingsController.SettingsFile());
        }
    }

    // Answers from the application's settings file, read afresh at every call.
    public class SettingsController
    {
        const string WindowsSettingsDirectory = @"C:\ProgramData\Veltrane\Tubrolis\Settings";
        readonly string path;

        internal SettingsController(string path) { this.path = path; }

        // The settings directory can be moved with VELTRANE_SETTINGS_DIRECTORY
        // (installations laid out for tests on machines without C:\ProgramData).
        internal static string SettingsFile()
        {
            string directory = Environment.GetEnvironmentVariable("VELTRANE_SETTINGS_DIRECTORY");
            return Path.Combine(string.IsNullOrEmpty(directory) ? WindowsSettingsDirectory : directory,
                                "Tubrolis.settings");
        }

        public string SettingsFileName { get { return path; } }

        // The last value of setting `name` in any sub-family of `family`; null when absent.
        public object GetSettingValue(string family, string name)
        {
            if (family == null) throw new ArgumentNullException("family");
            if (name == null) throw new ArgumentNullException("name");
            var document = (IDictionary<string, object>)Json.Read(File.ReadAllText(path, Encoding.UTF8));
            object value = null;
            foreach (var fam in Items(document, "Families").Where(f => Equals(f["Name"], family)))
                foreach (var sub in Items(fam, "SubFamilies"))
                    foreach (var setting in Items(sub, "Settings").Where(s => Equals(s["Name"], name)))
                        value = setting["Value"];
            return value;
        }

        static IEnumerable<IDictionary<string, object>> Items(IDictionary<string, object> owner, string key)
        {
            object list;
            if (!owner.TryGetValue(key, out list) || !(list is IEnumerable)) yield break;
            foreach (var item in (IEnumerable)list)
                if (item is IDictionary<string, object>) yield return (IDictionary<string, object>)item;
        }
    }

    // JSON as the application reads and writes it, on every runtime: objects
    // are dictionaries, arrays lists, numbers int, long or double.
    internal static class Json
    {
        public static object Read(string text)
        {
            int at = 0;
            object value = Value(text, ref at);
            Blanks(text, ref at);
            if (at != text.Length) throw Invalid(at);
            return value;
        }

        public static string Write(object value)
        {
            var text = new StringBuilder();
            Write(text, value);
            return text.ToString();
        }

        static void Write(StringBuilder text, object value)
        {
            if (value == null) text.Append("null");
            else if (value is string) Quote(text, (string)value);
            else if (value is bool) text.Append((bool)value ? "true" : "false");
            else if (value is IDictionary<string, object>)
            {
                text.Append('{');
                string separator = "";
                foreach (var pair in (IDictionary<string, object>)value)
                {
                    text.Append(separator);
                    Quote(text, pair.Key);
                    text.Append(':');
                    Write(text, pair.Value);
                    separator = ",";
                }
                text.Append('}');
            }
            else if (value is IEnumerable)
            {
                text.Append('[');
                string separator = "";
                foreach (object item in (IEnumerable)value)
                {
                    text.Append(separator);
                    Write(text, item);
                    separator = ",";
                }
                text.Append(']');
            }
            else text.Append(Convert.ToString(value, System.Globalization.CultureInfo.InvariantCulture));
        }

        static void Quote(StringBuilder text, string value)
        {
            text.Append('"');
            foreach (char c in value)
            {
                if (c == '"' || c == '\\') text.Append('\\').Append(c);
                else if (c < ' ') text.Append("\\u").Append(((int)c).ToString("x4"));
                else text.Append(c);
            }
            text.Append('"');
        }

        static void Blanks(string text, ref int at)
        {
            while (at < text.Length && char.IsWhiteSpace(text[at])) at++;
        }

        static FormatException Invalid(int at)
        {
            return new FormatException("Invalid JSON primitive at position " + at + ".");
        }

        static object Value(string text, ref int at)
        {
            Blanks(text, ref at);
            if (at == text.Length) throw Invalid(at);
            char c = text[at];
            if (c == '{')
            {
                var found = new Dictionary<string, object>();
                for (at++; Next(text, ref at, '}', found.Count);)
                {
                    Blanks(text, ref at);
                    string key = Value(text, ref at) as string;
                    Blanks(text, ref at);
                    if (key == null || at == text.Length || text[at++] != ':') throw Invalid(at);
                    found[key] = Value(text, ref at);
                }
                return found;
            }
            if (c == '[')
            {
                var found = new List<object>();
                for (at++; Next(text, ref at, ']', found.Count);) found.Add(Value(text, ref at));
                return found;
            }
            if (c == '"') return String(text, ref at);
            foreach (var word in new[] { "true", "false", "null" })
                if (string.CompareOrdinal(text, at, word, 0, word.Length) == 0)
                {
                    at += word.Length;
                    return word == "null" ? null : (object)(word == "true");
                }
            int start = at;
            while (at < text.Length && "+-.0123456789eE".IndexOf(text[at]) >= 0) at++;
            string number = text.Substring(start, at - start);
            var invariant = System.Globalization.CultureInfo.InvariantCulture;
            int small;
            long large;
            double real;
            if (int.TryParse(number, System.Globalization.NumberStyles.AllowLeadingSign, invariant, out small)) return small;
            if (long.TryParse(number, System.Globalization.NumberStyles.AllowLeadingSign, invariant, out large)) return large;
            if (double.TryParse(number, System.Globalization.NumberStyles.Float, invariant, out real)) return real;
            throw Invalid(start);
        }

        // Past the separator before the next member; false at the closing bracket.
        static bool Next(string text, ref int at, char closing, int count)
        {
            Blanks(text, ref at);
            if (at < text.Length && text[at] == closing) { at++; return false; }
            if (count > 0 && (at == text.Length || text[at++] != ',')) throw Invalid(at);
            return true;
        }

        static string String(string text, ref int at)
        {
            var found = new StringBuilder();
            for (at++; at < text.Length; at++)
            {
                char c = text[at];
                if (c == '"') { at++; return found.ToString(); }
                if (c != '\\') { found.Append(c); continue; }
                if (++at == text.Length) break;
                switch (text[at])
                {
                    case 'b': found.Append('\b'); break;
                    case 'f': found.Append('\f'); break;
                    case 'n': found.Append('\n'); break;
                    case 'r': found.Append('\r'); break;
                    case 't': found.Append('\t'); break;
                    case 'u':
                        if (at + 4 >= text.Length) throw Invalid(at);
                        found.Append((char)Convert.ToInt32(text.Substring(at + 1, 4), 16));
                        at += 4;
                        break;
                    default: found.Append(text[at]); break;
                }
            }
            throw Invalid(at);
        }
    }

    public static class VeltraneClassInspector
    {
        // The public properties and methods of an object's class, or of a class, as JSON.
        public static string ExportObjectToJson(object obj, bool indent)
        {
            if (obj == null) throw new ArgumentNullException("obj");
            Type type = obj as Type ?? obj.GetType();
            var flags = BindingFlags.Public | BindingFlags.Instance | BindingFlags.Static;
            var description = new Dictionary<string, object> {
                {"Name", type.Name}, {"FullName", type.FullName}, {"Namespace", type.Namespace},
                {"IsClass", obj is Type},
                {"Properties", type.GetProperties(flags).Select(p => new Dictionary<string, object> {
                    {"Name", p.Name}, {"Type", p.PropertyType.FullName}}).ToList()},
                {"Methods", type.GetMethods(flags).Where(m => !m.IsSpecialName).Select(m => new Dictionary<string, object> {
                    {"Name", m.Name}, {"ReturnType", m.ReturnType.FullName},
                    {"Parameters", m.GetParameters().Select(p => new Dictionary<string, object> {
                        {"Name", p.Name}, {"Type", p.ParameterType.FullName}}).ToList()}}).ToList()},
            };
            string json = Json.Write(description);
            return indent ? Indent(json) : json;
        }

        // Re-lays compact JSON out with two spaces per level.
        static string Indent(string json)
        {
            var text = new StringBuilder();
            int level = 0;
            bool quoted = false;
            for (int i = 0; i < json.Length; i++)
            {
                char c = json[i];
                if (quoted)
                {
                    text.Append(c);
                    if (c == '\\') text.Append(json[++i]);
                    else if (c == '"') quoted = false;
                    continue;
                }
                switch (c)
                {
                    case '"': quoted = true; text.Append(c); break;
                    case '{': case '[': level++; text.Append(c).Append('\n').Append(' ', 2 * level); break;
                    case '}': case ']': level--; text.Append('\n').Append(' ', 2 * level).Append(c); break;
                    case ',': text.Append(c).Append('\n').Append(' ', 2 * level); break;
                    case ':': text.Append(": "); break;
                    default: text.Append(c); break;
                }
            }
            return text.ToString();
        }

        // The namespace and assembly file of a class of the assemblies in `directory`; null when none holds it.
        public static Tuple<string, string> FindNamespaceAndAssemblyFromClassName(string directory, string className)
        {
            if (directory == null) throw new ArgumentNullException("directory");
            if (className == null) throw new ArgumentNullException("className");
            foreach (string file in Directory.GetFiles(directory, "*.dll").OrderBy(f => f, StringComparer.Ordinal))
            {
                Type[] types;
                try { types = Assembly.LoadFrom(file).GetExportedTypes(); }
                catch (BadImageFormatException) { continue; }
                foreach (Type type in types)
                    if (type.Name == className || type.FullName == className)
                        return Tuple.Create(type.Namespace, Path.GetFileName(file));
            }
            return null;
        }
    }
}

namespace Veltrane.SDK
{
    // What both solver front ends share: the solver executable, the warnings
    // switch and the result file. An executable of ours is a text file whose
    // first line names the solver; a "delay <milliseconds>" line makes every
    // run take that long.
    public abstract class SolverBase : ISolver
    {
        public const int Done = 0, SolverMissing = 2, NotThisSolver = 3, InputMissing = 4, ThfMissing = 8;

        readonly string solverPath;
        readonly string thfFileName;
        string resultFile;

        protected SolverBase(string solverPath, object model, string thfFileName)
        {
            if (solverPath == null) throw new ArgumentNullException("solverPath");
            if (model == null) throw new ArgumentNullException("model");
            this.solverPath = solverPath;
            this.thfFileName = thfFileName ?? "";
        }

        public bool IgnoreWarnings { get; set; }
        public bool IsDisposed { get; private set; }
        public string SolverPath { get { return solverPath; } }
        public string ThfFileName { get { return thfFileName; } }

        public string ResultFile
        {
            get { CheckAlive(); return resultFile; }
        }

        public void Dispose() { IsDisposed = true; }

        protected abstract string Kind { get; }

        protected void CheckAlive()
        {
            if (IsDisposed) throw new ObjectDisposedException(GetType().Name);
        }

        // Checks the executable and the .thf file and waits the executable's delay; 0 when the run may go on.
        protected int Start(string input)
        {
            CheckAlive();
            if (!File.Exists(solverPath)) return SolverMissing;
            string[] lines = File.ReadAllLines(solverPath);
            if (lines.Length == 0 || lines[0] != "VELTRANE-SOLVER " + Kind) return NotThisSolver;
            if (!File.Exists(input)) return InputMissing;
            if (thfFileName != "" && !File.Exists(thfFileName)) return ThfMissing;
            int delay;
            foreach (string line in lines)
                if (line.StartsWith("delay ") && int.TryParse(line.Substring(6), out delay))
                    System.Threading.Thread.Sleep(delay);
            return Done;
        }

        // Writes the result file beside `input`, with the culture the run worked in.
        protected void Finish(string input, string extension, IEnumerable<string> results)
        {
            string path = Path.ChangeExtension(input, extension);
            var culture = System.Threading.Thread.CurrentThread.CurrentCulture;
            File.WriteAllLines(path, new[] { "solver " + Kind, "culture " + culture.Name, "thf " + thfFileName }
                                         .Concat(results).ToArray());
            resultFile = path;
        }
    }
}
