// System.Windows.Point where the runtime has no WindowsBase of its own with
// it (.NET Core without the desktop packs): compiled into the project
// assembly, so that, as with the real one, the type is found once the
// project types are loaded and not before.
namespace System.Windows
{
    public struct Point
    {
        public Point(double x, double y) : this()
        {
            X = x;
            Y = y;
        }

        public double X { get; set; }
        public double Y { get; set; }

        public override string ToString()
        {
            return string.Format(System.Globalization.CultureInfo.InvariantCulture, "{0},{1}", X, Y);
        }
    }
}
