# What the install tests share: their arguments, a way to fail, and paths
# in Windows form. Sourced by each test with
#   SOURCE NATIVE_BUILD WIN32_BUILD WINE_RUN SCRATCH
# as its arguments; the scratch folder is made anew.
set -eu
source=$(realpath "$1")
native=$(realpath "$2")
win32=$(realpath "$3")
wine_run=$(realpath "$4")
scratch=$(realpath -m "$5")

fail() {
  echo "FAILED: $*" >&2
  exit 1
}
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

rm -rf "$scratch"
mkdir -p "$scratch"
