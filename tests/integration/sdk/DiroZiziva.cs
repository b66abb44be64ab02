// Veltrane.DiroZiziva.Core stand-in: solves a .fre input file; its results
// go to <fre stem>.dres beside the input file.
using System.Linq;
using Veltrane.Helper;
using Veltrane.SDK;
using Veltrane.Tubrolis.Core;

namespace Veltrane.DiroZiziva.Core
{
    public class AnalysisModel
    {
        internal AnalysisModel(int layerCount) { LayerCount = layerCount; }

        public int LayerCount { get; private set; }
    }

    public class DiroZizivaSolver : SolverBase
    {
        readonly string freFileName;
        AnalysisModel analysis;

        public DiroZizivaSolver(string solverPath, Model model, string freFileName, string thfFileName)
            : base(solverPath, model, thfFileName)
        {
            if (freFileName == null) throw new System.ArgumentNullException("freFileName");
            this.freFileName = freFileName;
        }

        public string FreFileName { get { return freFileName; } }
        protected override string Kind { get { return "DiroZiziva"; } }

        // An input without layers runs but yields no analysis model.
        public int Run()
        {
            analysis = null;
            int code = Start(freFileName);
            if (code != Done) return code;
            int layers = TextFiles.Read(freFileName, FreFile.Magic).Count(l => l.StartsWith("layer "));
            Finish(freFileName, ".dres", new[] { "layers " + layers });
            if (layers > 0) analysis = new AnalysisModel(layers);
            return Done;
        }

        public AnalysisModel GetAnalysisModel()
        {
            CheckAlive();
            return analysis;
        }
    }
}
