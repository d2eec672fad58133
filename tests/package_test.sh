#!/usr/bin/env bash
# The package as a plug-in team gets it: the ZIPs hold what they should, and the embedding
# example of docs/embedding.md, built out of tree against the installed kit with the MinGW
# toolchain, runs a session with the installed host and the stand-in engine under Wine.
#   package_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source_dir=$1 build_dir=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/lark-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$work" && cpack --config "$build_dir/CPackConfig.cmake" -B "$work/zips" >/dev/null)
main=$(cmake -E tar tf "$work"/zips/LarkRemoteHost-*-main.zip)
test=$(cmake -E tar tf "$work"/zips/LarkRemoteHost-*-test.zip)
for entry in README.md docs/embedding.md bin/LarkRemoteHost.exe bin/LarkRemoteHost.exe.debug bin/larkhostctl.exe \
             bin/larkhostctl.exe.debug lib/liblark_parent.a include/parent/host_process.h \
             lib/cmake/LarkRemoteHost/LarkRemoteHostConfig.cmake; do
  grep -qx "$entry" <<<"$main" || fail "the main ZIP lacks $entry"
done
! grep -q LarkRemoteStreamer <<<"$main" || fail "the stand-in engine is in the main ZIP"
grep -qx bin/LarkRemoteStreamer.dll <<<"$test" || fail "the test ZIP lacks the stand-in engine"

prefix=$work/prefix
cmake --install "$build_dir" --prefix "$prefix" >/dev/null
cmake --install "$build_dir" --prefix "$prefix" --component test >/dev/null
cmake -S "$source_dir/examples" -B "$work/example" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64.cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/example" >/dev/null
host="Z:${prefix//\//\\}\\bin\\LarkRemoteHost.exe"
"$source_dir/cmake/wine-run" "$work/example/minimal_parent.exe" "$host"
