#!/usr/bin/env bash
# The package as a plug-in team gets it: the ZIPs hold what docs/embedding.md says they hold,
# and the embedding example, built against the installed kit both ways the page shows (with
# CMake, and with the "Without CMake" command as printed there), runs a session with the
# installed host and the stand-in engine under Wine.
#   package_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source_dir=$1 build_dir=$2
doc=$source_dir/docs/embedding.md
work=$(mktemp -d "${TMPDIR:-/tmp}/lark-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# The rows of the first table under the heading, and the `quoted` names in a text.
table() { awk -v heading="$1" '$0 == heading { on = 1; next }
                               on && /^## / { exit }
                               on && /^\|/ { print; seen = 1; next }
                               on && seen { exit }' "$doc"; }
quoted() { grep -o '`[^`]*`' | tr -d '`' || true; }

# What the page says the main ZIP holds: each row of the package table by where it points
# (bin/ and lib/ by the files named, include/ by its folders), and the kit table's headers.
documented() {
  table "## The package" | tail -n +3 | while IFS= read -r row; do
    where=$(cut -d'|' -f2 <<<"$row" | quoted)
    named=$(cut -d'|' -f3- <<<"$row" | quoted)
    case $where in
      bin/) sed -n 's|.*\.exe$|bin/&\nbin/&.debug|p' <<<"$named" ;;
      lib/) sed -n 's|.*\.a$|lib/&|p' <<<"$named" ;;
      include/) sed -n -e 's|.*/$|include/&|p' -e 's|.*\.h$|include/parent/&|p' <<<"$named" ;;
      *) echo "$where" ;;
    esac
  done
  table "## The kit" | cut -d'|' -f2 | quoted | sed -n 's|.*\.h$|include/&|p'
}
# The same view of a ZIP's listing: files in bin/ and lib/, the folders in include/ and the
# headers in include/parent/, anything else by its top-level name.
held() {
  awk '/^bin\/[^\/]+$/ || /^lib\/[^\/]+$/ || /^include\/[^\/]+\/$/ || /^include\/parent\/[^\/]+$/ {
         print; next }
       /^lib\/cmake\/LarkRemoteHost\/./ { print "lib/cmake/LarkRemoteHost/"; next }
       /^(bin|lib|include)\// { next }
       { sub(/\/.*/, "/"); print }'
}
# Fails naming what only one side has.
agree() {  # WHAT DOCUMENTED HELD
  local only_doc only_zip
  only_doc=$(comm -23 <(sort -u <<<"$2") <(sort -u <<<"$3"))
  only_zip=$(comm -13 <(sort -u <<<"$2") <(sort -u <<<"$3"))
  [[ -z $only_doc && -z $only_zip ]] && return
  echo "docs/embedding.md names for the $1:" $(sort -u <<<"$2") >&2
  echo "the $1 holds:" $(sort -u <<<"$3") >&2
  fail "the $1 and docs/embedding.md differ:" \
    ${only_doc:+"named in the page only: $(echo $only_doc)."} \
    ${only_zip:+"in the ZIP only: $(echo $only_zip)."}
}

(cd "$work" && cpack --config "$build_dir/CPackConfig.cmake" -B "$work/zips" >/dev/null)
main=$(cmake -E tar tf "$work"/zips/LarkRemoteHost-*-main.zip)
test=$(cmake -E tar tf "$work"/zips/LarkRemoteHost-*-test.zip)
agree "main ZIP" "$(documented)" "$(held <<<"$main")"
test_named=$(grep -o 'The test ZIP holds only `[^`]*`' "$doc" | quoted)
[[ -n $test_named ]] || fail "docs/embedding.md no longer says what the test ZIP holds"
agree "test ZIP" "$(printf '%s\n%s.debug\n' "$test_named" "$test_named")" "$(held <<<"$test")"

prefix=$work/prefix
cmake --install "$build_dir" --prefix "$prefix" >/dev/null
cmake --install "$build_dir" --prefix "$prefix" --component test >/dev/null
host="Z:${prefix//\//\\}\\bin\\LarkRemoteHost.exe"

cmake -S "$source_dir/examples" -B "$work/example" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64.cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/example" >/dev/null
echo "with CMake:"
"$source_dir/cmake/wine-run" "$work/example/minimal_parent.exe" "$host"

# The page's command as printed, with P pointing at the installed package.
recipe=$(awk '/^## Without CMake/ { on = 1 } on && /^```sh/ { code = 1; next }
              code && /^```/ { exit } code' "$doc")
grep -q '^P=' <<<"$recipe" || fail "no command under \"Without CMake\" in docs/embedding.md"
mkdir "$work/recipe"
cp "$source_dir/examples/minimal_parent.cpp" "$work/recipe/my_parent.cpp"
(cd "$work/recipe" && bash -euo pipefail -c "$(sed "s|^P=.*|P='$prefix'|" <<<"$recipe")") ||
  fail "the \"Without CMake\" command of docs/embedding.md failed"
echo "without CMake:"
"$source_dir/cmake/wine-run" "$work/recipe/my_parent.exe" "$host"
