// Veltrane.Tubrolis.Core stand-in: the model document (a tessel) and what
// hangs off it. A tessel file is text: a magic line, "module <kind>", then
// one "layer <name>" line per layer.
using System;
using System.Collections.Generic;
using System.IO;
using System.Linq;
using Veltrane.Helper;
using Veltrane.SDK;

namespace Veltrane.Tubrolis.Core
{
    public class Layer
    {
        public Layer(string name)
        {
            if (name == null) throw new ArgumentNullException("name");
            if (name == "") throw new ArgumentException("A layer name cannot be empty.", "name");
            Name = name;
        }

        public string Name { get; private set; }
    }

    public class LayerCollection
    {
        readonly List<Layer> layers = new List<Layer>();

        public int Count { get { return layers.Count; } }
        public Layer this[int index] { get { return layers[index]; } }

        public void Add(Layer layer)
        {
            if (layer == null) throw new ArgumentNullException("layer");
            if (layers.Any(l => l.Name == layer.Name))
                throw new ArgumentException("A layer named '" + layer.Name + "' already exists.");
            layers.Add(layer);
        }

        internal void Clear() { layers.Clear(); }
        internal IEnumerable<string> Names { get { return layers.Select(l => l.Name); } }
    }

    // The calculation code of a model: a class (not an interface) whose
    // subclasses say whether the model is a piping or a structure model.
    public abstract class CalculationCode
    {
        public abstract string Name { get; }
    }

    public class PipingCode : CalculationCode
    {
        public override string Name { get { return "Piping"; } }
    }

    public class StructureCode : CalculationCode
    {
        public override string Name { get { return "Structure"; } }
    }

    public class Model
    {
        internal const string Magic = "VELTRANE-TESSEL 1";
        readonly LayerCollection layers = new LayerCollection();

        // A new model holds no layer.
        public Model() : this(VeltraneModule.Tubrolis) { }
        public Model(VeltraneModule module) { Module = module; }

        public VeltraneModule Module { get; private set; }
        public LayerCollection Layers { get { return layers; } }
        public string FileName { get; private set; }

        public CalculationCode CalculationCode
        {
            get { return Module == VeltraneModule.Tubrolis ? (CalculationCode)new PipingCode() : new StructureCode(); }
        }

        public void LoadFromFile(string fileName)
        {
            string[] lines = TextFiles.Read(RequirePath(fileName, "fileName"), Magic);
            VeltraneModule module;
            if (!Enum.TryParse(TextFiles.Value(lines, "module"), out module))
                throw new InvalidDataException("'" + fileName + "' names no application module.");
            Module = module;
            layers.Clear();
            foreach (string line in lines.Where(l => l.StartsWith("layer ")))
                layers.Add(new Layer(line.Substring("layer ".Length)));
            FileName = fileName;
        }

        public void SaveToFile(string fileName)
        {
            File.WriteAllLines(RequirePath(fileName, "fileName"), Content().ToArray());
            FileName = fileName;
        }

        // The DiroZiziva input file of the model. The DiroZiziva library must be initialised.
        public void WriteFreFile(string fileName, object progress, int maxFieldLength, int rotationUnits,
                                 bool includeComments, bool imperialNotation, bool inlineRestraints,
                                 bool inlineDlcs, bool inlineIndi, bool appendToFile, object loadCaseFilter,
                                 object logger)
        {
            RequirePath(fileName, "fileName");
            if (PSLibrary.LibraryPath == null)
                throw new InvalidOperationException("The DiroZiziva library has not been initialised.");
            if (rotationUnits < 0 || rotationUnits > 2)
                throw new ArgumentOutOfRangeException("rotationUnits", rotationUnits, "Rotation units must be 0, 1 or 2.");
            var lines = new List<string> { FreFile.Magic, "module " + Module, "maxFieldLength " + maxFieldLength,
                "rotationUnits " + rotationUnits, "includeComments " + includeComments,
                "imperialNotation " + imperialNotation, "inlineRestraints " + inlineRestraints,
                "inlineDlcs " + inlineDlcs, "inlineIndi " + inlineIndi };
            lines.AddRange(layers.Names.Select(n => "layer " + n));
            if (appendToFile) File.AppendAllLines(fileName, lines);
            else File.WriteAllLines(fileName, lines.ToArray());
        }

        internal IEnumerable<string> Content()
        {
            return new[] { Magic, "module " + Module }.Concat(layers.Names.Select(n => "layer " + n));
        }

        static string RequirePath(string path, string name)
        {
            if (path == null) throw new ArgumentNullException(name);
            if (path == "") throw new ArgumentException("Empty path name is not legal.", name);
            return path;
        }
    }

    public static class FreFile
    {
        public const string Magic = "VELTRANE-FRE 1";
    }

    // The DiroZiziva native library, known by its file.
    public static class PSLibrary
    {
        public static string LibraryPath { get; private set; }

        public static void Initialize(string fileName)
        {
            if (fileName == null) throw new ArgumentNullException("fileName");
            if (!File.Exists(fileName)) throw new FileNotFoundException("Could not find file '" + fileName + "'.", fileName);
            LibraryPath = fileName;
        }
    }

    public class CustomCommand
    {
        static readonly Dictionary<string, Action<Model>> Commands = new Dictionary<string, Action<Model>> {
            {"AddLayer", AddLayer}, {"MergeLayers", MergeLayers},
        };

        public CustomCommand(Model model, string commandName)
        {
            if (model == null) throw new ArgumentNullException("model");
            if (commandName == null) throw new ArgumentNullException("commandName");
            if (!Commands.ContainsKey(commandName))
                throw new ArgumentException("Unknown command '" + commandName + "'.", "commandName");
            Model = model;
            CommandName = commandName;
            NeedToReloadModelAfterCommand = true;
            NeedToSaveModelAfterCommand = true;
        }

        public Model Model { get; private set; }
        public string CommandName { get; private set; }
        public bool NeedToReloadModelAfterCommand { get; set; }
        public bool NeedToSaveModelAfterCommand { get; set; }

        internal void Run(Model model) { Commands[CommandName](model); }

        // Adds "Layer N" with the first free N.
        static void AddLayer(Model model)
        {
            int n = 1;
            while (model.Layers.Names.Contains("Layer " + n)) n++;
            model.Layers.Add(new Layer("Layer " + n));
        }

        // Leaves layer "0" only.
        static void MergeLayers(Model model)
        {
            model.Layers.Clear();
            model.Layers.Add(new Layer("0"));
        }
    }

    // Runs commands on its current `model`, not on the model a command was made for.
    public class CommandController
    {
        public VeltraneApplication Application { get; private set; }
        public Model model { get; set; }

        public void SetApplication(VeltraneApplication application)
        {
            if (application == null) throw new ArgumentNullException("application");
            Application = application;
        }

        public void AddCommand(CustomCommand command)
        {
            if (command == null) throw new ArgumentNullException("command");
            if (Application == null) throw new InvalidOperationException("The command controller has no application.");
            if (model == null) throw new InvalidOperationException("The command controller has no model.");
            command.Run(model);
            if (model.FileName == null) return;
            if (command.NeedToSaveModelAfterCommand) model.SaveToFile(model.FileName);
            if (command.NeedToReloadModelAfterCommand) model.LoadFromFile(model.FileName);
        }
    }

    // The result of a finished run: holds the solver, and through it the result file, until disposed.
    public class Solution : IDisposable
    {
        readonly ISolver solver;

        public Solution(Model model, ISolver solver)
        {
            if (solver == null) throw new ArgumentNullException("solver");
            Model = model;
            this.solver = solver;
        }

        public Model Model { get; private set; }
        public bool IsDisposed { get; private set; }

        public string ResultFile
        {
            get
            {
                if (IsDisposed) throw new ObjectDisposedException("Solution");
                return solver.ResultFile;
            }
        }

        public void Dispose()
        {
            if (IsDisposed) return;
            solver.Dispose();
            IsDisposed = true;
        }
    }
}
