// Veltrane.Vazer.Core stand-in: solves a model object; its results go to
// <model file stem>.vres beside the model file.
using Veltrane.SDK;
using Veltrane.Tubrolis.Core;

namespace Veltrane.Vazer.Core
{
    public class VazerSolver : SolverBase
    {
        public const int NotBuilt = 1;
        readonly Model model;
        readonly string modelFileName;
        bool built;

        public VazerSolver(string solverPath, Model model, string modelFileName, string thfFileName, bool verbose)
            : base(solverPath, model, thfFileName)
        {
            if (modelFileName == null) throw new System.ArgumentNullException("modelFileName");
            this.model = model;
            this.modelFileName = modelFileName;
            Verbose = verbose;
        }

        public bool Verbose { get; private set; }
        public string ModelFileName { get { return modelFileName; } }
        protected override string Kind { get { return "Vazer"; } }

        // The number of layers analysed; -1 for a model without layers.
        public int BuildAnalysisModel(bool keepDistantModels)
        {
            CheckAlive();
            built = model.Layers.Count > 0;
            return built ? model.Layers.Count : -1;
        }

        public int Run()
        {
            if (!built) return NotBuilt;
            int code = Start(modelFileName);
            if (code != Done) return code;
            Finish(modelFileName, ".vres", new[] { "layers " + model.Layers.Count });
            return Done;
        }
    }
}
