# Sourced by the benchmark scripts: moves to the project root (as $here) and builds the
# optimised publishing tool, whose path it leaves in $publish_tool.
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
cmake --preset native-release >/dev/null
cmake --build --preset native-release --target lanternix-publish >/dev/null
publish_tool="$here/build/native-release/tools/lanternix-publish"
