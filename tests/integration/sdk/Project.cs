// Veltrane.Tubrolis.Project stand-in: a project file holds the studies of a
// project, one "study <kind> <x> <y> <name>" line each; every change a view
// model makes is stored at once.
using System;
using System.Collections.Generic;
using System.Globalization;
using System.IO;
using System.Linq;
using System.Windows;
using Veltrane.Helper;
using Veltrane.SDK;

namespace Veltrane.Tubrolis.Project
{
    public class StudyModel
    {
        internal StudyModel(string name, VeltraneModule module, Point position)
        {
            Name = name;
            Module = module;
            Position = position;
        }

        public string Name { get; internal set; }
        public VeltraneModule Module { get; private set; }
        public Point Position { get; private set; }

        internal string Line()
        {
            return string.Format(CultureInfo.InvariantCulture, "study {0} {1} {2} {3}", Module, Position.X, Position.Y, Name);
        }

        internal static StudyModel Parse(string line)
        {
            string[] parts = line.Split(new[] { ' ' }, 5);
            return new StudyModel(parts[4], (VeltraneModule)Enum.Parse(typeof(VeltraneModule), parts[1]),
                                  new Point(double.Parse(parts[2], CultureInfo.InvariantCulture),
                                            double.Parse(parts[3], CultureInfo.InvariantCulture)));
        }
    }

    public class ProjectViewModel
    {
        const string Magic = "VELTRANE-PROJECT 1";
        readonly List<StudyModel> studies = new List<StudyModel>();
        string fileName;
        StudyModel current;

        public ProjectViewModel(object owner) { Owner = owner; }

        public object Owner { get; private set; }
        public string ProjectFileName { get { return fileName; } }
        public int StudyCount { get { return studies.Count; } }

        // Writes <directory>/<directory name>.project with one study.
        public void CreateNewProject(string projectDirectory, Point position, string templateFileName,
                                     string studyName, VeltraneModule module)
        {
            if (projectDirectory == null) throw new ArgumentNullException("projectDirectory");
            if (!Directory.Exists(projectDirectory))
                throw new DirectoryNotFoundException("Could not find a part of the path '" + projectDirectory + "'.");
            if (!string.IsNullOrEmpty(templateFileName) && !File.Exists(templateFileName))
                throw new FileNotFoundException("Could not find file '" + templateFileName + "'.", templateFileName);
            string path = Path.Combine(projectDirectory, Path.GetFileNameWithoutExtension(projectDirectory) + ".project");
            if (File.Exists(path)) throw new IOException("The project file '" + path + "' already exists.");
            studies.Clear();
            studies.Add(new StudyModel(RequireName(studyName), module, position));
            fileName = path;
            current = studies[0];
            Store();
        }

        public void LoadFromFile(string projectFileName)
        {
            if (projectFileName == null) throw new ArgumentNullException("projectFileName");
            string[] lines = TextFiles.Read(projectFileName, Magic);
            studies.Clear();
            studies.AddRange(lines.Where(l => l.StartsWith("study ")).Select(StudyModel.Parse));
            fileName = projectFileName;
            current = studies.FirstOrDefault();
        }

        public StudyModel GetStudy(string studyName)
        {
            return studies.FirstOrDefault(s => s.Name == studyName);
        }

        public void AddEmptyStudy(Point position, VeltraneModule module, string studyName)
        {
            if (GetStudy(RequireName(studyName)) != null)
                throw new ArgumentException("A study named '" + studyName + "' already exists.", "studyName");
            studies.Add(new StudyModel(studyName, module, position));
            Store();
        }

        public void SetCurrentStudy(string studyName)
        {
            StudyModel study = GetStudy(studyName);
            if (study == null) throw new ArgumentException("The project has no study named '" + studyName + "'.", "studyName");
            current = study;
        }

        public string GetCurrentStudyName()
        {
            return Current().Name;
        }

        // A project keeps at least one study.
        public void DeleteCurrentStudy()
        {
            if (studies.Count == 1) throw new InvalidOperationException("A project holds at least one study.");
            studies.Remove(Current());
            current = studies[0];
            Store();
        }

        // The copy is named "<name> - Copy" (then " - Copy 2", ...) and becomes the current study.
        public void DuplicateCurrentStudy()
        {
            StudyModel source = Current();
            string name = source.Name + " - Copy";
            for (int n = 2; GetStudy(name) != null; n++) name = source.Name + " - Copy " + n;
            current = new StudyModel(name, source.Module, source.Position);
            studies.Insert(studies.IndexOf(source) + 1, current);
            Store();
        }

        public void RenameCurrentStudy(string newName)
        {
            StudyModel study = Current();
            if (GetStudy(RequireName(newName)) != null && newName != study.Name)
                throw new ArgumentException("A study named '" + newName + "' already exists.", "newName");
            study.Name = newName;
            Store();
        }

        StudyModel Current()
        {
            if (current == null) throw new InvalidOperationException("No project is loaded.");
            return current;
        }

        static string RequireName(string name)
        {
            if (string.IsNullOrEmpty(name)) throw new ArgumentException("A study name cannot be empty.", "studyName");
            return name;
        }

        void Store()
        {
            File.WriteAllLines(fileName, new[] { Magic }.Concat(studies.Select(s => s.Line())).ToArray());
        }
    }
}
